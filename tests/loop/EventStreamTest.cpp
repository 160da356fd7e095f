#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "Platform/EventStream.h"
#include "Platform/VirtualTime.h"
#include "loop/LoopTestSupport.h"
#include "support/TestSupport.h"

namespace cw {
namespace {

using test::TempDir;

constexpr std::string_view kDefault = kDefaultRunLoopMode;
constexpr std::string_view kModal = kModalPanelRunLoopMode;

struct Batch {
  std::vector<std::string> paths;
  std::vector<EventStreamEventFlags> flags;

  bool has(const std::string& path) const { return std::find(paths.begin(), paths.end(), path) != paths.end(); }
  EventStreamEventFlags allFlags() const {
    EventStreamEventFlags all = 0;
    for (auto f : flags) all |= f;
    return all;
  }
  EventStreamEventFlags flagsOf(const std::string& path) const {
    for (std::size_t i = 0; i < paths.size(); ++i) {
      if (paths[i] == path) return flags[i];
    }
    return 0;
  }
};

struct Recorder {
  std::vector<Batch> batches;
  std::vector<std::string> modesDeliveredIn;

  EventStream::Callback callback() {
    return [this](const std::vector<EventStreamEvent>& events) {
      EXPECT_FALSE(events.empty());
      Batch batch;
      for (std::size_t i = 0; i < events.size(); ++i) {
        batch.paths.push_back(events[i].path);
        batch.flags.push_back(events[i].flags);
        if (i > 0) {
          EXPECT_GT(events[i].id, events[i - 1].id);
        }
      }
      batches.push_back(std::move(batch));
      modesDeliveredIn.emplace_back(RunLoop::current().currentMode());
    };
  }
};

// A started stream on `paths`, scheduled in `mode` of the thread's loop.
std::unique_ptr<EventStream> startStream(Recorder& recorder, std::vector<std::string> paths, double latency = 0.05,
                                         std::string_view mode = kDefault) {
  auto stream = EventStream::create(recorder.callback(), std::move(paths), latency);
  if (!stream) return stream;
  stream->scheduleWithRunLoop(RunLoop::current(), mode);
  if (!stream->start()) return nullptr;
  return stream;
}

// Serves `mode` until a batch satisfying `wanted` has come; on virtual time,
// moving it on by the stream's latency between passes.
template <typename Wanted>
bool awaitBatch(Recorder& recorder, Wanted wanted, std::string_view mode = kDefault, VirtualTime* time = nullptr) {
  std::size_t seen = recorder.batches.size();  // only batches from now on
  auto wantedCame = [&] {
    for (; seen < recorder.batches.size(); ++seen)
      if (wanted(recorder.batches[seen])) return true;
    return false;
  };
  if (!time) return test::serveUntil(RunLoop::current(), mode, wantedCame);
  // Inotify queues its events as the change is made: a pass that does not
  // wait sees them.
  for (int pass = 0; pass < 100000 && !wantedCame(); ++pass) {
    RunLoop::current().runOnce(mode, std::chrono::milliseconds(0));
    time->advance(std::chrono::milliseconds(50), mode);
  }
  return wantedCame();
}

void touch(const std::string& path) {
  test::writeFile(path, "x");
}

// Modification events in `dir`, cheaply: writes that alternate between two
// files, so that the kernel cannot merge neighbours into one event.
class EventMaker {
public:
  explicit EventMaker(const TempDir& dir)
      : a_(::open((dir / "a.log").c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644)),
        b_(::open((dir / "b.log").c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644)) {}
  void make(int count) {
    for (int i = 0; i < count; ++i) (void)!::write((i % 2 ? a_ : b_).get(), "x", 1);
  }

private:
  UniqueFd a_, b_;
};

int maxQueuedEvents() {
  std::ifstream in("/proc/sys/fs/inotify/max_queued_events");
  int value = 0;
  in >> value;
  return value;
}

TEST(EventStreamBatches, EventsGatheredInOneCallback) {
  TempDir dir;
  test::makeDirectories(dir / "before");
  test::makeDirectories(dir / "after");
  test::makeDirectories(dir / "nested/deeper");
  touch(dir / "before/old");  // before the start: not reported
  Recorder recorder;
  auto stream = startStream(recorder, {dir.path()});
  ASSERT_TRUE(stream);

  // All made before the loop looks: they must arrive together.
  touch(dir / "one");
  touch(dir / "after/two");
  touch(dir / "nested/deeper/three");
  ASSERT_TRUE(awaitBatch(recorder, [](const Batch&) { return true; }));
  ASSERT_EQ(recorder.batches.size(), 1u);
  const Batch& batch = recorder.batches[0];
  EXPECT_TRUE(batch.has(dir.path()));
  EXPECT_TRUE(batch.has(dir / "after"));
  EXPECT_TRUE(batch.has(dir / "nested/deeper"));
  EXPECT_FALSE(batch.has(dir / "before"));
  EXPECT_EQ(batch.allFlags() & kEventStreamEventFlagMustScanSubDirs, 0u);
  // One entry per folder however many events it had.
  EXPECT_EQ(std::count(batch.paths.begin(), batch.paths.end(), dir.path()), 1);
}

TEST(EventStreamBatches, SubfoldersMadeLaterAreWatched) {
  TempDir dir;
  Recorder recorder;
  auto stream = startStream(recorder, {dir.path()});
  ASSERT_TRUE(stream);

  // Made in one go: the deeper levels exist before we can watch them, and
  // are found by the scan that follows the watch.
  test::makeDirectories(dir / "a/b/c");
  ASSERT_TRUE(awaitBatch(recorder, [&](const Batch& b) { return b.has(dir.path()); }));

  touch(dir / "a/b/c/late");
  EXPECT_TRUE(awaitBatch(recorder, [&](const Batch& b) { return b.has(dir / "a/b/c"); }));

  // A folder moved in from outside is watched too; one moved out is not.
  TempDir outside;
  test::makeDirectories(outside / "moved/inner");
  std::filesystem::rename(outside / "moved", dir / "moved");
  std::filesystem::rename(dir / "a", outside / "a");
  touch(dir / "moved/inner/file");
  EXPECT_TRUE(awaitBatch(recorder, [&](const Batch& b) { return b.has(dir / "moved/inner"); }));
  const std::size_t afterMove = recorder.batches.size();
  touch(outside / "a/b/c/elsewhere");
  touch(dir / "marker");
  ASSERT_TRUE(awaitBatch(recorder, [&](const Batch& b) { return b.has(dir.path()); }));
  for (std::size_t i = afterMove; i < recorder.batches.size(); ++i)
    for (const std::string& path : recorder.batches[i].paths) EXPECT_EQ(path.find("/a/b"), std::string::npos) << path;
}

TEST(EventStreamRoot, FolderThatAppearsLaterIsTakenUp) {
  TempDir dir;
  const std::string root = dir / "Library/Logs/DiagnosticReports";
  Recorder recorder;
  auto stream = startStream(recorder, {root});
  ASSERT_TRUE(stream);

  touch(dir / "unrelated");  // beside the path to the folder: nothing to report
  test::makeDirectories(dir / "Library/Logs");
  test::makeDirectories(root);
  ASSERT_TRUE(awaitBatch(recorder, [&](const Batch& b) { return b.has(root); }));
  EXPECT_NE(recorder.batches.back().flagsOf(root) & kEventStreamEventFlagRootChanged, 0u);
  for (const Batch& batch : recorder.batches)
    for (const std::string& path : batch.paths) EXPECT_TRUE(path.rfind(root, 0) == 0) << path;

  touch(root + "/Finder.crash");
  EXPECT_TRUE(awaitBatch(
      recorder, [&](const Batch& b) { return b.has(root) && !(b.flagsOf(root) & kEventStreamEventFlagRootChanged); }));
}

TEST(EventStreamRoot, FolderRemovedAndMadeAgainIsWatchedAgain) {
  TempDir dir;
  const std::string root = dir / "watched";
  test::makeDirectories(root + "/sub");
  Recorder recorder;
  auto stream = startStream(recorder, {root});
  ASSERT_TRUE(stream);

  std::filesystem::remove_all(root);
  ASSERT_TRUE(
      awaitBatch(recorder, [&](const Batch& b) { return (b.flagsOf(root) & kEventStreamEventFlagRootChanged) != 0; }));
  test::makeDirectories(root);
  ASSERT_TRUE(
      awaitBatch(recorder, [&](const Batch& b) { return (b.flagsOf(root) & kEventStreamEventFlagRootChanged) != 0; }));
  const std::size_t before = recorder.batches.size();
  touch(root + "/again");
  ASSERT_TRUE(awaitBatch(recorder, [&](const Batch& b) { return b.has(root); }));
  EXPECT_GT(recorder.batches.size(), before);

  // Moved away and made again: the name is what is watched, not the old folder.
  std::filesystem::rename(root, dir / "gone");
  test::makeDirectories(root);
  ASSERT_TRUE(
      awaitBatch(recorder, [&](const Batch& b) { return (b.flagsOf(root) & kEventStreamEventFlagRootChanged) != 0; }));
  touch(dir / "gone/old");
  touch(root + "/third");
  EXPECT_TRUE(awaitBatch(
      recorder, [&](const Batch& b) { return b.has(root) && !(b.flagsOf(root) & kEventStreamEventFlagRootChanged); }));
}

TEST(EventStreamOverflow, KernelQueueOverflowGivesMustScanAndRewatches) {
  const int queueLimit = maxQueuedEvents();
  if (queueLimit <= 0 || queueLimit > 200000) GTEST_SKIP() << "max_queued_events " << queueLimit;
  TempDir dir;
  Recorder recorder;
  auto stream = startStream(recorder, {dir.path()});
  ASSERT_TRUE(stream);

  EventMaker(dir).make(queueLimit + 100);  // not served meanwhile
  test::makeDirectories(dir / "lost");     // its creation cannot be queued any more
  ASSERT_TRUE(
      awaitBatch(recorder, [](const Batch& b) { return (b.allFlags() & kEventStreamEventFlagMustScanSubDirs) != 0; }));
  const Batch& flagged = recorder.batches.back();
  EXPECT_NE(flagged.flagsOf(dir.path()) & kEventStreamEventFlagKernelDropped, 0u);

  touch(dir / "lost/found");
  EXPECT_TRUE(awaitBatch(recorder, [&](const Batch& b) { return b.has(dir / "lost"); }));
}

TEST(EventStreamModes, DrainedInEveryModeDeliveredOnlyInItsOwn) {
  const int queueLimit = maxQueuedEvents();
  if (queueLimit <= 0 || queueLimit > 200000) GTEST_SKIP() << "max_queued_events " << queueLimit;
  TempDir dir;
  Recorder recorder;
  auto stream = startStream(recorder, {dir.path()}, 0.0);
  ASSERT_TRUE(stream);
  RunLoop& loop = RunLoop::current();

  // More events than the kernel queue holds, made while the modal mode runs.
  EventMaker events(dir);
  for (int made = 0; made < 2 * queueLimit; made += 1000) {
    events.make(1000);
    loop.runOnce(kModal, std::chrono::milliseconds(0));
  }
  loop.runOnce(kModal, std::chrono::milliseconds(0));
  EXPECT_TRUE(recorder.batches.empty()) << "delivered in a mode the stream is not scheduled in";

  ASSERT_TRUE(awaitBatch(recorder, [](const Batch&) { return true; }));
  EXPECT_TRUE(recorder.batches[0].has(dir.path()));
  EXPECT_EQ(recorder.batches[0].allFlags() & kEventStreamEventFlagMustScanSubDirs, 0u)
      << "the kernel queue overflowed although it was drained";
  EXPECT_EQ(recorder.modesDeliveredIn[0], kDefault);
}

TEST(EventStreamModes, PendingPathsStayBoundedDuringALongModalWait) {
  TempDir dir;
  Recorder recorder;
  auto stream = startStream(recorder, {dir.path()}, 0.0);
  ASSERT_TRUE(stream);
  RunLoop& loop = RunLoop::current();

  for (std::size_t i = 0; i < EventStream::kMaxPendingPaths + 50; ++i) {
    ::mkdir((dir / ("d" + std::to_string(i))).c_str(), 0755);  // each new folder is a path of its own
    if (i % 50 == 0) loop.runOnce(kModal, std::chrono::milliseconds(0));
  }
  loop.runOnce(kModal, std::chrono::milliseconds(0));
  ASSERT_TRUE(recorder.batches.empty());

  ASSERT_TRUE(awaitBatch(recorder, [](const Batch&) { return true; }));
  const Batch& batch = recorder.batches[0];
  EXPECT_LE(batch.paths.size(), EventStream::kMaxPendingPaths + 1);
  EXPECT_EQ(batch.flagsOf(dir.path()) & (kEventStreamEventFlagMustScanSubDirs | kEventStreamEventFlagUserDropped),
            kEventStreamEventFlagMustScanSubDirs | kEventStreamEventFlagUserDropped);
}

TEST(EventStreamModes, ScheduledInModalOnly) {
  TempDir dir;
  Recorder recorder;
  auto stream = startStream(recorder, {dir.path()}, 0.0, kModal);
  ASSERT_TRUE(stream);
  touch(dir / "file");
  for (int pass = 0; pass < 5; ++pass) RunLoop::current().runOnce(kDefault, std::chrono::milliseconds(20));
  EXPECT_TRUE(recorder.batches.empty());
  ASSERT_TRUE(awaitBatch(
      recorder, [](const Batch&) { return true; }, kModal));
  EXPECT_EQ(recorder.modesDeliveredIn[0], kModal);

  // Unscheduled: nothing more, in any mode.
  stream->unscheduleFromRunLoop(RunLoop::current(), kModal);
  touch(dir / "second");
  for (int pass = 0; pass < 5; ++pass) RunLoop::current().runOnce(kModal, std::chrono::milliseconds(20));
  EXPECT_EQ(recorder.batches.size(), 1u);
}

// The callback may end the stream's life; nothing of it may be touched after.
struct Destroyer {
  std::unique_ptr<EventStream> stream;
  int calls = 0;
  void callback(const std::vector<EventStreamEvent>& events) {
    ++calls;
    stream.reset();
    // What we were handed stays readable until we return.
    for (const EventStreamEvent& event : events) EXPECT_NE(event.path, "");
  }
};

TEST(EventStreamLifetime, StreamDestroyedInsideItsCallback) {
  TempDir dir;
  Destroyer destroyer;
  destroyer.stream = EventStream::create(
      [&](const std::vector<EventStreamEvent>& events) { destroyer.callback(events); }, {dir.path()}, 0.0);
  ASSERT_TRUE(destroyer.stream);
  destroyer.stream->scheduleWithRunLoop(RunLoop::current(), kDefault);
  ASSERT_TRUE(destroyer.stream->start());
  touch(dir / "file");
  ASSERT_TRUE(test::serveUntil(RunLoop::current(), kDefault, [&] { return destroyer.calls > 0; }));
  touch(dir / "another");
  for (int pass = 0; pass < 3; ++pass) RunLoop::current().runOnce(kDefault, std::chrono::milliseconds(20));
  EXPECT_EQ(destroyer.calls, 1);
}

// Inotify calls that fail as a kernel limit would, a given number of times,
// and then pass through to the real ones.
struct LimitedInotify : InotifyCalls {
  int instanceRefusals = 0;   // inotify_init1 fails with EMFILE this often
  int watchRefusals = 0;      // inotify_add_watch fails with ENOSPC this often ...
  std::string refusedSuffix;  // ... for paths ending so
  int initCalls = 0;

  int init1(int flags) override {
    ++initCalls;
    if (instanceRefusals > 0 && instanceRefusals--) return errno = EMFILE, -1;
    return InotifyCalls::init1(flags);
  }
  int addWatch(int fd, const char* path, std::uint32_t mask) override {
    const std::string_view p(path);
    const bool matches = p.size() >= refusedSuffix.size() && p.substr(p.size() - refusedSuffix.size()) == refusedSuffix;
    if (matches && watchRefusals > 0 && watchRefusals--) return errno = ENOSPC, -1;
    return InotifyCalls::addWatch(fd, path, mask);
  }
};

std::size_t occurrences(const std::string& text, const std::string& part) {
  std::size_t count = 0;
  for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

bool mustScan(const Batch& b) {
  return (b.allFlags() & kEventStreamEventFlagMustScanSubDirs) != 0;
}

TEST(EventStreamLimits, RefusedInstanceOrWatchIsLoggedOnceAndTriedAgainUntilItWorks) {
  struct Case {
    int instanceRefusals, watchRefusals;
    std::string refusal;  // the one line that says why
  };
  const std::vector<Case> cases = {
      {2, 0, "Cannot watch for changes (inotify_init1: Too many open files); trying again until it works"},
      {0, 2, "' (No space left on device): the inotify watch limit is reached; trying again until it works"},
  };
  for (const Case& c : cases) {
    TempDir dir;
    VirtualTime time;
    test::CaptureStderr captured;
    auto calls = std::make_shared<LimitedInotify>();
    calls->instanceRefusals = c.instanceRefusals;
    calls->watchRefusals = c.watchRefusals;
    calls->refusedSuffix = "/late";
    Recorder recorder;
    auto stream = EventStream::create(recorder.callback(), {dir.path()}, 0.05, calls);
    stream->scheduleWithRunLoop(RunLoop::current(), kDefault);
    EXPECT_EQ(stream->start(), c.instanceRefusals == 0);
    if (c.watchRefusals) {
      test::makeDirectories(dir / "late");  // a folder made later meets the watch limit
      ASSERT_TRUE(awaitBatch(
          recorder, [&](const Batch& b) { return b.has(dir.path()); }, kDefault, &time));
    }
    EXPECT_TRUE(stream->retryPending());

    // Tried again after 1 s and 2 s; the third try works.
    const auto refused = time.now();
    ASSERT_TRUE(awaitBatch(recorder, mustScan, kDefault, &time));
    EXPECT_GE(time.now() - refused, std::chrono::seconds(3));
    EXPECT_LT(time.now() - refused, std::chrono::seconds(4));
    EXPECT_NE(recorder.batches.back().flagsOf(dir.path()) & kEventStreamEventFlagMustScanSubDirs, 0u);
    EXPECT_FALSE(stream->retryPending()) << "a healthy stream arms no timer";
    EXPECT_EQ(calls->initCalls, 1 + c.instanceRefusals);
    const std::string log = captured.text();
    EXPECT_EQ(occurrences(log, c.refusal), 1u) << log;
    EXPECT_EQ(occurrences(log, "Watching for changes again"), 1u) << log;

    test::makeDirectories(dir / "late");
    touch(dir / "late/file");
    EXPECT_TRUE(awaitBatch(
        recorder, [&](const Batch& b) { return b.has(dir / "late"); }, kDefault, &time));
    EXPECT_EQ(calls->initCalls, 1 + c.instanceRefusals);
  }
}

// Points `link` at `target` in one step, as `ln -sfn` does.
void repoint(const std::string& link, const std::string& target) {
  const std::string temporary = link + ".new";
  std::filesystem::create_directory_symlink(target, temporary);
  std::filesystem::rename(temporary, link);
}

// Any link on the way to the watched folder is followed: its own name, a
// folder above it, or the second link of a chain. Re-pointed, or replaced by
// a real folder, the new place is watched and the old one no longer.
TEST(EventStreamRoot, ALinkOnTheWayPointedElsewhereOrReplacedByAFolderIsFollowed) {
  struct Case {
    const char* name;
    std::vector<std::pair<std::string, std::string>> links;  // made in this order: link, target
    std::string root;
    std::string repointed, newTarget;  // the link pointed from a to b
    std::string below;                 // the way from it down to the root
  };
  const std::vector<Case> cases = {
      {"the folder itself", {{"watched", "a/Reports"}}, "watched", "watched", "b/Reports", ""},
      {"a folder above it", {{"Logs", "a"}}, "Logs/Reports", "Logs", "b", "/Reports"},
      {"the second of a chain", {{"hop", "a"}, {"Logs", "hop"}}, "Logs/Reports", "hop", "b", "/Reports"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    test::makeDirectories(dir / "a/Reports/inA");
    test::makeDirectories(dir / "b/Reports/inB");
    for (const auto& [link, target] : c.links) std::filesystem::create_directory_symlink(dir / target, dir / link);
    const std::string root = dir / c.root;
    Recorder recorder;
    auto stream = startStream(recorder, {root});
    ASSERT_TRUE(stream);
    touch(dir / "a/Reports/inA/first");
    ASSERT_TRUE(awaitBatch(recorder, [&](const Batch& b) { return b.has(root + "/inA"); }));

    const std::string repointed = dir / c.repointed;
    repoint(repointed, dir / c.newTarget);
    ASSERT_TRUE(awaitBatch(recorder,
                           [&](const Batch& b) { return (b.flagsOf(root) & kEventStreamEventFlagRootChanged) != 0; }));
    const std::size_t repointedAt = recorder.batches.size();
    touch(dir / "a/Reports/inA/old");  // the old place: no longer ours
    touch(dir / "b/Reports/inB/new");
    ASSERT_TRUE(awaitBatch(recorder, [&](const Batch& b) { return b.has(root + "/inB"); }));
    for (std::size_t i = repointedAt; i < recorder.batches.size(); ++i)
      EXPECT_FALSE(recorder.batches[i].has(root + "/inA"));

    // The link gives way to a real folder of that name.
    std::filesystem::remove(repointed);
    test::makeDirectories(repointed + c.below);
    ASSERT_TRUE(awaitBatch(recorder,
                           [&](const Batch& b) { return (b.flagsOf(root) & kEventStreamEventFlagRootChanged) != 0; }));
    touch(root + "/inFolder");
    touch(dir / "b/Reports/inB/gone");
    ASSERT_TRUE(awaitBatch(recorder, [&](const Batch& b) {
      return b.has(root) && !(b.flagsOf(root) & kEventStreamEventFlagRootChanged);
    }));
    EXPECT_FALSE(recorder.batches.back().has(root + "/inB"));
    EXPECT_FALSE(stream->retryPending());
  }
}

// A link on the way whose target is not made yet (a data disk set up later):
// the folder is taken up once its target and the folder are made, however the
// link is reached, and past a loop of links once the loop is mended.
TEST(EventStreamRoot, ADanglingLinkOnTheWayIsTakenUpOnceItsTargetIsMade) {
  struct Step {
    std::string path;
    std::string pointTo;  // when set: the link `path` is pointed there; else the folder is made
  };
  struct Case {
    const char* name;
    std::vector<std::pair<std::string, std::string>> links;  // made in this order: link, target as written
    std::string root;
    std::vector<Step> steps;
  };
  const std::vector<Case> cases = {
      {"a folder above it",
       {{"Library/Logs", "../data/logs"}},
       "Library/Logs/DiagnosticReports",
       {{"data", ""}, {"data/logs", ""}, {"data/logs/DiagnosticReports", ""}}},
      {"the folder itself",
       {{"Library/Reports", "../data/Reports"}},
       "Library/Reports",
       {{"data", ""}, {"data/Reports", ""}}},
      {"the second of a chain",
       {{"hop", "data/logs"}, {"Library/Logs", "../hop"}},
       "Library/Logs/DiagnosticReports",
       {{"data", ""}, {"data/logs", ""}, {"data/logs/DiagnosticReports", ""}}},
      {"a loop, mended",
       {{"loopA", "loopB"}, {"loopB", "loopA"}, {"Library/Logs", "../loopA"}},
       "Library/Logs/DiagnosticReports",
       {{"data/logs/DiagnosticReports", ""}, {"loopB", "data/logs"}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    test::makeDirectories(dir / "Library");
    test::makeDirectories(dir / "probe");
    for (const auto& [link, target] : c.links) std::filesystem::create_directory_symlink(target, dir / link);
    const std::string root = dir / c.root;
    const std::string probe = dir / "probe";
    VirtualTime time;
    Recorder recorder;
    // The probe: a change there comes after the step's own events, which are
    // therefore handled when it is told of.
    auto stream = startStream(recorder, {root, probe});
    ASSERT_TRUE(stream);
    for (std::size_t i = 0; i < c.steps.size(); ++i) {
      const Step& step = c.steps[i];
      if (step.pointTo.empty())
        test::makeDirectories(dir / step.path);
      else
        repoint(dir / step.path, step.pointTo);
      if (i + 1 == c.steps.size()) break;
      touch(probe + "/" + std::to_string(i));
      ASSERT_TRUE(awaitBatch(
          recorder, [&](const Batch& b) { return b.has(probe); }, kDefault, &time));
    }
    ASSERT_TRUE(awaitBatch(
        recorder, [&](const Batch& b) { return (b.flagsOf(root) & kEventStreamEventFlagRootChanged) != 0; }, kDefault,
        &time));
    touch(root + "/Finder.crash");
    ASSERT_TRUE(awaitBatch(
        recorder, [&](const Batch& b) { return b.has(root) && !(b.flagsOf(root) & kEventStreamEventFlagRootChanged); },
        kDefault, &time));
    for (const Batch& batch : recorder.batches)
      for (const std::string& path : batch.paths) EXPECT_TRUE(path == root || path == probe) << path;
    EXPECT_FALSE(stream->retryPending());
  }
}

TEST(EventStreamLifetime, CreateRefusesNoPathsOrNoCallback) {
  Recorder recorder;
  EXPECT_FALSE(EventStream::create(recorder.callback(), {}, 1.0));
  EXPECT_FALSE(EventStream::create(nullptr, {"/tmp"}, 1.0));
  EXPECT_FALSE(EventStream::create(recorder.callback(), {""}, 1.0));
}

}  // namespace
}  // namespace cw

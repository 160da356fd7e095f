// The scan as a state machine: what it asks, in which order, and what it
// turns away while it runs.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <set>

#include "CrashScan.h"
#include "Platform/EventStream.h"
#include "Platform/RunLoop.h"
#include "Platform/Task.h"
#include "support/TestSupport.h"

namespace cw {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

// Records every question; each answer may do something on the side.
class FakeReporter : public ScanReporter {
public:
  HelperScripts::Result askScriptWithCrashFile(std::string_view command, std::string_view crashFile) override {
    calls.push_back(std::string(command) + " " + std::string(crashFile));
    HelperScripts::Result result;
    result.ownExit = !killed.contains(std::string(crashFile));
    result.ending = result.ownExit ? "exited" : "was killed";
    if (onAsk)
      result.status = onAsk(std::string(crashFile));
    else
      result.status = crashFile.find("related") != std::string_view::npos ? 1 : 0;
    return result;
  }
  // A log's signature is the text after "#" in its path; none without.
  HelperScripts::Result askSignatureWithCrashFile(std::string_view command, std::string_view crashFile) override {
    HelperScripts::Result result = askScriptWithCrashFile(command, crashFile);
    if (const std::size_t mark = crashFile.find('#'); mark != std::string_view::npos && result.status == 1)
      result.output = std::string(crashFile.substr(mark + 1)) + "\n";
    return result;
  }
  ConsentAnswer askForConsent(const std::string&, const CrashOccurrences& occurrences) override {
    calls.push_back("consent?");
    dialogs.push_back(occurrences);
    if (onConsent) onConsent();
    if (!dialogShown) return ConsentAnswer::NotAnswered;
    return consent ? ConsentAnswer::Send : ConsentAnswer::Refuse;
  }
  void report(const std::optional<std::string>& crashFile, const CrashOccurrences& occurrences) override {
    calls.push_back("report " + *crashFile);
    reports.push_back(occurrences);
  }
  std::string installedVersion() override { return version; }

  std::vector<std::string> calls;
  std::vector<CrashOccurrences> dialogs;
  std::vector<CrashOccurrences> reports;
  std::string version = "2.1";
  std::function<std::int32_t(const std::string&)> onAsk;
  std::function<void()> onConsent;
  bool consent = true;
  bool dialogShown = true;
  // Logs whose script does not reach an exit of its own.
  std::set<std::string> killed;
};

using namespace std::chrono_literals;

const Date kNow = Date(std::chrono::hours(500000));

int countOccurrences(const std::string& text, const std::string& part) {
  int count = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) ++count;
  return count;
}

// Crash logs on a fake disk: each path's identity is its own, its
// modification time as given; listed in the map's (not the time's) order.
struct FakeLogs {
  std::map<std::string, Date> modified;
  int listings = 0;

  void add(const std::string& path, Date when) { modified[path] = when; }
  CrashScan::Finder finder() {
    return [this](const std::optional<Date>& since) {
      ++listings;
      std::vector<std::string> found;
      for (const auto& [path, when] : modified)
        if (!since || when >= *since) found.push_back(path);
      return found;
    };
  }
  CrashScan::Identify identify() {
    return [this](const std::string& path) -> std::optional<CrashLogIdentity> {
      const auto found = modified.find(path);
      if (found == modified.end()) return std::nullopt;
      return CrashLogIdentity{1, std::hash<std::string>{}(path), 100, found->second};
    };
  }
};

// The wall clock and the monotonic one; advance() moves both.
struct FakeClock {
  Date now = kNow;
  std::chrono::steady_clock::time_point steady{};
  CrashScan::Clock clock() {
    return [this] { return now; };
  }
  void advance(std::chrono::nanoseconds by) {
    now += std::chrono::duration_cast<Date::duration>(by);
    steady += by;
  }
  CrashScan::Memory memory(AgentState* state = nullptr, double quietPeriod = 24 * 3600.0) {
    CrashScan::Memory memory;
    memory.state = state;
    memory.quietPeriodSeconds = quietPeriod;
    memory.steadyClock = [this] { return steady; };
    return memory;
  }
};

// Every log is asked about once, oldest first (ties by path); the scan ends
// at the first related one, reports that very log, and then looks once more
// for the rest.
TEST(CrashScanTest, AsksOldestFirstAndReportsTheRelatedLogThatWasOffered) {
  struct Case {
    std::vector<std::pair<std::string, int>> logs;  // path, seconds before now
    bool consent;
    std::vector<std::string> calls;
  };
  const std::string ask = "related-crash-report ";
  const std::vector<Case> cases = {
      {{}, true, {}},
      {{{"/c", 1}, {"/b", 3}, {"/a", 3}}, true, {ask + "/a", ask + "/b", ask + "/c"}},
      {{{"/related", 3}, {"/b", 2}, {"/c", 1}},
       true,
       {ask + "/related", "consent?", "report /related", ask + "/b", ask + "/c"}},
      {{{"/a", 3}, {"/related", 2}, {"/c", 1}}, false, {ask + "/a", ask + "/related", "consent?", ask + "/c"}},
  };
  for (const Case& c : cases) {
    FakeLogs disk;
    FakeClock time;
    for (const auto& [path, age] : c.logs) disk.add(path, kNow - std::chrono::seconds(age));
    FakeReporter reporter;
    reporter.consent = c.consent;
    CrashScan scan(reporter, disk.finder(), time.clock(), disk.identify());
    test::CaptureStderr quiet;
    EXPECT_TRUE(scan.run());
    EXPECT_EQ(reporter.calls, c.calls);
    EXPECT_EQ(scan.state(), CrashScan::State::Idle);
  }
}

// One crash and later changes: asked once and offered once, whatever the
// answer; a log dated in the future too. A log rewritten is another crash.
TEST(CrashScanTest, EachLogIsAskedAndOfferedOnceInARun) {
  for (const bool consent : {true, false}) {
    FakeLogs disk;
    FakeClock time;
    disk.add("/related-now", kNow - 1s);
    disk.add("/related-future", kNow + 24h);
    disk.add("/other", kNow - 2s);
    FakeReporter reporter;
    reporter.consent = consent;
    CrashScan scan(reporter, disk.finder(), time.clock(), disk.identify());
    test::CaptureStderr quiet;
    for (int change = 0; change < 4; ++change) {
      EXPECT_TRUE(scan.run(CrashScan::Trigger::FolderChange));
      time.now += 3s;
    }
    const std::vector<std::string> once = reporter.calls;
    EXPECT_EQ(std::count(once.begin(), once.end(), "consent?"), 2);
    EXPECT_EQ(std::count(once.begin(), once.end(), "related-crash-report /related-now"), 1);
    EXPECT_EQ(std::count(once.begin(), once.end(), "related-crash-report /related-future"), 1);
    EXPECT_EQ(std::count(once.begin(), once.end(), "related-crash-report /other"), 1);
    EXPECT_EQ(std::count(once.begin(), once.end(), "report /related-now"), consent ? 1 : 0);

    disk.add("/other", time.now - 1s);
    reporter.calls.clear();
    scan.run();
    EXPECT_THAT(reporter.calls, ElementsAre("related-crash-report /other"));
  }
}

// Only an answer counts: a script that was killed, or a dialog that never
// showed, leaves the log to the next scan (even one begun long after the
// log's look-back), which asks again; why is logged once. Once answered, the
// log is not asked again.
TEST(CrashScanTest, LogWithoutAnAnswerIsAskedAgainAtTheNextScanAndLoggedOnce) {
  struct Case {
    const char* what;
    bool scriptKilled;
    bool dialogShown;
    const char* why;
    std::vector<std::string> callsPerScan;
  };
  const std::string ask = "related-crash-report /related";
  const std::vector<Case> cases = {
      {"script killed", true, true, "related-crash-report was killed; it is asked about again", {ask, "/other"}},
      {"no dialog", false, false, "not offered: the dialog was not answered", {ask, "consent?", "/other"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FakeLogs disk;
    FakeClock time;
    disk.add("/related", kNow - 1s);
    disk.add("/other", kNow - 500ms);
    FakeReporter reporter;
    if (c.scriptKilled) reporter.killed.insert("/related");
    reporter.dialogShown = c.dialogShown;
    CrashScan scan(reporter, disk.finder(), time.clock(), disk.identify());
    test::CaptureStderr captured;
    for (int run = 0; run < 3; ++run) {
      reporter.calls.clear();
      scan.run(CrashScan::Trigger::FolderChange);
      std::vector<std::string> expected = {c.callsPerScan.front()};
      if (c.callsPerScan.size() == 3) expected.push_back("consent?");
      // The other log is asked about in the first run only.
      if (run == 0) expected.push_back("related-crash-report /other");
      EXPECT_EQ(reporter.calls, expected) << "run " << run;
      time.now += 15min;
    }
    EXPECT_EQ(countOccurrences(captured.text(), c.why), 1) << captured.text();
    reporter.killed.clear();
    reporter.dialogShown = true;
    reporter.calls.clear();
    scan.run();
    scan.run();
    EXPECT_THAT(reporter.calls, ElementsAre(ask, "consent?", "report /related"));
  }
}

// A script that ends with a status other than 0 and 1 says so in a line of
// its own, beside the usual one.
TEST(CrashScanTest, UnexpectedScriptStatusIsLoggedWithTheUsualLine) {
  FakeLogs disk;
  FakeClock time;
  disk.add("/a", kNow - 1s);
  FakeReporter reporter;
  reporter.onAsk = [](const std::string&) { return 127; };
  CrashScan scan(reporter, disk.finder(), time.clock(), disk.identify());
  test::CaptureStderr captured;
  scan.run();
  EXPECT_THAT(captured.text(), HasSubstr("'/a' crash report was not related to Vellumdrift\n"));
  EXPECT_THAT(captured.text(), HasSubstr("'/a': related-crash-report exited\n"));
}

// A scan reaches back 10 s, or to the start of the one before it however
// long ago (a suspend, a dialog open for hours), or as far as the wall clock
// was set back meanwhile (the monotonic clock tells).
TEST(CrashScanTest, LooksBackToThePreviousScanWhateverTheTimeBetweenAndTheClock) {
  struct Case {
    std::chrono::seconds wall;    // the wall clock moves by this
    std::chrono::seconds steady;  // the monotonic clock by this
    Date since;
  };
  const std::vector<Case> runs = {
      {0s, 0s, kNow - 10s},                    // the first: 10 s
      {12s, 12s, kNow},                        // after a 12 s dialog: back to its start
      {1s, 1s, kNow + 3s},                     // soon after: 10 s
      {3h, 1s, kNow + 13s},                    // a suspend of 3 h: back to the scan before
      {5h, 5h, kNow + 3h + 13s},               // a dialog open for 5 h: the same
      {-1h + 20s, 20s, kNow + 8h + 13s - 1h},  // the clock set back an hour 20 s ago
  };
  FakeClock time;
  std::vector<Date> asked;
  FakeReporter reporter;
  CrashScan scan(
      reporter,
      [&](const std::optional<Date>& since) {
        asked.push_back(*since);
        return std::vector<std::string>{};
      },
      time.clock(), identifyCrashLog, time.memory());
  for (const Case& run : runs) {
    time.now += run.wall;
    time.steady += run.steady;
    scan.run();
    ASSERT_FALSE(asked.empty());
    EXPECT_EQ(asked.back(), run.since);
  }
}

// A crash written while the dialog is open, answered 12 s later, is asked
// about and offered next, whatever the answer.
TEST(CrashScanTest, CrashDuringADialogAnsweredLaterIsOfferedNext) {
  for (const bool consent : {true, false}) {
    FakeLogs disk;
    FakeClock time;
    disk.add("/related-first", kNow - 1s);
    FakeReporter reporter;
    reporter.consent = consent;
    reporter.onConsent = [&] {
      if (disk.modified.contains("/related-second")) return;
      disk.add("/related-second", time.now + 5s);
      time.now += 12s;
    };
    CrashScan scan(reporter, disk.finder(), time.clock(), disk.identify());
    test::CaptureStderr quiet;
    scan.run();
    std::vector<std::string> expected = {"related-crash-report /related-first", "consent?"};
    if (consent) expected.push_back("report /related-first");
    expected.insert(expected.end(), {"related-crash-report /related-second", "consent?"});
    if (consent) expected.push_back("report /related-second");
    EXPECT_EQ(reporter.calls, expected);
  }
}

// A burst of 20 related crashes, listed out of order: each asked about once,
// oldest first, and each report the log its dialog was about.
TEST(CrashScanTest, BurstOfCrashesIsAskedInFullAndEachReportIsTheOfferedLog) {
  FakeLogs disk;
  FakeClock time;
  std::vector<std::string> oldestFirst;
  for (int i = 0; i < 20; ++i) {
    const std::string path = "/related-" + std::to_string((i * 7) % 20);  // names unlike the times
    disk.add(path, kNow - std::chrono::seconds(9) + std::chrono::milliseconds(400 * i));
    oldestFirst.push_back("related-crash-report " + path);
  }
  FakeReporter reporter;
  int answers = 0;
  reporter.onConsent = [&] {
    reporter.consent = ++answers % 2 == 0;
    time.now += 2s;
  };
  CrashScan scan(reporter, disk.finder(), time.clock(), disk.identify());
  test::CaptureStderr quiet;
  scan.run();

  std::vector<std::string> asks;
  std::string offered;
  int reports = 0;
  for (const std::string& call : reporter.calls) {
    if (call.starts_with("related-crash-report ")) {
      asks.push_back(call);
      offered = call.substr(std::string_view("related-crash-report ").size());
    } else if (call.starts_with("report ")) {
      EXPECT_EQ(call, "report " + offered);
      ++reports;
    }
  }
  EXPECT_EQ(asks, oldestFirst);
  EXPECT_EQ(answers, 20);
  EXPECT_EQ(reports, 10);
}

// Crashes of the fault whose dialog is open are counted into its report, not
// asked about; another fault's crash is asked about next, an unrelated one is
// done with.
TEST(CrashScanTest, CrashesOfTheOpenDialogsFaultAreFoldedIntoItsReport) {
  FakeLogs disk;
  FakeClock time;
  disk.add("/a-related#S", kNow - 1s);
  FakeReporter reporter;
  reporter.onConsent = [&] {
    if (reporter.dialogs.size() > 1) return;
    for (int i = 1; i <= 19; ++i) disk.add("/loop" + std::to_string(i) + "-related#S", kNow + std::chrono::seconds(i));
    disk.add("/other-related#T", kNow + 30s);
    disk.add("/nothing", kNow + 31s);
    time.advance(40s);
  };
  AgentState state;
  CrashScan scan(reporter, disk.finder(), time.clock(), disk.identify(), time.memory(&state));
  test::CaptureStderr log;
  scan.run();
  ASSERT_EQ(reporter.reports.size(), 2u) << ::testing::PrintToString(reporter.calls);
  EXPECT_EQ(reporter.reports[0].folded, (Repeats{20, kNow - 1s, kNow + 19s}));
  EXPECT_EQ(reporter.calls[reporter.calls.size() - 1], "report /other-related#T");
  EXPECT_EQ(reporter.dialogs.size(), 2u);
  EXPECT_EQ(std::count(reporter.calls.begin(), reporter.calls.end(), "related-crash-report /other-related#T"), 1);
  EXPECT_EQ(countOccurrences(log.text(), "whose dialog was just answered; counted with it"), 19);
  EXPECT_EQ(countOccurrences(log.text(), "'/nothing' crash report was not related"), 1);
  EXPECT_EQ(state.answerFor("S")->answer, RememberedAnswer::Send);
}

// After an answer the fault is quiet for the period (from the answer to the
// crash log's time): logged, counted, and told of when it comes back. Another
// fault is asked about at once; 0 turns the rule off; another installed
// version starts afresh.
TEST(CrashScanTest, AnAnsweredFaultIsQuietForThePeriodAndComesBackWithItsCount) {
  FakeLogs disk;
  FakeClock time;
  FakeReporter reporter;
  reporter.consent = false;
  AgentState state;
  CrashScan scan(reporter, disk.finder(), time.clock(), disk.identify(), time.memory(&state));
  test::CaptureStderr log;
  const auto crashAt = [&](const std::string& path, std::chrono::seconds after) {
    disk.add(path, kNow + after);
    time.now = kNow + after + 1s;
    time.steady += 1s;
    reporter.calls.clear();
    scan.run();
    return reporter.calls;
  };
  const std::string ask = "related-crash-report ";
  EXPECT_EQ(crashAt("/a-related#S", 0s), (std::vector<std::string>{ask + "/a-related#S", "consent?"}));
  EXPECT_EQ(crashAt("/b-related#S", 600s), (std::vector<std::string>{ask + "/b-related#S"}));
  EXPECT_THAT(log.text(),
              HasSubstr("'/b-related#S' is the same crash as the one answered at " + formatLocalTime(kNow + 1s) +
                        "; not asked again before " + formatLocalTime(kNow + 1s + 24h)));
  EXPECT_EQ(crashAt("/c-related#T", 660s), (std::vector<std::string>{ask + "/c-related#T", "consent?"}));
  reporter.consent = true;
  EXPECT_EQ(crashAt("/d-related#S", 25h),
            (std::vector<std::string>{ask + "/d-related#S", "consent?", "report /d-related#S"}));
  const CrashOccurrences toldOf{{1, kNow + 25h, kNow + 25h}, kNow + 1s, {1, kNow + 600s, kNow + 600s}};
  EXPECT_EQ(reporter.dialogs.back(), toldOf);
  EXPECT_EQ(reporter.reports.back(), toldOf);
  EXPECT_EQ(state.answerFor("S")->since, Repeats{});
  reporter.version = "2.2";
  EXPECT_EQ(crashAt("/e-related#S", 25h + 60s).back(), "report /e-related#S");

  CrashScan off(reporter, disk.finder(), time.clock(), disk.identify(), time.memory(&state, 0));
  disk.add("/f-related#S", time.now);
  reporter.calls.clear();
  off.run();
  EXPECT_EQ(reporter.calls.back(), "report /f-related#S");
}

// Across a restart: the first scan reaches back to the last scan of the run
// before (at most a week) and asks nothing that run asked; the first start
// ever looks back 10 s.
TEST(CrashScanTest, ARestartAsksWhatCameMeanwhileOnceAndNothingAskedBefore) {
  test::TempDir dir;
  FakeLogs disk;
  FakeClock time;
  FakeReporter reporter;
  reporter.consent = false;
  test::CaptureStderr log;
  disk.add("/before-related#S", kNow - 3s);
  disk.add("/old", kNow - 20s);
  {
    AgentState state(dir / "state");
    state.load();
    CrashScan scan(reporter, disk.finder(), time.clock(), disk.identify(), time.memory(&state));
    scan.run();
    scan.stop();
  }
  EXPECT_EQ(reporter.calls, (std::vector<std::string>{"related-crash-report /before-related#S", "consent?"}));
  const auto restart = [&](Date at) {
    time.now = at;
    reporter.calls.clear();
    AgentState state(dir / "state");
    state.load();
    CrashScan scan(reporter, disk.finder(), time.clock(), disk.identify(), time.memory(&state));
    scan.run();
    scan.stop();
    return reporter.calls;
  };
  EXPECT_TRUE(restart(kNow + 5s).empty());
  disk.add("/meanwhile", kNow + 2h);
  EXPECT_EQ(restart(kNow + 3h), (std::vector<std::string>{"related-crash-report /meanwhile"}));
  EXPECT_TRUE(restart(kNow + 3h + 1s).empty());
  disk.add("/long-ago", kNow + 4h);
  disk.add("/within-a-week", kNow + 30 * 24h);
  EXPECT_EQ(restart(kNow + 36 * 24h), (std::vector<std::string>{"related-crash-report /within-a-week"}));
}

// The record stays bounded: what the reach has passed is forgotten, and past
// its cap the oldest go first.
TEST(CrashScanTest, RecordForgetsWhatNoScanListsAndKeepsToItsCap) {
  CrashLogRecord record;
  const auto log = [](ino_t inode, Date when) { return CrashLogIdentity{1, inode, 10, when}; };
  for (ino_t i = 0; i < CrashLogRecord::kCapacity + 5; ++i) record.add(log(i, kNow + std::chrono::seconds(i)));
  EXPECT_EQ(record.size(), CrashLogRecord::kCapacity);
  EXPECT_FALSE(record.contains(log(4, kNow + 4s)));
  EXPECT_TRUE(record.contains(log(5, kNow + 5s)));
  EXPECT_FALSE(record.contains(log(5, kNow + 6s)));  // the same file, rewritten
  record.forgetModifiedBefore(kNow + 100s);
  EXPECT_FALSE(record.contains(log(99, kNow + 99s)));
  EXPECT_TRUE(record.contains(log(100, kNow + 100s)));
  EXPECT_EQ(record.size(), CrashLogRecord::kCapacity + 5 - 100);
}

// A name cannot forge a log line.
TEST(CrashScanTest, LogLinesNameEachLogPrintably) {
  FakeLogs disk;
  disk.add("/Finder_x.crash\nforged line\n", kNow - 1s);
  FakeClock time;
  FakeReporter reporter;
  CrashScan scan(reporter, disk.finder(), time.clock(), disk.identify());
  test::CaptureStderr captured;
  scan.run();
  EXPECT_THAT(captured.text(), HasSubstr("'/Finder_x.crash\\nforged line\\n' crash report was not related"));
}

TEST(CrashScanTest, StopTurnsEverythingAwayAndAsksNothingMore) {
  FakeReporter reporter;
  CrashScan* self = nullptr;
  bool turnedAwayWhileScanning = false;
  reporter.onAsk = [&](const std::string&) {
    turnedAwayWhileScanning = !self->run();
    self->stop();  // an interrupt while the script runs
    return 137;
  };
  FakeLogs disk;
  disk.add("/related-1", kNow - 2s);
  disk.add("/related-2", kNow - 1s);
  FakeClock time;
  CrashScan scan(reporter, disk.finder(), time.clock(), disk.identify());
  self = &scan;
  test::CaptureStderr captured;
  EXPECT_TRUE(scan.run());
  EXPECT_TRUE(turnedAwayWhileScanning);
  EXPECT_THAT(reporter.calls, ElementsAre("related-crash-report /related-1"));
  EXPECT_EQ(scan.state(), CrashScan::State::Stopping);
  EXPECT_FALSE(scan.run());
  EXPECT_THAT(captured.text(), ::testing::Not(::testing::HasSubstr("crash report was")));
}

// The road of the agent: a directory event while the relatedness script runs
// reaches the callback during the run and is turned away; the scan then looks
// once more before it ends (and asks nothing twice). The script waits for the
// callback's own mark, so an event that did not reach it during the run fails
// the test rather than passing by chance.
TEST(CrashScanTest, DirectoryEventDuringAScriptIsTurnedAwayAndTheScanLooksOnceMore) {
  test::TempHome home;
  test::TempDir dir;
  const std::string watched = dir / "watched";
  const std::string mark = dir / "turned-away";
  test::makeDirectories(watched);

  FakeReporter reporter;
  int asks = 0;
  reporter.onAsk = [&](const std::string&) {
    Task task;
    task.setLaunchPath("/bin/sh");
    // Only the first run changes the folder, then waits for the mark.
    task.setArguments({"-c", "[ -e '" + mark + "' ] && exit 0; touch '" + watched + "/during'; while [ ! -e '" + mark +
                                 "' ]; do sleep 0.01; done"});
    task.setTimeLimit(std::chrono::seconds(30));  // hang guard
    task.run(Task::Output::Discard);
    EXPECT_FALSE(task.timedOut()) << "the event did not reach the callback during the script";
    ++asks;
    return 0;
  };
  FakeLogs disk;
  disk.add("/a", kNow - 1s);
  FakeClock time;
  CrashScan scan(reporter, disk.finder(), time.clock(), disk.identify());
  struct Context {
    int turnedAway = 0;
    int scans = 0;
  } context;
  std::unique_ptr<EventStream> stream = EventStream::create(
      [&](const std::vector<EventStreamEvent>&) {
        if (scan.run(CrashScan::Trigger::FolderChange)) {
          ++context.scans;
        } else {
          ++context.turnedAway;
          test::writeFile(mark, "");
        }
      },
      {watched}, 0.05);
  RunLoop& loop = RunLoop::current();
  stream->scheduleWithRunLoop(loop, kDefaultRunLoopMode);
  ASSERT_TRUE(stream->start());
  test::CaptureStderr quiet;

  test::writeFile(watched + "/first", "");
  ASSERT_TRUE(test::waitUntil([&] {
    loop.runOnce(kDefaultRunLoopMode, std::chrono::milliseconds(50));
    return context.scans == 1;
  }));
  EXPECT_EQ(context.turnedAway, 1);
  EXPECT_EQ(asks, 1);
  EXPECT_EQ(disk.listings, 2);

  // The next batch is the next change's, and it scans once.
  disk.add("/b", kNow);
  test::writeFile(watched + "/second", "");
  ASSERT_TRUE(test::waitUntil([&] {
    loop.runOnce(kDefaultRunLoopMode, std::chrono::milliseconds(50));
    return context.scans == 2;
  }));
  EXPECT_EQ(asks, 2);
  EXPECT_EQ(context.turnedAway, 1);
  EXPECT_EQ(disk.listings, 3);
  stream->stop();
  stream->unscheduleFromRunLoop(loop, kDefaultRunLoopMode);
}

}  // namespace
}  // namespace cw

// The scan as a state machine: what it asks, in which order, and what it
// turns away while it runs.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>

#include "CrashScan.h"
#include "Platform/EventStream.h"
#include "Platform/RunLoop.h"
#include "Platform/Task.h"
#include "support/TestSupport.h"

namespace cw {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

// Records every question; each answer may do something on the side.
class FakeReporter : public ScanReporter {
public:
  std::int32_t askShellCommandWithCrashFile(std::string_view command, std::string_view crashFile) override {
    calls.push_back(std::string(command) + " " + std::string(crashFile));
    if (onAsk) return onAsk(std::string(crashFile));
    return crashFile.find("related") != std::string_view::npos ? 1 : 0;
  }
  bool askUserPermissionToSend() override {
    calls.push_back("consent?");
    return consent;
  }
  void report(const std::optional<std::string>& crashFile) override { calls.push_back("report " + *crashFile); }

  std::vector<std::string> calls;
  std::function<std::int32_t(const std::string&)> onAsk;
  bool consent = true;
};

CrashScan::Finder listing(std::vector<std::string> logs) {
  return [logs](const std::optional<Date>&) { return logs; };
}

TEST(CrashScanTest, AsksInOrderUntilTheFirstRelatedAndReportsTheLastOfTheList) {
  struct Case {
    std::vector<std::string> logs;
    bool consent;
    std::vector<std::string> calls;
  };
  const std::string ask = "related-crash-report ";
  const std::vector<Case> cases = {
      {{}, true, {}},
      {{"/a", "/b"}, true, {ask + "/a", ask + "/b"}},
      {{"/related", "/b", "/c"}, true, {ask + "/related", "consent?", "report /c"}},
      {{"/a", "/related", "/c"}, false, {ask + "/a", ask + "/related", "consent?"}},
  };
  for (const Case& c : cases) {
    FakeReporter reporter;
    reporter.consent = c.consent;
    CrashScan scan(reporter, listing(c.logs));
    test::CaptureStderr quiet;
    EXPECT_TRUE(scan.run());
    EXPECT_EQ(reporter.calls, c.calls);
    EXPECT_EQ(scan.state(), CrashScan::State::Idle);
  }
}

TEST(CrashScanTest, LooksBackTenSecondsFromItsStart) {
  const Date now = Date(std::chrono::hours(500000));
  std::optional<Date> asked;
  FakeReporter reporter;
  CrashScan scan(
      reporter,
      [&](const std::optional<Date>& since) {
        asked = since;
        return std::vector<std::string>{};
      },
      [now] { return now; });
  scan.run();
  EXPECT_EQ(asked, now - std::chrono::seconds(10));
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
  CrashScan scan(reporter, listing({"/related-1", "/related-2"}));
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
// reaches the callback during the run and is turned away; no scan follows it.
// The script waits for the callback's own mark, so an event that did not
// reach it during the run fails the test rather than passing by chance.
TEST(CrashScanTest, DirectoryEventDuringAScriptIsTurnedAwayAndStartsNoSecondScan) {
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
  CrashScan scan(reporter, listing({"/a"}));
  struct Context {
    CrashScan* scan;
    std::string mark;
    int turnedAway = 0;
    int scans = 0;
  } context{&scan, mark};
  const auto callback = [](EventStreamRef, void* raw, std::size_t, void*, const EventStreamEventFlags[],
                           const EventStreamEventId[]) {
    auto& c = *static_cast<Context*>(raw);
    if (c.scan->run()) {
      ++c.scans;
    } else {
      ++c.turnedAway;
      test::writeFile(c.mark, "");
    }
  };
  std::unique_ptr<EventStream> stream =
      EventStream::create(callback, &context, {watched}, kEventStreamEventIdSinceNow, 0.05, kEventStreamCreateFlagNone);
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

  // The next batch is the next change's, and it scans once.
  test::writeFile(watched + "/second", "");
  ASSERT_TRUE(test::waitUntil([&] {
    loop.runOnce(kDefaultRunLoopMode, std::chrono::milliseconds(50));
    return context.scans == 2;
  }));
  EXPECT_EQ(asks, 2);
  EXPECT_EQ(context.turnedAway, 1);
  stream->stop();
  stream->unscheduleFromRunLoop(loop, kDefaultRunLoopMode);
}

}  // namespace
}  // namespace cw

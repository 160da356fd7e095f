// Every way the helper can fail ends the dialog as lost, and the agent goes on.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <cerrno>

#include "Platform/ChildReaper.h"
#include "Platform/VirtualTime.h"
#include "UI/DialogHelperClient.h"
#include "dialog/DialogTestSupport.h"

namespace cw::test {
namespace {

using ui::BackendEvent;
using ui::DialogHelperClient;

bool processGone(pid_t pid) {
  return ::kill(pid, 0) == -1 && errno == ESRCH;
}

// After a loss every call is harmless and quick, and the one Lost event
// comes while the modal mode runs.
void expectLostForGood(DialogHelperClient& client, EventLog& log) {
  EXPECT_FALSE(client.isAlive());
  EXPECT_FALSE(client.lostReason().empty());
  EXPECT_EQ(client.helperProcessIdentifier(), -1);
  const TestDialog dialog = TestDialog::build(client, "After the loss");
  EXPECT_EQ(client.fittingSize(dialog.send), ui::Size{});
  client.showWindow(dialog.window);
  client.setEventHandler(log.handler());
  ASSERT_TRUE(runModalUntil([&] { return log.has(BackendEvent::Type::Lost); }));
  RunLoop::current().runOnce(kModalPanelRunLoopMode, std::chrono::milliseconds(0));
  EXPECT_EQ(std::count_if(log.events.begin(), log.events.end(),
                          [](const BackendEvent& event) { return event.type == BackendEvent::Type::Lost; }),
            1);
}

// A stand-in helper: a shell script that finds the socket at descriptor 3.
class FakeHelper {
public:
  explicit FakeHelper(const std::string& body) { writeFile(path(), "#!/bin/sh\n" + body + "\n", 0755); }
  std::string path() const { return dir_ / "fake-dialog"; }

private:
  TempDir dir_;
};

DialogHelperClient::Options fakeOptions(const FakeHelper& helper, std::chrono::milliseconds timeout) {
  DialogHelperClient::Options options;
  options.helperPath = helper.path();
  options.replyTimeout = timeout;
  return options;
}

TEST(FaultyHelper, AMissingHelperIsLostAtOnce) {
  TempDir dir;
  DialogHelperClient client(dir / "no-such-helper");
  EXPECT_FALSE(client.isAlive());
  EXPECT_EQ(client.lostReason(), "the dialog helper could not be started: No such file or directory");
  EventLog log;
  expectLostForGood(client, log);
}

TEST(FaultyHelper, AHelperThatWritesGarbageIsLostAndKilled) {
  FakeHelper helper("echo 'this is {not json' >&3\nexec sleep 300");
  DialogHelperClient client(fakeOptions(helper, std::chrono::seconds(30)));
  const pid_t pid = client.helperProcessIdentifier();
  ASSERT_GT(pid, 0);
  EventLog log;
  client.setEventHandler(log.handler());
  ASSERT_TRUE(runModalUntil([&] { return log.has(BackendEvent::Type::Lost); }));
  EXPECT_EQ(client.lostReason(), "the dialog helper sent a malformed message");
  EXPECT_TRUE(processGone(pid));
  expectLostForGood(client, log);
}

TEST(FaultyHelper, AnOverlongLineIsLostWithoutWaitingForItsEnd) {
  FakeHelper helper("head -c 200000 /dev/zero | tr '\\0' x >&3\nexec sleep 300");
  DialogHelperClient client(fakeOptions(helper, std::chrono::seconds(30)));
  EventLog log;
  client.setEventHandler(log.handler());
  ASSERT_TRUE(runModalUntil([&] { return log.has(BackendEvent::Type::Lost); }));
  EXPECT_EQ(client.lostReason(), "the dialog helper sent a malformed message");
}

TEST(FaultyHelper, AHelperThatNeverAnswersAMeasurementIsLostAndKilled) {
  FakeHelper helper("exec sleep 300");
  DialogHelperClient client(fakeOptions(helper, std::chrono::milliseconds(300)));
  const pid_t pid = client.helperProcessIdentifier();
  const TestDialog dialog = TestDialog::build(client, "Hung");
  CaptureStderr captured;
  EXPECT_EQ(client.fittingSize(dialog.send), ui::Size{});
  // Logged once, with how long it was waited for.
  const std::string line = "The dialog helper was given up: the dialog helper did not answer within 300 ms\n";
  EXPECT_EQ(client.lostReason(), "the dialog helper did not answer within 300 ms");
  EXPECT_NE(captured.text().find(line), std::string::npos) << captured.text();
  EXPECT_EQ(captured.text().find(line), captured.text().rfind(line));
  EXPECT_TRUE(processGone(pid));
  EventLog log;
  expectLostForGood(client, log);
}

TEST(FaultyHelper, AHelperThatStopsReadingCannotBlockTheAgent) {
  // Reads nothing: once the socket's buffers are full, sends would block.
  FakeHelper helper("exec sleep 300");
  DialogHelperClient client(fakeOptions(helper, std::chrono::milliseconds(300)));
  const TestDialog dialog = TestDialog::build(client, "Full");
  const std::string big(60000, 'x');
  for (int i = 0; i < 200 && client.isAlive(); ++i) client.setText(dialog.message, big);
  EXPECT_FALSE(client.isAlive());
  EXPECT_EQ(client.lostReason(), "the dialog helper stopped reading");
}

TEST(FaultyHelper, AHelperThatEndsIsLostAndNoSignalReachesTheAgent) {
  // The default disposition: a send to a dead peer without MSG_NOSIGNAL
  // would end this test process.
  struct sigaction previous {};
  struct sigaction byDefault {};
  byDefault.sa_handler = SIG_DFL;
  ::sigaction(SIGPIPE, &byDefault, &previous);

  FakeHelper helper("exit 0");
  DialogHelperClient client(fakeOptions(helper, std::chrono::seconds(30)));
  const pid_t pid = client.helperProcessIdentifier();
  // Let it end before we write; WNOWAIT leaves the reaping to the client.
  siginfo_t info{};
  ASSERT_EQ(::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT), 0);
  const TestDialog dialog = TestDialog::build(client, "Ended");
  for (int i = 0; i < 5; ++i) client.setText(dialog.message, "still here");
  EXPECT_EQ(client.fittingSize(dialog.send), ui::Size{});
  EXPECT_FALSE(client.isAlive());
  EventLog log;
  expectLostForGood(client, log);
  ::sigaction(SIGPIPE, &previous, nullptr);
}

// Let go, a helper has its grace to quit while the loop serves everything
// else; one that ignores the hang-up is killed once the grace is out.
TEST(FaultyHelper, AHelperLetGoHasItsGraceWithoutHoldingUpTheLoop) {
  RunLoop& loop = RunLoop::current();
  const ChildReaper& reaper = ChildReaper::current();
  for (const bool quits : {true, false}) {
    SCOPED_TRACE(quits ? "quits on the hang-up" : "ignores the hang-up");
    VirtualTime time;
    FakeHelper helper(quits ? "read -r line <&3; exit 0" : "exec sleep 300");
    DialogHelperClient client(fakeOptions(helper, std::chrono::seconds(30)));
    const pid_t pid = client.helperProcessIdentifier();
    ASSERT_GT(pid, 0);
    bool served = false;
    const RunLoop::SourceHandle marker = loop.addTimer(0.1, false, [&] { served = true; }, {kDefaultRunLoopMode});
    client.close();
    EXPECT_FALSE(client.isAlive());
    if (!quits) {
      time.advance(std::chrono::milliseconds(300));
      EXPECT_TRUE(served);
      EXPECT_EQ(::kill(pid, 0), 0) << "killed before its grace was out";
      EXPECT_EQ(reaper.pendingCount(), 1u);
      time.advance(std::chrono::milliseconds(300));
    }
    // The one that quits is reaped while time stands still, so no kill came.
    ASSERT_TRUE(serveUntil(loop, kDefaultRunLoopMode, [&] { return reaper.pendingCount() == 0; }));
    EXPECT_EQ(served, !quits) << "time moved on: the one that quits may have been killed";
    errno = 0;
    EXPECT_EQ(::waitpid(pid, nullptr, WNOHANG), -1) << "left as a zombie";
    EXPECT_EQ(errno, ECHILD);
  }
}

class FaultyRealHelper : public DialogTest {};

TEST_F(FaultyRealHelper, NoDisplayIsLostQuicklyWithTheHelpersReason) {
  ScopedEnv noDisplay("DISPLAY", nullptr);
  DialogHelperClient::Options options;
  options.helperPath = CW_DIALOG_HELPER;
  options.replyTimeout = std::chrono::seconds(60);
  DialogHelperClient client(options);
  const TestDialog dialog = TestDialog::build(client, "No display");
  // The helper leaves at once, so the measurement ends with it rather than
  // with the time-out.
  EXPECT_EQ(client.fittingSize(dialog.send), ui::Size{});
  EXPECT_FALSE(client.isAlive());
  EXPECT_NE(client.lostReason().find("cannot open display"), std::string::npos) << client.lostReason();
  EventLog log;
  expectLostForGood(client, log);
}

TEST_F(FaultyRealHelper, AHelperKilledMidDialogIsLostAndTheAgentGoesOn) {
  DialogHelperClient::Options options;
  options.helperPath = CW_DIALOG_HELPER;
  options.replyTimeout = std::chrono::seconds(30);
  DialogHelperClient client(options);
  const TestDialog dialog = TestDialog::build(client, "CrashWatcher Killed");
  EventLog log;
  client.setEventHandler(log.handler());
  client.showWindow(dialog.window);
  ASSERT_FALSE(findWindow(dialog.title).empty());

  ASSERT_EQ(::kill(client.helperProcessIdentifier(), SIGKILL), 0);
  ASSERT_TRUE(runModalUntil([&] { return log.has(BackendEvent::Type::Lost); }));
  EXPECT_EQ(client.lostReason(), "the dialog helper ended");
  EXPECT_EQ(log.events.size(), 1u);
  expectLostForGood(client, log);

  // And the next dialog gets a helper of its own.
  DialogHelperClient next(options);
  const TestDialog second = TestDialog::build(next, "CrashWatcher Next");
  EXPECT_GT(next.fittingSize(second.send).width, 0);
  EXPECT_TRUE(next.isAlive());
}

}  // namespace
}  // namespace cw::test

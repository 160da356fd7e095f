// A child we own, and the two ways the agent runs one: a Task whose output
// is read while the run loop is served, and a child left to the reaper.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>

#include "Platform/ChildProcess.h"
#include "Platform/ChildReaper.h"
#include "Platform/RunLoop.h"
#include "Platform/Task.h"
#include "Platform/VirtualTime.h"
#include "loop/LoopTestSupport.h"
#include "support/TestSupport.h"

namespace cw {
namespace {

using test::spawned;
using test::TestPipe;

struct Outcome {
  bool started = false;
  std::string output;
  int status = -1;
  bool timedOut = false;
  bool interrupted = false;
};

// Runs `commandLine` the way the helper scripts are run: bash as a login
// shell, its standard output read to the end.
Outcome runShell(const std::string& commandLine, std::chrono::milliseconds limit = Task::kDefaultTimeLimit,
                 Task::Output output = Task::Output::Keep, std::vector<std::string> environment = {}) {
  Task task;
  task.setLaunchPath("/bin/bash");
  task.setArguments({"-l", "-c", commandLine});
  task.setTimeLimit(limit);
  task.setEnvironment(std::move(environment));
  Outcome outcome;
  outcome.started = static_cast<bool>(task.run(output));
  outcome.output = task.output();
  outcome.status = task.terminationStatus();
  outcome.timedOut = task.timedOut();
  outcome.interrupted = task.interrupted();
  return outcome;
}

std::string statusLine(const std::string& status, const std::string& key) {
  std::istringstream lines(status);
  for (std::string line; std::getline(lines, line);)
    if (line.rfind(key + ":", 0) == 0) return line.substr(line.find_first_not_of(" \t", key.size() + 1));
  return "(missing)";
}

// Whether `pid` is gone or only a zombie left for init to collect.
bool ended(pid_t pid) {
  const std::string status = test::readFile("/proc/" + std::to_string(pid) + "/status");
  return status.empty() || statusLine(status, "State").rfind("Z", 0) == 0;
}

// No login profile of the real user may take part.
class ChildProcessTest : public ::testing::Test {
protected:
  test::TempHome home_;
};

TEST_F(ChildProcessTest, StartsCleanWithItsOwnEnvironmentAndNothingElseOfOurs) {
  test::TempDir dir;
  test::writeFile(dir / "marker", "");
  const int careless = ::open((dir / "marker").c_str(), O_RDONLY);  // no close-on-exec on purpose
  ASSERT_GE(careless, 0);
  UniqueFd guard(careless);
  // As the agent does: some signals ignored, and one blocked for good measure.
  struct sigaction ignore {
  }, oldHup{}, oldUsr2{};
  ignore.sa_handler = SIG_IGN;
  ::sigaction(SIGHUP, &ignore, &oldHup);
  ::sigaction(SIGUSR2, &ignore, &oldUsr2);
  sigset_t blocked, oldMask;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGUSR1);
  ::pthread_sigmask(SIG_BLOCK, &blocked, &oldMask);

  // `read` is a builtin: /proc/self is the shell itself.
  const Outcome shown = runShell(
      "cat /proc/self/status; read -r p c s pp g rest < /proc/self/stat; echo \"Group: $g\"; "
      "echo \"Only: $CW_ONLY_CHILD\"; ls -l /proc/$$/fd/",
      Task::kDefaultTimeLimit, Task::Output::Keep, {"CW_ONLY_CHILD=yes", "HOME=" + home_.path()});

  ::pthread_sigmask(SIG_SETMASK, &oldMask, nullptr);
  ::sigaction(SIGHUP, &oldHup, nullptr);
  ::sigaction(SIGUSR2, &oldUsr2, nullptr);

  ASSERT_TRUE(shown.started);
  // glibc keeps its own two real-time signals (32, 33, below SIGRTMIN) ignored
  // in a spawned child whatever we ask; programs never see them.
  std::uint64_t ignored = std::stoull(statusLine(shown.output, "SigIgn"), nullptr, 16);
  for (int sig = 32; sig < SIGRTMIN; ++sig) ignored &= ~(std::uint64_t{1} << (sig - 1));
  EXPECT_EQ(ignored, 0u) << shown.output;
  EXPECT_EQ(statusLine(shown.output, "SigBlk"), "0000000000000000") << shown.output;
  EXPECT_NE(statusLine(shown.output, "Group"), std::to_string(::getpgrp())) << "not a group of its own";
  EXPECT_EQ(statusLine(shown.output, "Only"), "yes");
  EXPECT_EQ(std::getenv("CW_ONLY_CHILD"), nullptr) << "the agent's own environment changed";

  std::set<int> open;
  std::istringstream lines(shown.output);
  for (std::string line; std::getline(lines, line);) {
    const auto arrow = line.find(" -> ");
    if (arrow == std::string::npos || line.find("/proc/") != std::string::npos) continue;
    const auto numberStart = line.rfind(' ', arrow - 1) + 1;
    open.insert(std::stoi(line.substr(numberStart, arrow - numberStart)));
    EXPECT_EQ(line.find("marker"), std::string::npos) << line;
  }
  EXPECT_TRUE(open.count(1)) << shown.output;  // our pipe
  for (int fd : open) EXPECT_LE(fd, 2) << shown.output;
}

TEST_F(ChildProcessTest, FailedSpawnKeepsItsErrno) {
  const SystemResult<ChildProcess> missing = ChildProcess::spawn("/no/such/program", {"/no/such/program"}, {});
  EXPECT_FALSE(missing);
  EXPECT_EQ(missing.error(), ENOENT);
  EXPECT_EQ(ChildProcess().shellStatus(), 127);

  Task task;
  task.setLaunchPath("/no/such/program");
  EXPECT_EQ(task.run().error(), ENOENT);
  EXPECT_EQ(task.terminationStatus(), 127);
  EXPECT_EQ(task.output(), "");
  EXPECT_EQ(task.run().error(), EALREADY) << "a task runs once";
}

TEST_F(ChildProcessTest, OwnerThatGoesKillsTheWholeGroupUnlessDetached) {
  test::TempDir dir;
  const std::string pids = dir / "pids";
  // The shell starts a second process of its group, then waits on its own.
  const std::string script = "sleep 600 & echo $! > '" + pids + "'; exec sleep 600";
  pid_t leader = -1;
  {
    ChildProcess child = spawned(ChildProcess::spawn("/bin/sh", {"/bin/sh", "-c", script}, {}));
    ASSERT_TRUE(child.started());
    leader = child.processIdentifier();
    ChildProcess movedTo = std::move(child);  // the new owner is the one that counts
    EXPECT_FALSE(child.started());
    ASSERT_TRUE(test::waitUntil([&] { return !test::readFile(pids).empty(); }));
  }
  errno = 0;
  EXPECT_EQ(::waitpid(leader, nullptr, WNOHANG), -1) << "the child was left unreaped";
  EXPECT_EQ(errno, ECHILD);
  const pid_t member = std::stoi(test::readFile(pids));
  EXPECT_TRUE(test::waitUntil([&] { return ended(member); })) << "a process of its group was left behind";

  ChildProcess detached = spawned(ChildProcess::spawn("/bin/sleep", {"sleep", "600"}, {}));
  const pid_t kept = detached.processIdentifier();
  detached.detach();
  { ChildProcess gone = std::move(detached); }
  EXPECT_EQ(::kill(kept, 0), 0) << "a detached child was killed";
  ::kill(kept, SIGKILL);
  ::waitpid(kept, nullptr, 0);
}

TEST_F(ChildProcessTest, AChildGetsAGroupOrASessionOfItsOwn) {
  for (const bool newSession : {false, true}) {
    SCOPED_TRACE(newSession ? "new session" : "own group");
    ChildProcess::Options options;
    options.newSession = newSession;
    ChildProcess child = spawned(ChildProcess::spawn("/bin/sleep", {"sleep", "600"}, options));
    ASSERT_TRUE(child.started());
    const pid_t pid = child.processIdentifier();
    EXPECT_EQ(::getpgid(pid), pid);
    // A new session has no controlling terminal: ours can neither stop nor interrupt it.
    EXPECT_EQ(::getsid(pid), newSession ? pid : ::getsid(0));
  }
}

TEST_F(ChildProcessTest, TaskGivesOutputByteForByteAndTheShellsStatus) {
  const Outcome line = runShell("printf 'hello world\\n'");
  EXPECT_TRUE(line.started);
  EXPECT_EQ(line.output, "hello world\n");
  EXPECT_EQ(line.status, 0);
  EXPECT_EQ(runShell("true").output, "");
  EXPECT_EQ(runShell("printf 'a\\0b\\r\\n\\n'").output, std::string("a\0b\r\n\n", 6));

  for (int code : {0, 1, 2, 255}) EXPECT_EQ(runShell("exit " + std::to_string(code)).status, code) << code;
  EXPECT_EQ(runShell("kill -TERM $$").status, 128 + SIGTERM);
  EXPECT_EQ(runShell("/no/such/script arg").status, 127);
}

TEST_F(ChildProcessTest, TaskReadsMuchOutputWholeDiscardedOrBounded) {
  const std::string writeMuch = "head -c 700000 /dev/zero | tr '\\0' x; exit 3";
  const Outcome kept = runShell(writeMuch);
  EXPECT_EQ(kept.output, std::string(700000, 'x'));
  EXPECT_EQ(kept.status, 3);
  const Outcome discarded = runShell(writeMuch, Task::kDefaultTimeLimit, Task::Output::Discard);
  EXPECT_EQ(discarded.output, "");
  EXPECT_EQ(discarded.status, 3);

  Task bounded;
  bounded.setLaunchPath("/bin/bash");
  bounded.setArguments({"-l", "-c", "head -c 300000 /dev/zero | tr '\\0' y"});
  bounded.setOutputLimit(1000);
  ASSERT_TRUE(bounded.run());
  EXPECT_EQ(bounded.output(), std::string(1000, 'y'));
  EXPECT_TRUE(bounded.outputTruncated());
  EXPECT_EQ(bounded.terminationStatus(), 0) << "the writer was read to its end, not stalled";
}

TEST_F(ChildProcessTest, TaskTimeLimitKillsAHangingScriptOrStopsWaitingForAHeldPipe) {
  const Outcome hung = runShell("printf partial; exec sleep 600", std::chrono::milliseconds(300));
  EXPECT_TRUE(hung.timedOut);
  EXPECT_EQ(hung.output, "partial");
  EXPECT_EQ(hung.status, 128 + SIGKILL);

  // The shell ends at once; its child keeps the pipe open.
  const Outcome held = runShell("sleep 600 & echo started", std::chrono::milliseconds(300));
  EXPECT_TRUE(held.timedOut);
  EXPECT_EQ(held.output, "started\n");
  EXPECT_EQ(held.status, 0);
}

TEST_F(ChildProcessTest, TaskServesTheDefaultModeWhileItWaits) {
  RunLoop& loop = RunLoop::current();
  TestPipe defaultPipe, modalPipe;
  int defaultServed = 0, modalServed = 0;
  const RunLoop::SourceHandle defaultSource = loop.addFdSource(defaultPipe.read.get(),
                                                               [&](short) {
                                                                 ++defaultServed;
                                                                 defaultPipe.drain();
                                                               },
                                                               {kDefaultRunLoopMode});
  const RunLoop::SourceHandle modalSource = loop.addFdSource(modalPipe.read.get(),
                                                             [&](short) {
                                                               ++modalServed;
                                                               modalPipe.drain();
                                                             },
                                                             {kModalPanelRunLoopMode});
  defaultPipe.poke();
  modalPipe.poke();
  // The script waits until the default mode was served (it sees the marker).
  test::TempDir dir;
  const std::string served = dir / "served";
  const RunLoop::SourceHandle marker = loop.addTimer(0.01, true,
                                                     [&] {
                                                       if (defaultServed > 0) test::writeFile(served, "");
                                                     },
                                                     {kDefaultRunLoopMode});
  const Outcome outcome = runShell("while [ ! -e '" + served + "' ]; do sleep 0.01; done; printf done");
  EXPECT_EQ(outcome.output, "done");
  EXPECT_EQ(defaultServed, 1);
  EXPECT_EQ(modalServed, 0);
}

TEST_F(ChildProcessTest, StopOfEveryRunEndsTheTaskAtOnceAndKillsItsGroup) {
  RunLoop& loop = RunLoop::current();
  test::TempDir dir;
  const std::string pids = dir / "pids";
  Outcome outcome;
  // The outer run stands for the agent's; the stop for a shutdown.
  const RunLoop::SourceHandle stopper = loop.addTimer(0.01, true,
                                                      [&] {
                                                        if (!test::readFile(pids).empty()) loop.stopAll();
                                                      },
                                                      {kDefaultRunLoopMode});
  const RunLoop::SourceHandle start =
      loop.addTimer(0, false, [&] { outcome = runShell("printf partial; sleep 600 & echo $! > '" + pids + "'; wait"); },
                    {kDefaultRunLoopMode});
  loop.run(kDefaultRunLoopMode);
  EXPECT_TRUE(outcome.interrupted);
  EXPECT_EQ(outcome.output, "") << "an interrupted script gives no output";
  EXPECT_NE(outcome.status, 1);
  EXPECT_TRUE(test::waitUntil([&] { return ended(std::stoi(test::readFile(pids))); }));
}

TEST_F(ChildProcessTest, ReaperCollectsChildrenNobodyWaitsFor) {
  ChildReaper& reaper = ChildReaper::current();
  reaper.reapWhenDone(spawned(ChildProcess::spawn("/bin/true", {"true"}, {})));
  reaper.reapWhenDone(spawned(ChildProcess::spawn("/bin/sleep", {"sleep", "0.2"}, {})));
  reaper.reapWhenDone(ChildProcess());  // none to reap
  ASSERT_TRUE(test::serveUntil(RunLoop::current(), kDefaultRunLoopMode, [&] { return reaper.pendingCount() == 0; }));
  errno = 0;
  EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1) << "a child is left over";
  EXPECT_EQ(errno, ECHILD);
}

// The end of a child is watched through its pidfd, or by looking where the
// kernel has none; both ways serve a Task (its end, its time limit), the
// reaper, and a watch that moves with its owner, fires once and reaps nothing.
TEST_F(ChildProcessTest, EveryWaitForAnEndWorksWithAndWithoutPidfds) {
  for (const bool pidfds : {true, false}) {
    SCOPED_TRACE(pidfds ? "pidfd" : "without pidfd");
    ChildProcess::setPidfdsEnabled(pidfds);
    RunLoop& loop = RunLoop::current();

    const Outcome ran = runShell("printf done; exit 3");
    EXPECT_EQ(ran.output, "done");
    EXPECT_EQ(ran.status, 3);
    const Outcome hung = runShell("printf partial; exec sleep 600", std::chrono::milliseconds(300));
    EXPECT_TRUE(hung.timedOut);
    EXPECT_EQ(hung.status, 128 + SIGKILL);

    ChildProcess child = spawned(ChildProcess::spawn("/bin/sh", {"sh", "-c", "exit 5"}, {}));
    if (!pidfds) {
      EXPECT_EQ(child.pidfd(), -1);
    }
    int fired = 0;
    child.watchExit(loop, {std::string(kDefaultRunLoopMode)}, [&] { ++fired; });
    ChildProcess owner = std::move(child);
    ASSERT_TRUE(test::serveUntil(loop, kDefaultRunLoopMode, [&] { return fired > 0; }));
    for (int pass = 0; pass < 3; ++pass) loop.runOnce(kDefaultRunLoopMode, std::chrono::milliseconds(20));
    EXPECT_EQ(fired, 1);
    EXPECT_FALSE(owner.reaped()) << "its group's number stays reserved until the owner reaps";
    EXPECT_TRUE(owner.tryReap());
    EXPECT_EQ(owner.shellStatus(), 5);

    int reapedStatus = -1;
    ChildReaper::current().reapWhenDone(spawned(ChildProcess::spawn("/bin/sleep", {"sleep", "0.1"}, {})),
                                        [&](const ChildProcess& ended) { reapedStatus = ended.shellStatus(); });
    ASSERT_TRUE(test::serveUntil(loop, kDefaultRunLoopMode, [&] { return reapedStatus == 0; }));

    // Children of ours asked to quit (here: by the end of their input). One
    // that quits is reaped with its own status before its grace is out; one
    // that does not is killed when it is. Time moves only when told.
    VirtualTime time;
    int ends[2];
    ASSERT_EQ(::pipe2(ends, O_CLOEXEC), 0);
    UniqueFd input(ends[0]), quitSignal(ends[1]);
    ChildProcess::Options options;
    options.descriptors = {{input.get(), STDIN_FILENO}};
    ChildProcess quits = spawned(ChildProcess::spawn("/bin/sh", {"sh", "-c", "read -r line; exit 4"}, options));
    ChildProcess hangs = spawned(ChildProcess::spawn("/bin/sleep", {"sleep", "600"}, {}));
    const pid_t quitter = quits.processIdentifier(), hanger = hangs.processIdentifier();
    std::optional<int> quitStatus, hungStatus;
    ChildReaper::current().killUnlessDoneWithin(std::move(quits), std::chrono::seconds(1),
                                                [&](const ChildProcess& ended) { quitStatus = ended.shellStatus(); });
    ChildReaper::current().killUnlessDoneWithin(std::move(hangs), std::chrono::seconds(1),
                                                [&](const ChildProcess& ended) { hungStatus = ended.shellStatus(); });
    quitSignal.reset();
    siginfo_t info{};
    ASSERT_EQ(::waitid(P_PID, static_cast<id_t>(quitter), &info, WEXITED | WNOWAIT), 0);
    // Each look moves time on a little, for the watch without a pidfd.
    const auto serveTill = [&](const std::optional<int>& status) {
      return test::serveUntil(loop, kDefaultRunLoopMode, [&] {
        time.advance(std::chrono::milliseconds(10));
        return status.has_value();
      });
    };
    ASSERT_TRUE(serveTill(quitStatus));
    EXPECT_EQ(quitStatus, 4);
    EXPECT_FALSE(hungStatus.has_value());
    EXPECT_EQ(::kill(hanger, 0), 0) << "killed before its grace was out";
    time.advance(std::chrono::seconds(1));
    ASSERT_TRUE(serveTill(hungStatus));
    EXPECT_EQ(hungStatus, 128 + SIGKILL);
  }
  ChildProcess::setPidfdsEnabled(true);
  errno = 0;
  EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1) << "a child is left over";
  EXPECT_EQ(errno, ECHILD);
}

// When a thread's reaper goes, the children it was to end go with it; those
// that may outlive us (a mail program) run on.
TEST_F(ChildProcessTest, AReaperThatGoesEndsItsOwnChildrenAndLeavesTheRest) {
  ChildProcess ours = spawned(ChildProcess::spawn("/bin/sleep", {"sleep", "600"}, {}));
  ChildProcess theirs = spawned(ChildProcess::spawn("/bin/sleep", {"sleep", "600"}, {}));
  const pid_t ourPid = ours.processIdentifier(), theirPid = theirs.processIdentifier();
  std::thread([&] {
    ChildReaper::current().killUnlessDoneWithin(std::move(ours), std::chrono::hours(1));
    ChildReaper::current().reapWhenDone(std::move(theirs));
  }).join();
  errno = 0;
  EXPECT_EQ(::waitpid(ourPid, nullptr, WNOHANG), -1) << "ours was left running or unreaped";
  EXPECT_EQ(errno, ECHILD);
  EXPECT_EQ(::waitpid(theirPid, nullptr, WNOHANG), 0) << "one that may outlive us was ended";
  ::kill(theirPid, SIGKILL);
  ::waitpid(theirPid, nullptr, 0);
}

}  // namespace
}  // namespace cw

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <set>
#include <sstream>
#include <string>

#include "Platform/RunLoop.h"
#include "Platform/Task.h"
#include "loop/LoopTestSupport.h"
#include "support/TestSupport.h"

namespace cw {
namespace {

using test::ScopedSource;
using test::TestPipe;

struct Outcome {
  bool launched = false;
  std::string output;
  int status = -1;
  bool timedOut = false;
};

// Runs `commandLine` the way the helper scripts are run: bash as a login
// shell, standard output on a pipe, read to the end, then waited for.
Outcome runShell(const std::string& commandLine, std::chrono::milliseconds limit = Task::kDefaultTimeLimit) {
  Task task;
  std::optional<Pipe> pipe = Pipe::make();
  EXPECT_TRUE(pipe);
  task.setLaunchPath("/bin/bash");
  task.setArguments({"-l", "-c", commandLine});
  task.setStandardOutput(*pipe);
  task.setTimeLimit(limit);
  Outcome outcome;
  outcome.launched = task.launch();
  outcome.output = task.readDataToEndOfFile();
  task.waitUntilExit();
  outcome.status = task.terminationStatus();
  outcome.timedOut = task.timedOut();
  EXPECT_FALSE(task.isRunning());
  return outcome;
}

// No login profile of the real user may take part.
class TaskTest : public ::testing::Test {
protected:
  test::TempHome home_;
};

TEST_F(TaskTest, OutputIsGivenByteForByte) {
  Outcome line = runShell("printf 'hello world\\n'");
  EXPECT_TRUE(line.launched);
  EXPECT_EQ(line.output, "hello world\n");
  EXPECT_EQ(line.status, 0);

  EXPECT_EQ(runShell("true").output, "");
  EXPECT_EQ(runShell("printf 'a\\0b\\r\\n\\n'").output, std::string("a\0b\r\n\n", 6));
}

TEST_F(TaskTest, StatusAsTheShellGivesIt) {
  for (int code : {0, 1, 2, 255}) EXPECT_EQ(runShell("exit " + std::to_string(code)).status, code) << code;
  EXPECT_EQ(runShell("kill -TERM $$").status, 128 + SIGTERM);
  EXPECT_EQ(runShell("kill -KILL $$").status, 128 + SIGKILL);
  EXPECT_EQ(runShell("/no/such/script arg").status, 127);
}

TEST_F(TaskTest, ProgramThatCannotStartGives127) {
  Task task;
  std::optional<Pipe> pipe = Pipe::make();
  ASSERT_TRUE(pipe);
  task.setLaunchPath("/no/such/program");
  task.setStandardOutput(*pipe);
  EXPECT_FALSE(task.launch());
  EXPECT_EQ(task.readDataToEndOfFile(), "");
  task.waitUntilExit();
  EXPECT_EQ(task.terminationStatus(), 127);
  EXPECT_FALSE(task.isRunning());
}

TEST_F(TaskTest, LargeOutputIsReadWholeOrDiscarded) {
  const std::string writeMuch = "head -c 700000 /dev/zero | tr '\\0' x; exit 3";
  Outcome kept = runShell(writeMuch);
  EXPECT_EQ(kept.output, std::string(700000, 'x'));
  EXPECT_EQ(kept.status, 3);

  Task task;
  std::optional<Pipe> pipe = Pipe::make();
  ASSERT_TRUE(pipe);
  task.setLaunchPath("/bin/bash");
  task.setArguments({"-l", "-c", writeMuch});
  task.setStandardOutput(*pipe);
  ASSERT_TRUE(task.launch());
  task.discardDataToEndOfFile();
  task.waitUntilExit();
  EXPECT_EQ(task.terminationStatus(), 3);
}

TEST_F(TaskTest, OutputBeyondTheLimitIsDropped) {
  Task task;
  std::optional<Pipe> pipe = Pipe::make();
  ASSERT_TRUE(pipe);
  task.setLaunchPath("/bin/bash");
  task.setArguments({"-l", "-c", "head -c 300000 /dev/zero | tr '\\0' y"});
  task.setStandardOutput(*pipe);
  task.setOutputLimit(1000);
  ASSERT_TRUE(task.launch());
  EXPECT_EQ(task.readDataToEndOfFile(), std::string(1000, 'y'));
  EXPECT_TRUE(task.outputTruncated());
  task.waitUntilExit();
  EXPECT_EQ(task.terminationStatus(), 0) << "the writer was read to its end, not stalled";
}

TEST_F(TaskTest, ChildInheritsOnlyTheStandardDescriptors) {
  test::TempDir dir;
  test::writeFile(dir / "marker", "");
  // One descriptor opened carelessly, without close-on-exec.
  const int careless = ::open((dir / "marker").c_str(), O_RDONLY);
  ASSERT_GE(careless, 0);
  UniqueFd guard(careless);

  const Outcome listing = runShell("ls -l /proc/self/fd/");
  std::set<int> open;
  std::istringstream lines(listing.output);
  for (std::string line; std::getline(lines, line);) {
    const auto arrow = line.find(" -> ");
    if (arrow == std::string::npos) continue;
    const std::string target = line.substr(arrow + 4);
    if (target.find("/fd") != std::string::npos && target.rfind("/proc/", 0) == 0) continue;  // ls's own listing
    const auto numberStart = line.rfind(' ', arrow - 1) + 1;
    open.insert(std::stoi(line.substr(numberStart, arrow - numberStart)));
    EXPECT_EQ(target.find("marker"), std::string::npos) << line;
  }
  // 0 and 2 are whatever the test runner was given; 1 is our pipe.
  EXPECT_TRUE(open.count(1)) << listing.output;
  for (int fd : open) EXPECT_LE(fd, 2) << listing.output;
}

std::string statusLine(const std::string& status, const std::string& key) {
  std::istringstream lines(status);
  for (std::string line; std::getline(lines, line);)
    if (line.rfind(key + ":", 0) == 0) return line.substr(line.find_first_not_of(" \t", key.size() + 1));
  return "(missing)";
}

TEST_F(TaskTest, ChildStartsWithDefaultDispositionsEmptyMaskOwnGroup) {
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

  Task task;
  std::optional<Pipe> pipe = Pipe::make();
  ASSERT_TRUE(pipe);
  task.setLaunchPath("/bin/bash");
  // `read` is a builtin: /proc/self is the shell itself.
  task.setArguments(
      {"-l", "-c", "cat /proc/self/status; read -r p c s pp g rest < /proc/self/stat; echo \"Group: $g\""});
  task.setStandardOutput(*pipe);
  const bool launched = task.launch();
  const std::string status = task.readDataToEndOfFile();
  task.waitUntilExit();

  ::pthread_sigmask(SIG_SETMASK, &oldMask, nullptr);
  ::sigaction(SIGHUP, &oldHup, nullptr);
  ::sigaction(SIGUSR2, &oldUsr2, nullptr);

  ASSERT_TRUE(launched);
  // glibc keeps its own two real-time signals (32, 33, below SIGRTMIN) ignored
  // in a spawned child whatever we ask; programs never see them.
  std::uint64_t ignored = std::stoull(statusLine(status, "SigIgn"), nullptr, 16);
  for (int sig = 32; sig < SIGRTMIN; ++sig) ignored &= ~(std::uint64_t{1} << (sig - 1));
  EXPECT_EQ(ignored, 0u) << status;
  EXPECT_EQ(statusLine(status, "SigBlk"), "0000000000000000") << status;
  EXPECT_EQ(statusLine(status, "Group"), std::to_string(task.processIdentifier()));
}

TEST_F(TaskTest, TimeLimitKillsAHangingScript) {
  const Outcome hung = runShell("printf partial; exec sleep 600", std::chrono::milliseconds(300));
  EXPECT_TRUE(hung.timedOut);
  EXPECT_EQ(hung.output, "partial");
  EXPECT_EQ(hung.status, 128 + SIGKILL);
}

TEST_F(TaskTest, TimeLimitEndsTheReadWhenABackgroundChildHoldsOutput) {
  // The shell ends at once; its child keeps the pipe open.
  const Outcome held = runShell("sleep 600 & echo started", std::chrono::milliseconds(300));
  EXPECT_TRUE(held.timedOut);
  EXPECT_EQ(held.output, "started\n");
  EXPECT_EQ(held.status, 0);
}

TEST_F(TaskTest, DefaultModeIsServedWhileWaiting) {
  RunLoop& loop = RunLoop::current();
  TestPipe defaultPipe, modalPipe;
  int defaultServed = 0, modalServed = 0;
  ScopedSource defaultSource(loop, loop.addFdSource(defaultPipe.read.get(),
                                                    [&](short) {
                                                      ++defaultServed;
                                                      defaultPipe.drain();
                                                    },
                                                    {kDefaultRunLoopMode}));
  ScopedSource modalSource(loop, loop.addFdSource(modalPipe.read.get(),
                                                  [&](short) {
                                                    ++modalServed;
                                                    modalPipe.drain();
                                                  },
                                                  {kModalPanelRunLoopMode}));
  defaultPipe.poke();
  modalPipe.poke();

  Task task;
  task.setLaunchPath("/bin/bash");
  task.setArguments({"-l", "-c", "sleep 0.2"});
  ASSERT_TRUE(task.launch());
  task.waitUntilExit();
  EXPECT_EQ(task.terminationStatus(), 0);
  EXPECT_EQ(defaultServed, 1);
  EXPECT_EQ(modalServed, 0);
}

TEST_F(TaskTest, DestructorKillsAndReapsARunningChild) {
  pid_t pid = -1;
  {
    Task task;
    task.setLaunchPath("/bin/bash");
    task.setArguments({"-l", "-c", "exec sleep 600"});
    ASSERT_TRUE(task.launch());
    pid = task.processIdentifier();
    EXPECT_TRUE(task.isRunning());
  }
  int status = 0;
  EXPECT_EQ(::waitpid(pid, &status, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD) << "the child was left behind";
}

}  // namespace
}  // namespace cw

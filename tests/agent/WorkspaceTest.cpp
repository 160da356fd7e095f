// The desktop workspace: what an opened URL's handler inherits, and that it
// is reaped without anyone waiting for it.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <string>

#include "Platform/ChildReaper.h"
#include "Platform/RunLoop.h"
#include "Platform/UniqueFd.h"
#include "Platform/Workspace.h"
#include "support/TestSupport.h"

namespace cw {
namespace {

using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;

// The status line `key` of /proc/<pid>/status text, as a number.
unsigned long long statusMask(const std::string& status, const std::string& key) {
  const auto at = status.find(key + ":\t");
  return at == std::string::npos ? ~0ull : std::stoull(status.substr(at + key.size() + 2), nullptr, 16);
}

TEST(WorkspaceTest, OpenedHandlerInheritsNothingOfOursAndIsReaped) {
  // "xdg-open" is cat here: given a /proc/self path it shows its own state.
  test::TempDir dir;
  test::makeDirectories(dir / "bin");
  ASSERT_EQ(::symlink("/bin/cat", (dir / "bin/xdg-open").c_str()), 0);
  const std::string path = dir / "bin:" + std::getenv("PATH");
  test::ScopedEnv pathEnv("PATH", path.c_str());

  test::writeFile(dir / "secret", "LEAKED");
  UniqueFd leaked(::open((dir / "secret").c_str(), O_RDONLY));  // no close-on-exec on purpose
  ASSERT_TRUE(leaked);
  sigset_t usr2, previousMask;
  sigemptyset(&usr2);
  sigaddset(&usr2, SIGUSR2);
  ASSERT_EQ(::sigprocmask(SIG_BLOCK, &usr2, &previousMask), 0);
  struct sigaction ignore {
  }, previousHup{};
  ignore.sa_handler = SIG_IGN;
  ASSERT_EQ(::sigaction(SIGHUP, &ignore, &previousHup), 0);

  test::CaptureStderr quiet;
  UniqueFd savedStdout(::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3));
  {
    UniqueFd out(::open((dir / "out").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600));
    ::dup2(out.get(), STDOUT_FILENO);
  }
  const bool openedStatus = Workspace::sharedWorkspace().openURL("/proc/self/status");
  const bool openedFd = Workspace::sharedWorkspace().openURL("/proc/self/fd/" + std::to_string(leaked.get()));
  ::dup2(savedStdout.get(), STDOUT_FILENO);
  ::sigaction(SIGHUP, &previousHup, nullptr);
  ::sigprocmask(SIG_SETMASK, &previousMask, nullptr);
  ASSERT_TRUE(openedStatus && openedFd);

  // Nobody waits: the run loop reaps both as they end.
  const auto giveUp = std::chrono::steady_clock::now() + std::chrono::minutes(2);  // hang guard only
  while (ChildReaper::current().pendingCount() > 0) {
    ASSERT_LT(std::chrono::steady_clock::now(), giveUp) << "children not reaped within the hang guard";
    RunLoop::current().runOnce(kDefaultRunLoopMode, std::chrono::milliseconds(100));
  }
  errno = 0;
  EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1) << "a child is left over";
  EXPECT_EQ(errno, ECHILD);

  const std::string out = test::readFile(dir / "out");
  EXPECT_THAT(out, Not(HasSubstr("LEAKED")));
  EXPECT_EQ(statusMask(out, "SigBlk"), 0u);
  // glibc's posix_spawn leaves its two internal signals (32 and 33) ignored;
  // a program's start-up takes them back. Every other signal is default.
  EXPECT_EQ(statusMask(out, "SigIgn") & ~0x180000000ull, 0u);
  // Its own process group, so an interrupt meant for the agent stays there.
  const auto group = out.find("NSpgid:\t");
  ASSERT_NE(group, std::string::npos);
  EXPECT_NE(std::stol(out.substr(group + 8)), static_cast<long>(::getpgrp()));
}

TEST(WorkspaceTest, UnstartableOpenerAndOptionLikeUrlsReportFailure) {
  test::TempDir empty;
  test::ScopedEnv pathEnv("PATH", empty.path().c_str());
  EXPECT_FALSE(Workspace::sharedWorkspace().openURL("mailto:x@example.org"));
  EXPECT_FALSE(Workspace::sharedWorkspace().openURL("--help"));
  EXPECT_EQ(ChildReaper::current().pendingCount(), 0u);
}

TEST(WorkspaceTest, LinuxDesktopsKnowNoApplicationByBundleIdentifier) {
  EXPECT_THAT(RunningApplication::runningApplicationsWithBundleIdentifier("com.apple.mail"), IsEmpty());
}

}  // namespace
}  // namespace cw

// The desktop workspace: what it refuses and what it cannot know. How the
// opener starts and is reaped is ChildProcessTest's.
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
#include "loop/LoopTestSupport.h"
#include "support/TestSupport.h"
#include "support/XdgDesktop.h"

namespace cw {
namespace {

using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;

TEST(WorkspaceTest, AnOpenerThatCannotStartOrFailsIsToldAtOnceOrWhenItEnds) {
  test::TempHome home;
  const std::string url = "mailto:x@example.org?SUBJECT=a";
  {
    // No handler and no browser: xdg-open ends within the wait with status 3.
    test::GenericXdgDesktop desktop;
    const URLOpening none = Workspace::sharedWorkspace().openURL(url);
    EXPECT_FALSE(none.succeeded());
    EXPECT_EQ(none.exitStatus, 3);
    EXPECT_EQ(none.failureReason(), "xdg-open exited with status 3: no program is set up to open mailto: links");
  }
  {
    // Still running when the wait ends: its failure is told once it is reaped.
    test::TempDir dir;
    const std::string go = dir / "go";
    test::writeFile(dir / "browser", "#!/bin/sh\nwhile [ ! -e '" + go + "' ]; do sleep 0.01; done\nexit 1\n", 0755);
    test::GenericXdgDesktop desktop(dir / "browser");
    std::optional<int> later;
    const URLOpening running =
        Workspace::sharedWorkspace().openURL(url, std::chrono::milliseconds(0), [&](int status) { later = status; });
    EXPECT_TRUE(running.succeeded());
    EXPECT_EQ(running.exitStatus, std::nullopt);
    EXPECT_EQ(later, std::nullopt);
    test::writeFile(go, "");
    ASSERT_TRUE(test::serveUntil(RunLoop::current(), kDefaultRunLoopMode, [&] { return later.has_value(); }));
    EXPECT_EQ(later, 3);
  }
  {
    test::TempDir empty;
    test::ScopedEnv pathEnv("PATH", empty.path().c_str());
    const URLOpening unstartable = Workspace::sharedWorkspace().openURL(url);
    EXPECT_EQ(unstartable.startError, ENOENT);
    EXPECT_EQ(unstartable.failureReason(), "xdg-open could not be started: No such file or directory");
    EXPECT_EQ(Workspace::sharedWorkspace().openURL("--help").startError, EINVAL);
  }
  EXPECT_EQ(ChildReaper::current().pendingCount(), 0u);
}

TEST(WorkspaceTest, LinuxDesktopsKnowNoApplicationByBundleIdentifier) {
  EXPECT_THAT(RunningApplication::runningApplicationsWithBundleIdentifier("com.apple.mail"), IsEmpty());
}

}  // namespace
}  // namespace cw

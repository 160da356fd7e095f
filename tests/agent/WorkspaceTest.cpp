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
#include "support/TestSupport.h"

namespace cw {
namespace {

using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;

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

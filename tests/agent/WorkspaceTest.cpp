// The desktop workspace: what it refuses and what it cannot know. How the
// opener starts and is reaped is ChildProcessTest's.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
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
using ::testing::Not;

TEST(WorkspaceTest, AnOpenerThatCannotStartOrFailsIsToldAtOnceOrWhenItEnds) {
  test::TempHome home;
  const std::string url = "mailto:x@example.org?SUBJECT=a";
  {
    // No handler and no browser: xdg-open ends within the wait with status 3.
    test::GenericXdgDesktop desktop;
    test::CaptureStderr log;
    const URLOpening none = Workspace::sharedWorkspace().openURL(url);
    // What xdg-open said, in one line, without the mail.
    const std::string said = log.text();
    EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;
    EXPECT_THAT(log.text(), HasSubstr("xdg-open: no method available for opening '<the URL>'"));
    EXPECT_THAT(log.text(), Not(HasSubstr(url)));
    EXPECT_FALSE(none.succeeded());
    EXPECT_EQ(none.exitStatus, 3);
    EXPECT_EQ(none.failureReason(), "xdg-open exited with status 3: no program is set up to open mailto: links");
  }
  {
    // Still running when the wait ends: its failure is told once it is reaped.
    test::TempDir dir;
    const std::string go = dir / "go";
    test::writeFile(dir / "browser",
                    "#!/bin/sh\nwhile [ ! -e '" + go + "' ]; do sleep 0.01; done\necho \"browser: $1\" >&2\nexit 1\n",
                    0755);
    test::GenericXdgDesktop desktop(dir / "browser");
    std::optional<int> later;
    const URLOpening running =
        Workspace::sharedWorkspace().openURL(url, std::chrono::milliseconds(0), [&](int status) { later = status; });
    EXPECT_TRUE(running.succeeded());
    EXPECT_EQ(running.exitStatus, std::nullopt);
    EXPECT_EQ(later, std::nullopt);
    test::CaptureStderr log;
    test::writeFile(go, "");
    ASSERT_TRUE(test::serveUntil(RunLoop::current(), kDefaultRunLoopMode, [&] { return later.has_value(); }));
    EXPECT_EQ(later, 3);
    EXPECT_THAT(log.text(), HasSubstr(" lines): browser: <the URL> \xE2\x80\xA6 xdg-open: no method"));
  }
  {
    test::TempDir empty;
    test::ScopedEnv pathEnv("PATH", empty.path().c_str());
    const URLOpening unstartable = Workspace::sharedWorkspace().openURL(url);
    EXPECT_EQ(unstartable.startError, SystemError(ENOENT));
    EXPECT_EQ(unstartable.failureReason(), "xdg-open could not be started: No such file or directory");
    EXPECT_EQ(Workspace::sharedWorkspace().openURL("--help").startError, SystemError(EINVAL));
  }
  EXPECT_EQ(ChildReaper::current().pendingCount(), 0u);
}

TEST(WorkspaceTest, OpenerErrorsAreSummarisedInOnePrintableLine) {
  const std::string url = "mailto:x@example.org?BODY=Hi";
  const std::string longLine(250, 'x');
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"", ""},
      {"\n \n", ""},
      {"only " + url + "\r\n", "xdg-open said: only <the URL>"},
      {"a: not found\nb: not found\n\nno method for '" + url + "' or " + url,
       "xdg-open said (3 lines): a: not found \xE2\x80\xA6 no method for '<the URL>' or <the URL>"},
      {"\x1b[31mred\xFF", "xdg-open said: \\x1b[31mred\\xff"},
      {longLine + "\n\xC3\xA4" + longLine, "xdg-open said (2 lines): " + longLine.substr(0, 200) +
                                               "\xE2\x80\xA6 \xE2\x80\xA6 \xC3\xA4" + longLine.substr(0, 199) +
                                               "\xE2\x80\xA6"},
  };
  for (const auto& [output, summary] : cases) EXPECT_EQ(Workspace::openerErrorSummary(output, url), summary) << output;
  EXPECT_EQ(Workspace::openerErrorSummary("a URL b", "URL"), "xdg-open said: a <the URL> b");
}

}  // namespace
}  // namespace cw

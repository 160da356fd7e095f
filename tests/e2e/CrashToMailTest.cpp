// The whole road, on the built agent: a related Finder crash log appears, the
// real dialog opens on our own X server, Send is pressed, the local paste
// server receives the redacted crash log and the mail handler exactly the
// mailto: URL.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>

#include "e2e/AgentOnDisplay.h"

namespace cw::test {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;
using namespace std::chrono_literals;

class CrashToMailTest : public AgentOnDisplay {
protected:
  std::string received() const { return road_.received(); }
  std::string placeCrashLog() const { return road_.placeCrashLog(); }
  std::string relatedCrashAsked(const AgentProcess& agent) const {
    return AgentOnDisplay::relatedCrashAsked(agent, road_);
  }

  MailRoad road_{sandbox_};
};

// The same crash log failing in another function: another fault, asked about
// on its own (the same fault would be counted into the open one's report).
std::string anotherFault(std::string text) {
  for (std::size_t at = text.find("badgeForURL:"); at != std::string::npos; at = text.find("badgeForURL:", at))
    text.replace(at, 12, "iconForURL:");
  return text;
}

TEST_F(CrashToMailTest, ConsentSendsTheRedactedLogAndOpensTheExactMail) {
  AgentProcess agent(sandbox_);
  ASSERT_TRUE(agent.waitUntilWatching()) << agent.log();
  const std::string crash = placeCrashLog();
  // The change in the watched folder is what starts the scan.
  writeFile(sandbox_.watchedFolder() + "/Finder_2026-12-08-101500_host.crash.ips", "{}");

  ASSERT_TRUE(
      agent.waitForLog("'" + crash + "' crash report was related to Vellumdrift -> open Crash Reporting Dialog"))
      << agent.log();
  ASSERT_FALSE(findWindow("Vellumdrift").empty()) << agent.log();
  saveScreenshot("e2e-dialog.png");
  ASSERT_NO_FATAL_FAILURE(press("Vellumdrift", "Return", agent));

  ASSERT_TRUE(waitFor([&] { return pathExists(received()); })) << agent.log();
  const std::string url = readFile(received());

  const std::vector<std::string> uploads = road_.paste().bodies();
  ASSERT_EQ(uploads.size(), 1u);
  EXPECT_THAT(uploads[0], HasSubstr("EXC_BAD_ACCESS (SIGSEGV)"));
  EXPECT_THAT(uploads[0], HasSubstr("~/Documents/private.txt"));
  EXPECT_THAT(uploads[0], Not(HasSubstr(sandbox_.home())));

  const std::string address = road_.paste().uploadAddress();
  EXPECT_EQ(url, road_.expectedMail());
  EXPECT_THAT(agent.log(), HasSubstr("  => " + address));

  // The agent goes on watching, and ends as usual.
  EXPECT_TRUE(agent.running());
  endAgent(agent);
}

TEST_F(CrashToMailTest, WithNoMailProgramTheLogSaysWhyAndTheMessageGivesTheAddress) {
  road_.removeMailHandler();
  AgentProcess agent(sandbox_);
  ASSERT_TRUE(agent.waitUntilWatching()) << agent.log();
  relatedCrashAsked(agent);
  ASSERT_NO_FATAL_FAILURE(press("Vellumdrift", "Return", agent));

  EXPECT_TRUE(
      agent.waitForLog("Could not open the report in a mail program (xdg-open exited with status 3: no "
                       "program is set up to open mailto: links); the crash report was uploaded to: " +
                       road_.paste().uploadAddress() + "\n"))
      << agent.log();
  ASSERT_FALSE(findWindow("Mail Program Not Opened").empty()) << agent.log();
  saveScreenshot("e2e-mail-failure.png");
  ASSERT_NO_FATAL_FAILURE(press("Mail Program Not Opened", "Return", agent));
  EXPECT_TRUE(windowGone("Mail Program Not Opened")) << "the message stayed";
  EXPECT_EQ(road_.paste().bodies().size(), 1u);
  EXPECT_FALSE(pathExists(received()));
  EXPECT_TRUE(agent.running());
  endAgent(agent);
}

// The failure message holds the scan for its time at most: left open, it
// closes by itself after the dialog's countdown, and a crash written
// meanwhile is asked about right after.
TEST_F(CrashToMailTest, CrashWrittenWhileTheFailureMessageIsOpenIsAskedAboutWhenItCloses) {
  const std::string plist = sandbox_.prefix() + "/share/crashwatcher/Info.plist";
  std::string info = readFile(plist);
  const std::size_t countdown = info.find("<real>120</real>");
  ASSERT_NE(countdown, std::string::npos) << info;
  writeFile(plist, info.replace(countdown, 16, "<real>6</real>"));
  road_.removeMailHandler();
  AgentProcess agent(sandbox_);
  ASSERT_TRUE(agent.waitUntilWatching()) << agent.log();
  const std::string crash = relatedCrashAsked(agent);
  ASSERT_NO_FATAL_FAILURE(press("Vellumdrift", "Return", agent));
  ASSERT_FALSE(findWindow("Mail Program Not Opened").empty()) << agent.log();

  const std::string later = sandbox_.localCrashReporter() + "/Finder_2026-12-08-101600_host.crash";
  writeFile(later, anotherFault(readFile(crash)));
  writeFile(sandbox_.watchedFolder() + "/change", "");
  EXPECT_TRUE(waitFor([&] {
    return agent.log().find("'" + later + "' crash report was related") != std::string::npos;
  })) << agent.log();
  EXPECT_TRUE(runTool({"xdotool", "search", "--onlyvisible", "--name", "^Mail Program Not Opened$"}).status != 0)
      << "the message stayed";
  endAgent(agent);
}

TEST_F(CrashToMailTest, CancelSendsNothingAndTheAgentGoesOn) {
  AgentProcess agent(sandbox_);
  ASSERT_TRUE(agent.waitUntilWatching()) << agent.log();
  relatedCrashAsked(agent);
  ASSERT_NO_FATAL_FAILURE(press("Vellumdrift", "Escape", agent));
  // The dialog has gone: the helper ended with it.
  ASSERT_TRUE(windowGone("Vellumdrift"));
  // The scan has ended once a later one has asked about another crash log
  // (a user-signal-1 sent while it runs is dropped, so it is sent again).
  const std::string later = sandbox_.localCrashReporter() + "/Finder_later_host.crash";
  writeFile(later, readFile(std::string(CW_SOURCE_DIR) + "/tests/scripts/fixtures/finder-unrelated.crash"));
  ASSERT_TRUE(agent.scanUntilLogged("'" + later + "' crash report was not related", 60s)) << agent.log();
  EXPECT_TRUE(road_.paste().bodies().empty());
  EXPECT_FALSE(pathExists(received()));
  EXPECT_THAT(agent.log(), Not(HasSubstr("Uploading crash report")));
  endAgent(agent);
}

// A second crash while the dialog is open, the first answered Send: the
// second is offered next (its folder change comes while the upload runs and
// is turned away; the scan looks once more), and the first is never offered
// again. That the look-back reaches a crash written during a dialog longer
// than the window is the scan's own test, on its clock.
TEST_F(CrashToMailTest, CrashWhileTheDialogIsOpenIsOfferedNext) {
  AgentProcess agent(sandbox_);
  ASSERT_TRUE(agent.waitUntilWatching()) << agent.log();
  const std::string first = relatedCrashAsked(agent);
  ASSERT_FALSE(findWindow("Vellumdrift").empty()) << agent.log();

  const std::string second = sandbox_.userCrashReporter() + "/Finder_2026-12-08-101503_host.crash";
  writeFile(second, anotherFault(readFile(first)));
  writeFile(sandbox_.watchedFolder() + "/Finder_2026-12-08-101503_host.crash.ips", "{}");
  ASSERT_NO_FATAL_FAILURE(press("Vellumdrift", "Return", agent));

  ASSERT_TRUE(agent.waitForLog("'" + second + "' crash report was related", 60s)) << agent.log();
  EXPECT_TRUE(waitFor([&] { return pathExists(received()); })) << "the first report's mail" << agent.log();
  ASSERT_NO_FATAL_FAILURE(press("Vellumdrift", "Escape", agent));
  // A third scan's own line: the first two are not asked about again.
  const std::string third = sandbox_.userCrashReporter() + "/Finder_third.crash";
  writeFile(third, "Process: Finder\n");
  ASSERT_TRUE(agent.scanUntilLogged("'" + third + "' crash report was not related", 60s)) << agent.log();
  EXPECT_EQ(countOccurrences(agent.log(), "'" + first + "' crash report was"), 1) << agent.log();
  EXPECT_EQ(countOccurrences(agent.log(), "'" + second + "' crash report was"), 1) << agent.log();
  EXPECT_EQ(road_.paste().bodies().size(), 1u);
  endAgent(agent);
}

TEST_F(CrashToMailTest, InterruptOrTerminateWhileTheDialogIsOpenRefusesAndShutsDownPromptly) {
  for (const auto& [signal, line] :
       {std::pair{SIGINT, "caught SIGINT - exiting..."}, std::pair{SIGTERM, "caught SIGTERM - exiting..."}}) {
    SCOPED_TRACE(line);
    AgentProcess agent(sandbox_);
    ASSERT_TRUE(agent.waitUntilWatching()) << agent.log();
    relatedCrashAsked(agent);
    ASSERT_FALSE(findWindow("Vellumdrift").empty());
    agent.signal(signal);
    // Far below the countdown-less dialog's wait for a button.
    EXPECT_EQ(agent.waitForExit(10s), 0);
    EXPECT_EQ(countOccurrences(agent.log(), line), 1) << agent.log();
    EXPECT_TRUE(road_.paste().bodies().empty());
    EXPECT_FALSE(pathExists(sandbox_.lockFile()));
    EXPECT_TRUE(windowGone("Vellumdrift")) << "the dialog stayed";
  }
}

}  // namespace
}  // namespace cw::test

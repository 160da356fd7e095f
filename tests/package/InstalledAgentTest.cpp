// The agent as the Debian package installed it (CW_INSTALLED_PREFIX, run by
// package-test.sh): a related Finder crash log appears, the installed dialog
// helper opens the dialog on our own X server, Return sends, and the mail
// handler receives exactly the mail.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <cstdlib>
#include <thread>

#include "dialog/DialogTestSupport.h"
#include "e2e/CrashToMailSupport.h"
#include "process/AgentProcess.h"

namespace cw::test {
namespace {

using namespace std::chrono_literals;

std::string installedPrefix() {
  const char* prefix = std::getenv("CW_INSTALLED_PREFIX");
  return prefix ? prefix : "";
}

class InstalledAgentTest : public DialogTest {
protected:
  void SetUp() override {
    ASSERT_FALSE(installedPrefix().empty()) << "CW_INSTALLED_PREFIX names no installed tree";
    DialogTest::SetUp();
    sandbox_.addEnvironment("DISPLAY=" + display());
  }

  AgentSandbox sandbox_{installedPrefix()};
  MailRoad road_{sandbox_};
};

TEST_F(InstalledAgentTest, TakesACrashToTheMail) {
  AgentProcess agent(sandbox_);
  ASSERT_TRUE(agent.waitUntilWatching()) << agent.log();
  const std::string crash = road_.placeCrashLog();
  agent.signal(SIGUSR1);
  ASSERT_TRUE(agent.waitForLog("'" + crash + "' crash report was related to Vellumdrift")) << agent.log();
  const std::string window = findWindow("Vellumdrift");
  ASSERT_FALSE(window.empty()) << agent.log();
  runTool({"xdotool", "windowfocus", "--sync", window});
  ASSERT_EQ(runTool({"xdotool", "key", "Return"}).status, 0);

  ASSERT_TRUE(waitUntil([&] { return pathExists(road_.received()); }, 60s, 50ms)) << agent.log();
  EXPECT_EQ(readFile(road_.received()), road_.expectedMail());
  ASSERT_EQ(road_.paste().bodies().size(), 1u);
  EXPECT_THAT(road_.paste().bodies()[0], ::testing::Not(::testing::HasSubstr(sandbox_.home())));

  agent.signal(SIGINT);
  EXPECT_EQ(agent.waitForExit(), 0);
  EXPECT_FALSE(pathExists(sandbox_.lockFile()));
}

}  // namespace
}  // namespace cw::test

// The built agent in a Wayland session without an X display: the whole road
// from a crash to the recorded mail through weston's seat, and, on a
// compositor without a seat, a dialog that shows and a log without warnings.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <thread>

#include "e2e/CrashToMailSupport.h"
#include "process/AgentProcess.h"
#include "wayland/WaylandTestSupport.h"

namespace cw::test {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;
using namespace std::chrono_literals;

class WaylandCrashToMailTest : public WaylandTest {
protected:
  void startAgentOn(const WestonCompositor& compositor) {
    sandbox_.useBuiltResources();
    sandbox_.installDialogHelper();
    sandbox_.addEnvironment("WAYLAND_DISPLAY=" + compositor.socket());
    agent_.emplace(sandbox_);
    ASSERT_TRUE(agent_->waitUntilWatching()) << agent_->log();
    const std::string crash = road_.placeCrashLog();
    agent_->signal(SIGUSR1);
    ASSERT_TRUE(agent_->waitForLog("'" + crash + "' crash report was related to Vellumdrift")) << agent_->log();
  }

  void expectACleanLog() const {
    const std::string log = agent_->log();
    for (const char* warning : {"CRITICAL", "WARNING", "Gdk-", "Gtk-", "GLib-"})
      EXPECT_THAT(log, Not(HasSubstr(warning))) << log;
  }

  AgentSandbox sandbox_;
  MailRoad road_{sandbox_};
  std::optional<AgentProcess> agent_;
};

TEST_F(WaylandCrashToMailTest, ReturnInTheDialogOpensTheExactMail) {
  ASSERT_NO_FATAL_FAILURE(startAgentOn(seated()));
  ASSERT_TRUE(waitForAnyWindow(seated())) << agent_->log();
  ASSERT_TRUE(typeKeys({"Return"}));
  ASSERT_TRUE(waitUntil([&] { return pathExists(road_.received()); }, 60s, 50ms)) << agent_->log();
  EXPECT_EQ(readFile(road_.received()), road_.expectedMail());
  EXPECT_EQ(road_.paste().bodies().size(), 1u);
  agent_->signal(SIGINT);
  EXPECT_EQ(agent_->waitForExit(), 0);
  expectACleanLog();
}

TEST_F(WaylandCrashToMailTest, WithoutASeatTheDialogShowsAndTheLogStaysClean) {
  ASSERT_NO_FATAL_FAILURE(startAgentOn(headless()));
  const auto window = waitForAnyWindow(headless());
  ASSERT_TRUE(window) << agent_->log();
  EXPECT_GT(window->width, 300);
  EXPECT_GT(window->height, 150);
  // Nobody can answer it here; an interrupt ends it as a refusal.
  agent_->signal(SIGINT);
  EXPECT_EQ(agent_->waitForExit(), 0);
  EXPECT_THAT(agent_->log(), HasSubstr("caught SIGINT - exiting..."));
  EXPECT_TRUE(road_.paste().bodies().empty());
  expectACleanLog();
}

}  // namespace
}  // namespace cw::test

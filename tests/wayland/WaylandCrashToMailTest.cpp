// The built agent in a Wayland session without an X display: the whole road
// from a crash to the recorded mail through weston's seat, and, on a
// compositor without a seat, a dialog that shows and a log without warnings.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <filesystem>
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

TEST_F(WaylandCrashToMailTest, DetailsThenSendUploadsTheShownBytesAndASlowUploadStopsWithNoMail) {
  // First the details, then Send; then, the paste service slow, Send and Stop.
  ASSERT_NO_FATAL_FAILURE(startAgentOn(seated()));
  ASSERT_TRUE(waitForAnyWindow(seated())) << agent_->log();
  ASSERT_TRUE(typeKeys({"space"}));  // Details, the first in Tab order
  // The window grows to hold the area, within this 800 by 600 output; the
  // text is made meanwhile.
  ASSERT_TRUE(waitUntil(
      [&] {
        const auto shot = seated().screenshot();
        const auto window = shot ? litArea(*shot) : std::nullopt;
        // Grown beyond the closed dialog's 330 points, and whole on the output.
        return window && window->width == 760 && window->height > 500 && window->y >= 0 &&
               window->y + window->height <= 600;
      },
      30s, 100ms))
      << agent_->log();
  const std::string shown =
      uploadGistShows(sandbox_, sandbox_.localCrashReporter() + "/Finder_2026-12-08-101500_host.crash");
  ASSERT_TRUE(typeKeys({"Return"}));
  ASSERT_TRUE(waitUntil([&] { return pathExists(road_.received()); }, 60s, 50ms)) << agent_->log();
  ASSERT_EQ(road_.paste().bodies().size(), 1u);
  EXPECT_EQ(road_.paste().bodies()[0], shown);

  std::filesystem::remove(road_.received());
  road_.paste().setAnswerDelay(120s);
  const std::string crash = sandbox_.localCrashReporter() + "/Finder_2026-12-08-111500_host.crash";
  // Another fault: the first one is answered, and quiet for a day.
  std::filesystem::copy_file(std::string(CW_SOURCE_DIR) + "/tests/scripts/fixtures/finder-related-exception.crash",
                             crash);
  // The first report's scan may still be ending.
  ASSERT_TRUE(agent_->scanUntilLogged("'" + crash + "' crash report was related", 60s)) << agent_->log();
  ASSERT_TRUE(waitForAnyWindow(seated())) << agent_->log();
  ASSERT_TRUE(typeKeys({"Return"}));
  ASSERT_TRUE(agent_->waitForLog("Uploading crash report to ", 30s));
  // The progress window replaces the dialog; Escape is its Stop.
  ASSERT_TRUE(waitUntil(
      [&] {
        const auto shot = seated().screenshot();
        const auto window = shot ? litArea(*shot) : std::nullopt;
        return window && window->height < 300;
      },
      30s, 100ms));
  ASSERT_TRUE(typeKeys({"Escape"}));
  ASSERT_TRUE(agent_->waitForLog("Sending the crash report was stopped by the user")) << agent_->log();
  EXPECT_FALSE(pathExists(road_.received()));
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

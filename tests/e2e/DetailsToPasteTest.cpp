// Informed consent on the built agent under Xvfb: the dialog's details show
// exactly what upload-gist --show prints, Send then uploads exactly those
// bytes to a real bepasty server; a slow upload shows progress, and Stop ends
// it with no mail.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>

#include "e2e/AgentOnDisplay.h"

namespace cw::test {
namespace {

using ::testing::HasSubstr;
using namespace std::chrono_literals;

constexpr int kConfirmTimeout = 4;

class DetailsToPasteTest : public AgentOnDisplay {
protected:
  void SetUp() override {
    AgentOnDisplay::SetUp();
    makeDirectories(tmp_);
    sandbox_.addEnvironment("TMPDIR=" + tmp_);
    // A short countdown, which opening the details must stop.
    writeFile(sandbox_.prefix() + "/share/crashwatcher/Info.plist",
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
              "<key>CFBundleIdentifier</key><string>com.vellumdrift.CrashWatcher</string>"
              "<key>CFBundleDevelopmentRegion</key><string>en</string><key>ConfirmTimeout</key><real>" +
                  std::to_string(kConfirmTimeout) + "</real></dict></plist>\n");
  }

  // The dialog of the crash placed on `road`, as the agent shows it.
  std::string dialogFor(const AgentProcess& agent, const MailRoad& road) {
    EXPECT_TRUE(agent.waitUntilWatching()) << agent.log();
    relatedCrashAsked(agent, road);
    return findWindow("Vellumdrift");
  }

  std::string tmp_ = sandbox_.home() + "/tmp";
};

TEST_F(DetailsToPasteTest, TheDetailsShowWhatIsSentAndSendUploadsExactlyThatToBepasty) {
  BepastyServer bepasty;
  ASSERT_FALSE(bepasty.url().empty()) << "bepasty-server did not start";
  MailRoad road(sandbox_, bepasty.url());
  AgentProcess agent(sandbox_);
  const std::string window = dialogFor(agent, road);
  ASSERT_FALSE(window.empty()) << agent.log();
  const auto shownAt = std::chrono::steady_clock::now();

  // Details (the first in Tab order) opens the area; its text, selected
  // whole and copied, ends with exactly what upload-gist --show prints.
  keys(window, {"space"});
  const std::string shown =
      uploadGistShows(sandbox_, sandbox_.localCrashReporter() + "/Finder_2026-12-08-101500_host.crash");
  ASSERT_THAT(shown, HasSubstr("EXC_BAD_ACCESS"));
  std::optional<std::string> area;
  ASSERT_TRUE(waitUntil(
      [&] {
        // The grown window: the area's middle, counted from the top.
        runTool({"xdotool", "mousemove", "--sync", "--window", window, "380", "451", "click", "1"});
        keys(window, {"ctrl+a", "ctrl+c"});
        area = readClipboard(display());
        return area && area->find(" bytes:\n\n") != std::string::npos;
      },
      60s, 200ms))
      << agent.log();
  EXPECT_THAT(*area, HasSubstr("Mail to: crashes@vellumdrift.example\nSubject: Vellumdrift ??? crash EXC_BAD_ACCESS"));
  EXPECT_THAT(*area, HasSubstr(", exactly these " + std::to_string(shown.size()) + " bytes:\n\n"));
  ASSERT_GE(area->size(), shown.size());
  EXPECT_EQ(area->substr(area->size() - shown.size()), shown);

  // Past the countdown's end the dialog still waits: Send is answered.
  std::this_thread::sleep_until(shownAt + std::chrono::seconds(kConfirmTimeout + 1));
  keys(window, {"Return"});
  ASSERT_TRUE(waitUntil([&] { return pathExists(road.received()); }, 60s, 50ms)) << agent.log();
  const std::string log = agent.log();
  const std::string prefix = "  => " + bepasty.url() + "/";
  const std::size_t at = log.find(prefix);
  ASSERT_NE(at, std::string::npos) << log;
  const std::string item = log.substr(at + prefix.size(), log.find('\n', at) - at - prefix.size());
  // The vendor fetches exactly the bytes the user saw; the kept copy is gone.
  EXPECT_EQ(bepasty.download(item), shown);
  EXPECT_TRUE(std::filesystem::is_empty(tmp_));
  endAgent(agent);
}

TEST_F(DetailsToPasteTest, ASlowUploadShowsProgressAndStopEndsItWithNoMail) {
  MailRoad road(sandbox_);
  road.paste().setAnswerDelay(120s);
  AgentProcess agent(sandbox_);
  const std::string window = dialogFor(agent, road);
  ASSERT_FALSE(window.empty()) << agent.log();
  keys(window, {"Return"});
  const std::string progress = findWindow("Sending Crash Report");
  ASSERT_FALSE(progress.empty()) << agent.log();
  saveScreenshot("e2e-progress.png");
  keys(progress, {"Escape"});
  ASSERT_TRUE(
      agent.waitForLog("Sending the crash report was stopped by the user: the upload was ended and no mail was opened"))
      << agent.log();
  EXPECT_FALSE(pathExists(road.received()));
  // The upload's whole group went with the stop.
  EXPECT_NE(runTool({"pgrep", "-f", sandbox_.resources() + "/upload-gist.rb"}).status, 0);
  EXPECT_TRUE(agent.running());
  endAgent(agent);
}

}  // namespace
}  // namespace cw::test

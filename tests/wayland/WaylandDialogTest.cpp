// The real GTK helper on a real Wayland compositor (weston), with no X
// display: what it draws is read back through weston's screenshooter, and
// its buttons are pressed through weston's own seat (its window on a private
// Xvfb, driven by xdotool), so every event reaches GTK over Wayland.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <thread>

#include "UI/DialogHelperClient.h"
#include "dialog/DialogTestSupport.h"
#include "wayland/WaylandTestSupport.h"

namespace cw::test {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;
using ui::BackendEvent;
using ui::DialogHelperClient;

DialogHelperClient::Options helperOptions() {
  DialogHelperClient::Options options;
  options.helperPath = CW_DIALOG_HELPER;
  options.replyTimeout = std::chrono::seconds(30);  // a hang guard on a loaded machine
  return options;
}

// A control's frame (the agent's, y up in the content view) on the output.
PixelRect onOutput(const PixelRect& window, const ui::Rect& frame) {
  const auto top = TestDialog::kHeight - (frame.origin.y + frame.size.height);
  return PixelRect{window.x + static_cast<int>(frame.origin.x), window.y + static_cast<int>(top),
                   static_cast<int>(frame.size.width), static_cast<int>(frame.size.height)};
}

// The blue of the default button along its middle row: where it starts and
// how far it reaches (its white caption included).
std::pair<int, int> blueRun(const Screenshot& shot, const PixelRect& window, const PixelRect& button) {
  const int y = button.y + button.height / 2;
  int first = -1, last = -2;
  for (int x = window.x; x < window.x + window.width; ++x)
    if (isAccentBlue(shot.at(x, y))) {
      if (first < 0) first = x;
      last = x;
    }
  return {first, last - first + 1};
}

void expectDrawnAsLaidOut(const Screenshot& shot, const PixelRect& window, const TestDialog& dialog) {
  EXPECT_GT(countPixels(shot, onOutput(window, ui::makeRect(20, 150, 380, 30)), isText), 100) << "heading";
  EXPECT_GT(countPixels(shot, onOutput(window, ui::makeRect(20, 70, 380, 70)), isText), 300) << "message";
  const PixelRect send = onOutput(window, dialog.sendFrame);
  const PixelRect cancel = onOutput(window, dialog.cancelFrame);
  const auto [sendStart, sendWidth] = blueRun(shot, window, send);
  EXPECT_NEAR(sendStart, send.x, 2) << "Send starts where it was fitted";
  EXPECT_NEAR(sendWidth, send.width, 4) << "Send is as wide as it was fitted";
  EXPECT_GT(countPixels(shot, cancel, isText), 30) << "Cancel's caption";
  EXPECT_EQ(countPixels(shot, cancel, isAccentBlue), 0) << "Cancel is not the default button";
}

std::string warningsIn(const std::string& output) {
  std::string found;
  for (const char* warning : {"CRITICAL", "WARNING", "Gdk-", "Gtk-", "GLib-"})
    if (output.find(warning) != std::string::npos) found += std::string(warning) + " ";
  return found;
}

class WaylandDialogTest : public WaylandTest {};

TEST_F(WaylandDialogTest, WithoutASeatTheDialogShowsItsTextsAndFittedButtonsAndWarnsOfNothing) {
  useCompositor(headless());
  CaptureStderr helperOutput;  // the helper writes to our standard error
  {
    DialogHelperClient client(helperOptions());
    ASSERT_TRUE(client.isAlive()) << client.lostReason();
    TestDialog dialog = TestDialog::build(client, "CrashWatcher Wayland");
    const ui::Size sendSize = client.fittingSize(dialog.send);
    EXPECT_GT(sendSize.width, 30);
    EXPECT_GT(sendSize.height, 10);
    dialog.fitButtons(client);
    EXPECT_EQ(dialog.sendFrame.size.width, sendSize.width + 12);
    client.showWindow(dialog.window);
    client.activate();

    const auto window = waitForWindow(headless(), int(TestDialog::kWidth), int(TestDialog::kHeight));
    ASSERT_TRUE(window) << headless().log();
    // The first frame may still be on its way: read again until Send shows.
    std::optional<Screenshot> shot;
    for (int attempt = 0; attempt < 50; ++attempt) {
      shot = headless().screenshot();
      if (shot && blueRun(*shot, *window, onOutput(*window, dialog.sendFrame)).second > 0) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ASSERT_TRUE(shot);
    expectDrawnAsLaidOut(*shot, *window, dialog);

    // A longer caption, fitted again: Send grows to the left, Cancel follows.
    client.setText(dialog.send, "Send the Report to the Vendor");
    dialog.fitButtons(client);
    const PixelRect send = onOutput(*window, dialog.sendFrame);
    for (int attempt = 0; attempt < 50; ++attempt) {
      shot = headless().screenshot();
      if (shot && std::abs(blueRun(*shot, *window, send).second - send.width) <= 4) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ASSERT_TRUE(shot);
    expectDrawnAsLaidOut(*shot, *window, dialog);
    EXPECT_TRUE(client.isAlive());
  }
  EXPECT_EQ(warningsIn(helperOutput.text()), "") << helperOutput.text();
}

TEST_F(WaylandDialogTest, SendAndCancelAnswerTheSeatsPointerAndKeys) {
  useCompositor(seated());
  CaptureStderr helperOutput;
  {
    DialogHelperClient client(helperOptions());
    ASSERT_TRUE(client.isAlive()) << client.lostReason();
    TestDialog dialog = TestDialog::build(client, "CrashWatcher Wayland Input");
    EventLog log;
    client.setEventHandler(log.handler());
    dialog.fitButtons(client);
    client.showWindow(dialog.window);
    client.activate();
    const auto window = waitForWindow(seated(), int(TestDialog::kWidth), int(TestDialog::kHeight));
    ASSERT_TRUE(window) << seated().log();

    const auto centre = [&](const ui::Rect& frame) {
      const PixelRect area = onOutput(*window, frame);
      return std::pair{area.x + area.width / 2, area.y + area.height / 2};
    };
    struct Step {
      const char* what;
      std::function<bool()> act;
      ui::ControlId expected;
    };
    const std::vector<Step> steps{
        {"click on Send", [&] { return clickAt(centre(dialog.sendFrame).first, centre(dialog.sendFrame).second); },
         dialog.send},
        {"click on Cancel",
         [&] { return clickAt(centre(dialog.cancelFrame).first, centre(dialog.cancelFrame).second); }, dialog.cancel},
        {"Return", [] { return typeKeys({"Return"}); }, dialog.send},
        // A key with no button behind it does nothing; Escape is Cancel's.
        {"q and Escape",
         [] {
           return typeKeys({"q", "Escape"});
         },
         dialog.cancel},
    };
    for (std::size_t i = 0; i < steps.size(); ++i) {
      SCOPED_TRACE(steps[i].what);
      ASSERT_TRUE(steps[i].act());
      ASSERT_TRUE(runModalUntil([&] { return log.events.size() > i; }));
      EXPECT_EQ(log.events[i].type, BackendEvent::Type::ButtonPressed);
      EXPECT_EQ(log.events[i].control, steps[i].expected);
    }
    EXPECT_EQ(log.events.size(), steps.size());
  }
  EXPECT_EQ(warningsIn(helperOutput.text()), "") << helperOutput.text();
}

TEST_F(WaylandDialogTest, TheDetailsAreaAndTheProgressWindowAnswerTheSeatsKeys) {
  useCompositor(seated());
  CaptureStderr helperOutput;
  {
    DialogHelperClient client(helperOptions());
    ASSERT_TRUE(client.isAlive()) << client.lostReason();
    TestDialog dialog = TestDialog::build(client, "CrashWatcher Wayland Details");
    dialog.addDetails(client);
    EventLog log;
    client.setEventHandler(log.handler());
    client.showWindow(dialog.window);
    const auto window = waitForWindow(seated(), int(TestDialog::kWidth), int(TestDialog::kHeight));
    ASSERT_TRUE(window) << seated().log();

    std::string text;
    for (int line = 0; line < 400; ++line) text += std::to_string(line) + "\tVellumdriftFinderSync + 24177 Grüße\n";
    std::optional<ui::ControlId> progress;
    struct Step {
      const char* what;
      std::vector<std::string> keys;
      std::function<ui::ControlId()> expected;  // 0: nothing is pressed
    };
    const std::vector<Step> steps{
        // The row in Tab order: Details first, then Cancel and Send.
        {"space on the first focus", {"space"}, [&] { return dialog.details; }},
        {"Tab to Cancel", {"Tab", "space"}, [&] { return dialog.cancel; }},
        {"Tab to Send", {"Tab", "space"}, [&] { return dialog.send; }},
        // The area open, in focus after a click: Return and Escape as ever.
        {"Return in the area", {"Return"}, [&] { return dialog.send; }},
        {"Escape in the area", {"Escape"}, [&] { return dialog.cancel; }},
        {"Escape stops progress", {"Escape"}, [&] { return *progress; }},
    };
    for (const Step& step : steps) {
      SCOPED_TRACE(step.what);
      if (step.what == std::string("Return in the area")) {
        client.setHidden(dialog.message, true);
        client.setHidden(dialog.area, false);
        client.setText(dialog.area, text);
        const PixelRect area = onOutput(*window, TestDialog::kAreaFrame);
        std::optional<Screenshot> shot;
        ASSERT_TRUE(runModalUntil([&] {
          shot = seated().screenshot();
          return shot && countPixels(*shot, area, isText) > 400;
        })) << "the area shows its text";
        ASSERT_TRUE(clickAt(area.x + 40, area.y + area.height / 2));
      }
      if (step.what == std::string("Escape stops progress")) {
        client.destroyControl(dialog.window);
        progress = client.showProgressPanel({"CrashWatcher Progress", "Uploading.", "Stop"});
        ASSERT_NE(*progress, 0u);
        ASSERT_TRUE(waitForAnyWindow(seated())) << seated().log();
      }
      const std::size_t before = log.events.size();
      ASSERT_TRUE(typeKeys(step.keys));
      ASSERT_TRUE(runModalUntil([&] { return log.events.size() > before; }));
      EXPECT_EQ(log.events.size(), before + 1);
      EXPECT_EQ(log.events.back().type, BackendEvent::Type::ButtonPressed);
      EXPECT_EQ(log.events.back().control, step.expected());
    }
  }
  EXPECT_EQ(warningsIn(helperOutput.text()), "") << helperOutput.text();
}

TEST_F(WaylandDialogTest, TheHelperLeavesWhenTheAgentLetsGoBeforeItsGreeting) {
  useCompositor(headless());
  CaptureStderr helperOutput;
  auto helper = ui::HelperProcess::spawn(CW_DIALOG_HELPER, {"--fd", "3"}, 3);
  ASSERT_TRUE(helper) << helper.reason();
  // Our end closes at once: the helper meets it while starting up.
  helper->closeSocket();
  ASSERT_TRUE(awaitChildEnd(helper->child(), std::chrono::seconds(30))) << "it did not leave on the hang-up";
  const auto status = helper->terminate();
  ASSERT_TRUE(status.has_value());
  EXPECT_TRUE(WIFEXITED(*status)) << "killed instead of leaving on the hang-up";
  EXPECT_EQ(WEXITSTATUS(*status), 0);
  EXPECT_EQ(warningsIn(helperOutput.text()), "") << helperOutput.text();
}

}  // namespace
}  // namespace cw::test

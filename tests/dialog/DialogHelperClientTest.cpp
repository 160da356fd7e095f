// The client and the real GTK helper together, on a private Xvfb, driven by
// xdotool as a user would drive them.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <sstream>

#include "Platform/ChildReaper.h"
#include "UI/DialogHelperClient.h"
#include "dialog/DialogTestSupport.h"

namespace cw::test {
namespace {

using ui::BackendEvent;
using ui::DialogHelperClient;

DialogHelperClient::Options helperOptions() {
  DialogHelperClient::Options options;
  options.helperPath = CW_DIALOG_HELPER;
  // Generous: a loaded machine starting GTK is slow, and this only guards
  // against a hang.
  options.replyTimeout = std::chrono::seconds(30);
  return options;
}

struct WindowGeometry {
  int x = -1, y = -1, width = -1, height = -1;
};

WindowGeometry geometryOf(const std::string& window) {
  // --shell prints X=, Y=, WIDTH=, HEIGHT= lines.
  const ToolResult result = runTool({"xdotool", "getwindowgeometry", "--shell", window});
  WindowGeometry geometry;
  std::istringstream lines(result.output);
  for (std::string line; std::getline(lines, line);) {
    const auto equals = line.find('=');
    if (equals == std::string::npos) continue;
    const std::string name = line.substr(0, equals);
    const int value = std::atoi(line.c_str() + equals + 1);
    if (name == "X") geometry.x = value;
    if (name == "Y") geometry.y = value;
    if (name == "WIDTH") geometry.width = value;
    if (name == "HEIGHT") geometry.height = value;
  }
  return geometry;
}

// Where a control's centre lies in its window, counted from the top left as
// X does, for a control of the content view that fills the window.
std::pair<int, int> centreInWindow(const ui::Rect& frame) {
  const double x = frame.origin.x + frame.size.width / 2;
  const double y = TestDialog::kHeight - (frame.origin.y + frame.size.height / 2);
  return {static_cast<int>(x), static_cast<int>(y)};
}

class DialogHelperClientTest : public DialogTest {};

TEST_F(DialogHelperClientTest, ShowsTheWindowWhereItsFrameSaysAndMeasuresTexts) {
  DialogHelperClient client(helperOptions());
  ASSERT_TRUE(client.isAlive());
  const TestDialog dialog = TestDialog::build(client, "CrashWatcher Measure");

  const ui::Size sendSize = client.fittingSize(dialog.send);
  client.setText(dialog.send, "Send the Report to the Vendor Now");
  const ui::Size longerSize = client.fittingSize(dialog.send);
  client.setText(dialog.send, "Send Report");
  EXPECT_EQ(client.fittingSize(dialog.send), sendSize) << "the same caption measures the same";
  EXPECT_GT(sendSize.width, 30);
  EXPECT_LT(sendSize.width, TestDialog::kSendFrame.size.width + 60);
  EXPECT_GT(sendSize.height, 10);
  EXPECT_LT(sendSize.height, 80);
  EXPECT_GT(longerSize.width, sendSize.width + 50) << "a longer caption needs more room";
  EXPECT_EQ(longerSize.height, sendSize.height);

  // The natural size, not the frame the layout gave: "Cancel" needs less
  // than the 90 points it was given.
  EXPECT_LT(client.fittingSize(dialog.cancel).width, TestDialog::kCancelFrame.size.width);

  // A wrapping text needs more lines, and so more height, when narrower.
  const ui::Size wide = client.cellSizeForBounds(dialog.message, ui::makeRect(20, 70, 380, 3.4028234663852886e+38));
  const ui::Size narrow = client.cellSizeForBounds(dialog.message, ui::makeRect(20, 70, 150, 3.4028234663852886e+38));
  EXPECT_GT(wide.height, 10);
  EXPECT_GT(narrow.height, wide.height);
  EXPECT_LE(wide.width, 380);
  EXPECT_LE(narrow.width, 150);

  TestDialog fitted = dialog;
  fitted.fitButtons(client);
  EXPECT_EQ(fitted.sendFrame.size.width, sendSize.width + 12);
  EXPECT_EQ(fitted.sendFrame.size.height, sendSize.height);

  client.showWindow(dialog.window);
  client.activate();
  const std::string window = findWindow(dialog.title);
  ASSERT_FALSE(window.empty());
  // The frame's origin is bottom-left in screen points, y up; X counts from
  // the top: 768 - (284 + 200) = 284.
  const WindowGeometry geometry = geometryOf(window);
  EXPECT_EQ(geometry.width, 420);
  EXPECT_EQ(geometry.height, 200);
  EXPECT_EQ(geometry.x, 300);
  EXPECT_EQ(geometry.y, 768 - (284 + 200));

  client.setTextColor(dialog.heading, ui::Color::redColor());
  EXPECT_GT(client.fittingSize(dialog.heading).width, 0);  // a round trip: the helper has drawn by now
  saveScreenshot("dialog.png");
  EXPECT_TRUE(client.isAlive());
}

TEST_F(DialogHelperClientTest, ClickingAButtonReportsThatButton) {
  DialogHelperClient client(helperOptions());
  const TestDialog dialog = TestDialog::build(client, "CrashWatcher Click");
  EventLog log;
  client.setEventHandler(log.handler());
  client.showWindow(dialog.window);
  const std::string window = findWindow(dialog.title);
  ASSERT_FALSE(window.empty());

  // The buttons sit bottom right, flipped from the agent's y-up frames, and
  // move when fitted to their captions on the shown window: a click at
  // Send's centre must hit Send, not Cancel beside it.
  TestDialog fitted = dialog;
  fitted.fitButtons(client);
  ASSERT_NE(fitted.sendFrame, dialog.sendFrame);
  const auto [x, y] = centreInWindow(fitted.sendFrame);
  runTool({"xdotool", "mousemove", "--sync", "--window", window, std::to_string(x), std::to_string(y), "click", "1"});
  ASSERT_TRUE(runModalUntil([&] { return !log.events.empty(); }));
  EXPECT_EQ(log.events[0].type, BackendEvent::Type::ButtonPressed);
  EXPECT_EQ(log.events[0].control, dialog.send);

  const auto [cancelX, cancelY] = centreInWindow(fitted.cancelFrame);
  runTool({"xdotool", "mousemove", "--sync", "--window", window, std::to_string(cancelX), std::to_string(cancelY),
           "click", "1"});
  ASSERT_TRUE(runModalUntil([&] { return log.events.size() >= 2; }));
  EXPECT_EQ(log.events[1].type, BackendEvent::Type::ButtonPressed);
  EXPECT_EQ(log.events[1].control, dialog.cancel);
}

TEST_F(DialogHelperClientTest, ReturnPressesSendAndEscapePressesCancel) {
  DialogHelperClient client(helperOptions());
  const TestDialog dialog = TestDialog::build(client, "CrashWatcher Keys");
  EventLog log;
  client.setEventHandler(log.handler());
  client.showWindow(dialog.window);
  const std::string window = findWindow(dialog.title);
  ASSERT_FALSE(window.empty());
  runTool({"xdotool", "windowfocus", "--sync", window});

  runTool({"xdotool", "key", "Return"});
  ASSERT_TRUE(runModalUntil([&] { return !log.events.empty(); }));
  EXPECT_EQ(log.events[0].type, BackendEvent::Type::ButtonPressed);
  EXPECT_EQ(log.events[0].control, dialog.send);

  // A key with no button behind it does nothing; Escape then is Cancel's.
  runTool({"xdotool", "key", "q", "Escape"});
  ASSERT_TRUE(runModalUntil([&] { return log.events.size() >= 2; }));
  EXPECT_EQ(log.events[1].type, BackendEvent::Type::ButtonPressed);
  EXPECT_EQ(log.events[1].control, dialog.cancel);
  EXPECT_EQ(log.events.size(), 2u);
}

TEST_F(DialogHelperClientTest, ClosingTheWindowReportsWindowClosed) {
  DialogHelperClient client(helperOptions());
  const TestDialog dialog = TestDialog::build(client, "CrashWatcher Close");
  EventLog log;
  client.setEventHandler(log.handler());
  client.showWindow(dialog.window);
  const std::string window = findWindow(dialog.title);
  ASSERT_FALSE(window.empty());

  // What a title bar's close button sends.
  ASSERT_TRUE(requestWindowClose(display(), window));
  ASSERT_TRUE(runModalUntil([&] { return !log.events.empty(); }));
  EXPECT_EQ(log.events[0].type, BackendEvent::Type::WindowClosed);
  EXPECT_EQ(log.events[0].control, dialog.window);
  EXPECT_TRUE(client.isAlive()) << "a closed window is the agent's to answer, not a lost helper";

  // Shown again, then torn down from outside (its X window destroyed).
  client.showWindow(dialog.window);
  const std::string again = findWindow(dialog.title);
  ASSERT_FALSE(again.empty());
  runTool({"xdotool", "windowclose", again});
  ASSERT_TRUE(runModalUntil([&] { return log.events.size() >= 2; }));
  EXPECT_EQ(log.events[1].type, BackendEvent::Type::WindowClosed);
  EXPECT_EQ(log.events[1].control, dialog.window);
  EXPECT_TRUE(client.isAlive());
}

TEST_F(DialogHelperClientTest, TheHelperLeavesByItselfWhenTheAgentLetsGo) {
  // Once GTK is up, and at once, while the helper still starts (it then
  // meets the hang-up as it greets us, before its main loop runs).
  for (const bool afterGreeting : {true, false}) {
    SCOPED_TRACE(afterGreeting ? "after the greeting" : "at once");
    CaptureStderr helperOutput;
    auto helper = ui::HelperProcess::spawn(CW_DIALOG_HELPER, {"--fd", "3"}, 3);
    ASSERT_TRUE(helper) << helper.reason();
    std::string greeting;
    if (afterGreeting) {
      ASSERT_TRUE(runModalUntil([&] {
        char buffer[256];
        const ssize_t got = ::read(helper->socket(), buffer, sizeof buffer);
        if (got > 0) greeting.append(buffer, static_cast<std::size_t>(got));
        return greeting.find('\n') != std::string::npos;
      }));
      EXPECT_EQ(greeting, "{\"ev\":\"ready\"}\n");
    }
    // Closing our end, with ample time to go on its own before any kill.
    helper->closeSocket();
    ASSERT_TRUE(awaitChildEnd(helper->child(), std::chrono::seconds(30))) << "it did not leave on the hang-up";
    const auto status = helper->terminate();
    ASSERT_TRUE(status.has_value());
    EXPECT_TRUE(WIFEXITED(*status)) << "killed instead of leaving on the hang-up";
    EXPECT_EQ(WEXITSTATUS(*status), 0);
    EXPECT_EQ(helperOutput.text(), "");
  }
}

TEST_F(DialogHelperClientTest, DestroyingTheClientTakesTheHelperWithIt) {
  pid_t helper = -1;
  {
    DialogHelperClient client(helperOptions());
    const TestDialog dialog = TestDialog::build(client, "CrashWatcher Gone");
    client.showWindow(dialog.window);
    ASSERT_FALSE(findWindow(dialog.title).empty());
    helper = client.helperProcessIdentifier();
    ASSERT_GT(helper, 0);
  }
  // Reaped by the destructor: no such process any more, not even a zombie.
  EXPECT_EQ(::waitpid(helper, nullptr, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD);
}

TEST_F(DialogHelperClientTest, ClosingTheClientEndsTheHelperAndLaterCallsDoNothing) {
  DialogHelperClient client(helperOptions());
  int lostEvents = 0;
  client.setEventHandler([&](const ui::BackendEvent& event) {
    if (event.type == ui::BackendEvent::Type::Lost) ++lostEvents;
  });
  const TestDialog dialog = TestDialog::build(client, "CrashWatcher Closed");
  client.showWindow(dialog.window);
  ASSERT_FALSE(findWindow(dialog.title).empty());
  const pid_t helper = client.helperProcessIdentifier();
  ASSERT_GT(helper, 0);
  client.close();
  EXPECT_FALSE(client.isAlive());
  // It leaves on the hang-up and is reaped on the run loop.
  ASSERT_TRUE(serveUntil(cw::RunLoop::current(), cw::kModalPanelRunLoopMode,
                         [] { return cw::ChildReaper::current().pendingCount() == 0; }));
  EXPECT_EQ(::waitpid(helper, nullptr, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD);
  client.setText(dialog.window, "nobody draws this");
  EXPECT_EQ(client.fittingSize(dialog.window), (ui::Size{0, 0}));
  cw::RunLoop::current().runOnce(cw::kModalPanelRunLoopMode, std::chrono::milliseconds(50));
  EXPECT_EQ(lostEvents, 0);
}

TEST_F(DialogHelperClientTest, TheDefaultHelperLiesInTheLibexecFolderBesideTheExecutable) {
  const std::string path = DialogHelperClient::defaultHelperPath();
  EXPECT_EQ(path.front(), '/');
  const std::string suffix = "/libexec/crashwatcher/crashwatcher-dialog";
  ASSERT_GE(path.size(), suffix.size());
  EXPECT_EQ(path.substr(path.size() - suffix.size()), suffix);
  EXPECT_EQ(path.find("/../"), std::string::npos) << "folded, not left with ..";
}

}  // namespace
}  // namespace cw::test

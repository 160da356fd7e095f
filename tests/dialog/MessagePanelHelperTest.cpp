// The failure message drawn by the real GTK helper on a private Xvfb, driven
// by xdotool as a user would: its texts can be copied, its one button ends it.
#include <gtest/gtest.h>

#include "Platform/RunLoop.h"
#include "UI/DialogHelperClient.h"
#include "UI/MessagePanel.h"
#include "dialog/DialogTestSupport.h"

namespace cw::test {
namespace {

using ui::BackendEvent;

std::shared_ptr<ui::DialogHelperClient> startClient() {
  ui::DialogHelperClient::Options options;
  options.helperPath = CW_DIALOG_HELPER;
  options.replyTimeout = std::chrono::seconds(30);  // a hang guard only
  return std::make_shared<ui::DialogHelperClient>(options);
}

class MessagePanelHelperTest : public DialogTest {
protected:
  // Focuses `window` and types `keys` there.
  static void type(const std::string& window, std::vector<std::string> keys) {
    runTool({"xdotool", "windowfocus", "--sync", window});
    keys.insert(keys.begin(), {"xdotool", "key", "--clearmodifiers"});
    runTool(keys);
  }
};

TEST_F(MessagePanelHelperTest, ItsTextsCanBeCopiedAndItsOneButtonEndsIt) {
  auto client = startClient();
  ASSERT_TRUE(client->isAlive());
  EventLog log;
  client->setEventHandler(log.handler());
  const ui::MessagePanel panel{"CrashWatcher Mail Failure",
                               "Your mail program could not be opened. Grüße: the report is below.",
                               "https://paste.example/a1B2?x=1&y=2", "OK"};
  const ui::ControlId id = client->showMessagePanel(panel);
  ASSERT_NE(id, 0u);
  const std::string window = findWindow(panel.title);
  ASSERT_FALSE(window.empty()) << "no window titled " << panel.title;
  saveScreenshot("message-panel.png");

  // The focus starts on the button; each Tab selects the next text whole.
  type(window, {"Tab", "ctrl+c"});
  EXPECT_EQ(readClipboard(display()), panel.message);
  type(window, {"Tab", "ctrl+c"});
  EXPECT_EQ(readClipboard(display()), panel.selectableText);
  EXPECT_TRUE(log.events.empty()) << "selecting and copying answers nothing";

  // Return, wherever the focus is: the press of the one button, naming the panel.
  type(window, {"Return"});
  ASSERT_TRUE(runModalUntil([&] { return !log.events.empty(); }));
  EXPECT_EQ(log.events[0].type, BackendEvent::Type::ButtonPressed);
  EXPECT_EQ(log.events[0].control, id);

  ASSERT_TRUE(requestWindowClose(display(), window));
  ASSERT_TRUE(runModalUntil([&] { return log.events.size() >= 2; }));
  EXPECT_EQ(log.events[1].type, BackendEvent::Type::WindowClosed);
  EXPECT_EQ(log.events[1].control, id);
  EXPECT_TRUE(client->isAlive());
}

TEST_F(MessagePanelHelperTest, RunningThePanelReturnsWhenTheUserAnswers) {
  auto client = startClient();
  ui::setCurrentBackend(client);
  const ui::MessagePanel panel{"CrashWatcher Run Panel", "Message", "https://paste.example/x", "OK"};
  struct Case {
    std::function<void(const std::string& window)> answer;
    ui::MessagePanelAnswer expected;
  };
  const std::vector<Case> cases = {
      {[](const std::string& window) {
         runTool({"xdotool", "windowfocus", "--sync", window});
         runTool({"xdotool", "key", "Escape"});
       },
       ui::MessagePanelAnswer::Acknowledged},
      {[this](const std::string& window) { requestWindowClose(display(), window); }, ui::MessagePanelAnswer::Dismissed},
  };
  for (const Case& c : cases) {
    // Answered from the modal loop once the window is up, as a user would.
    RunLoop::SourceHandle timer =
        RunLoop::current().addTimer(0, false, [&] { c.answer(findWindow(panel.title)); }, {kModalPanelRunLoopMode});
    EXPECT_EQ(ui::runMessagePanel(panel), c.expected);
    timer.reset();
    EXPECT_TRUE(runTool({"xdotool", "search", "--onlyvisible", "--name", "^" + panel.title + "$"}).output.empty())
        << "the panel is taken down";
  }
  ui::setCurrentBackend(nullptr);
}

}  // namespace
}  // namespace cw::test

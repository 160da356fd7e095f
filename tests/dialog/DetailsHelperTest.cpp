// The details area and the progress window drawn by the real GTK helper on a
// private Xvfb, driven by xdotool as a user would.
#include <gtest/gtest.h>

#include "UI/DialogHelperClient.h"
#include "dialog/DialogTestSupport.h"

namespace cw::test {
namespace {

using ui::BackendEvent;

class DetailsHelperTest : public DialogTest {
protected:
  void SetUp() override {
    DialogTest::SetUp();
    ui::DialogHelperClient::Options options;
    options.helperPath = CW_DIALOG_HELPER;
    options.replyTimeout = std::chrono::seconds(30);  // a hang guard only
    client = std::make_unique<ui::DialogHelperClient>(options);
    client->setEventHandler(log.handler());
  }
  static void type(const std::string& window, std::vector<std::string> keys) {
    runTool({"xdotool", "windowfocus", "--sync", window});
    keys.insert(keys.begin(), {"xdotool", "key", "--clearmodifiers"});
    runTool(keys);
  }
  // Types `keys` and answers the control of the press that follows.
  ui::ControlId pressedBy(const std::string& window, const std::vector<std::string>& keys) {
    const std::size_t before = log.events.size();
    type(window, keys);
    if (!runModalUntil([&] { return log.events.size() > before; })) return 0;
    return log.events.back().type == BackendEvent::Type::ButtonPressed ? log.events.back().control : 0;
  }

  std::unique_ptr<ui::DialogHelperClient> client;
  EventLog log;
};

TEST_F(DetailsHelperTest, TheAreaHoldsItsTextToTheByteAndTheKeysKeepTheirMeaning) {
  TestDialog dialog = TestDialog::build(*client, "CrashWatcher Details");
  dialog.addDetails(*client);
  client->showWindow(dialog.window);
  const std::string window = findWindow(dialog.title);
  ASSERT_FALSE(window.empty());

  // Tab order along the row: Details first, then Cancel, Send, and round.
  EXPECT_EQ(pressedBy(window, {"space"}), dialog.details);
  EXPECT_EQ(pressedBy(window, {"Tab", "space"}), dialog.cancel);
  EXPECT_EQ(pressedBy(window, {"Tab", "space"}), dialog.send);
  EXPECT_EQ(pressedBy(window, {"Tab", "space"}), dialog.details);

  // A text far longer than a protocol line, with characters of several
  // bytes across the pieces it travels in, tabs and a last line break.
  std::string text;
  for (int line = 0; text.size() < 40000; ++line)
    text += std::to_string(line) + "\t0x0000000100a8c000 VellumdriftFinderSync + 24177 Grüße ─ 日本 \U0001F600\n";
  client->setHidden(dialog.message, true);
  client->setHidden(dialog.area, false);
  client->setText(dialog.area, text);
  client->fittingSize(dialog.area);  // a round trip: the helper holds it all before the click
  // Read-only: typing into it changes nothing; all of it copies as it was given.
  const ui::Rect area = TestDialog::kAreaFrame;
  runTool({"xdotool", "mousemove", "--sync", "--window", window, std::to_string(int(area.origin.x) + 40),
           std::to_string(int(TestDialog::kHeight - area.origin.y - area.size.height / 2)), "click", "1"});
  type(window, {"x", "BackSpace", "ctrl+a", "ctrl+c"});
  // The helper takes the clipboard in its own time.
  std::optional<std::string> copied;
  EXPECT_TRUE(runModalUntil([&] { return (copied = readClipboard(display())) && !copied->empty(); }));
  EXPECT_EQ(copied, text);
  EXPECT_EQ(log.events.size(), 4u) << "clicking, typing and copying press nothing";

  // With the focus in the area, Return still sends and Escape cancels.
  EXPECT_EQ(pressedBy(window, {"Return"}), dialog.send);
  EXPECT_EQ(pressedBy(window, {"Escape"}), dialog.cancel);
  EXPECT_TRUE(client->isAlive());
}

TEST_F(DetailsHelperTest, TheProgressWindowMovesAndStopsByEscapeOrItsButtonButNotByReturn) {
  const ui::ProgressPanel panel{"CrashWatcher Progress", "The crash report is being uploaded.", "Stop"};
  const ui::ControlId id = client->showProgressPanel(panel);
  ASSERT_NE(id, 0u);
  const std::string window = findWindow(panel.title);
  ASSERT_FALSE(window.empty());
  // The bar moves by itself: two pictures a moment apart differ.
  const std::string first = std::string(CW_BINARY_DIR) + "/artifacts/progress-1.png";
  const std::string second = std::string(CW_BINARY_DIR) + "/artifacts/progress-2.png";
  makeDirectories(std::string(CW_BINARY_DIR) + "/artifacts");
  saveWindowPicture(window, first);
  ASSERT_TRUE(runModalUntil([&] {
    saveWindowPicture(window, second);
    return readFile(second) != readFile(first);
  }));

  EXPECT_EQ(pressedBy(window, {"Escape"}), id);
  EXPECT_EQ(pressedBy(window, {"space"}), id) << "the focus is on Stop";
  type(window, {"Return"});
  ASSERT_TRUE(requestWindowClose(display(), window));
  ASSERT_TRUE(runModalUntil([&] { return log.events.size() >= 3; }));
  EXPECT_EQ(log.events[2].type, BackendEvent::Type::WindowClosed) << "Return stopped nothing";
  EXPECT_EQ(log.events[2].control, id);
  client->destroyControl(id);
  EXPECT_TRUE(client->isAlive());
}

}  // namespace
}  // namespace cw::test

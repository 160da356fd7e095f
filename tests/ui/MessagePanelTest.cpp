// The failure message after consent: its texts in each language, and how it
// ends.
#include <gtest/gtest.h>

#include "Platform/RunLoop.h"
#include "UI/MessagePanel.h"
#include "UI/ProgressPanel.h"
#include "UiTestSupport.h"

namespace cw {
namespace {

using ui::MessagePanelAnswer;

TEST(MessagePanelTest, TheFailureMessageIsLocalizedAndCarriesTheAddress) {
  test::StagedBundle bundle;
  struct Case {
    const char* lang;
    std::string address, title, messageStart, selectable, button;
  };
  const std::vector<Case> cases = {
      {"en_US.UTF-8", "https://paste.example/abc", "Mail Program Not Opened",
       "Your mail program could not be opened, so no message to crashes@vellumdrift.example was prepared.",
       "https://paste.example/abc", "OK"},
      {"de_DE.UTF-8", "https://paste.example/abc", "E-Mail-Programm nicht geöffnet",
       "Ihr E-Mail-Programm konnte nicht geöffnet werden, daher wurde keine Nachricht an "
       "crashes@vellumdrift.example vorbereitet.",
       "https://paste.example/abc", "OK"},
      {"en_US.UTF-8", "", "Mail Program Not Opened", "Your mail program", "(the upload gave no address)", "OK"},
      {"de_DE.UTF-8", "", "E-Mail-Programm nicht geöffnet", "Ihr E-Mail-Programm",
       "(das Hochladen ergab keine Adresse)", "OK"},
  };
  for (const Case& c : cases) {
    test::ScopedLanguage language(c.lang);
    const ui::MessagePanel panel = ui::mailFailurePanel(c.address, "crashes@vellumdrift.example");
    EXPECT_EQ(panel.title, c.title);
    EXPECT_EQ(panel.message.rfind(c.messageStart, 0), 0u) << panel.message;
    EXPECT_EQ(panel.selectableText, c.selectable);
    EXPECT_EQ(panel.buttonTitle, c.button);
  }
}

TEST(MessagePanelTest, RunsUntilItsButtonOrItsCloseAndTakesItselfDown) {
  const ui::MessagePanel panel{"Title", "Message", "https://paste.example/abc", "OK"};
  struct Case {
    std::function<void(ui::MemoryBackend&)> script;
    MessagePanelAnswer answer;
    std::optional<double> bound = std::nullopt;
  };
  const std::vector<Case> cases = {
      {[](ui::MemoryBackend& b) { b.pressButtonAfterTicks("OK", 2); }, MessagePanelAnswer::Acknowledged},
      {[](ui::MemoryBackend& b) { b.pressKeyAfterTicks("\r"); }, MessagePanelAnswer::Acknowledged},
      {[](ui::MemoryBackend& b) { b.closeFrontWindowAfterTicks(1); }, MessagePanelAnswer::Dismissed},
      {[](ui::MemoryBackend& b) { b.loseAfterTicks(1); }, MessagePanelAnswer::Dismissed},
      {[](ui::MemoryBackend& b) { b.lose(); }, MessagePanelAnswer::NotShown},
      // Nobody answers: it closes by itself once its time is up.
      {[](ui::MemoryBackend&) {}, MessagePanelAnswer::TimedOut, 0.05},
      {[](ui::MemoryBackend& b) { b.pressButtonAfterTicks("OK", 1); }, MessagePanelAnswer::Acknowledged, 60.0},
  };
  for (const Case& c : cases) {
    test::ScopedMemoryBackend backend;
    // What the panel showed, seen from inside its run.
    std::vector<std::string> texts;
    std::vector<bool> selectable;
    backend->runAfterTicks(0, [&] {
      for (const auto kind : {ui::ControlKind::Window, ui::ControlKind::TextField, ui::ControlKind::Button})
        for (const auto* control : backend->controls(kind)) {
          texts.push_back(control->text);
          selectable.push_back(control->selectable);
        }
    });
    c.script(*backend);
    EXPECT_EQ(ui::runMessagePanel(panel, c.bound), c.answer);
    if (c.answer != MessagePanelAnswer::NotShown) {
      EXPECT_EQ(texts, (std::vector<std::string>{"Title", "Message", "https://paste.example/abc", "OK"}));
      EXPECT_EQ(selectable, (std::vector<bool>{false, false, true, false}));
    }
    EXPECT_EQ(backend->liveControlCount(), 0u) << "taken down after";
    EXPECT_TRUE(backend->scriptFailures().empty());
    EXPECT_FALSE(backend->hasEventHandler());
  }
}

TEST(MessagePanelTest, TheProgressPanelStopsOnceByItsButtonEscapeOrCloseAndGoesWithItsSession) {
  test::ScopedLanguage language("de_DE.UTF-8");
  const ui::ProgressPanel panel = ui::sendingProgressPanel();
  EXPECT_EQ(panel.title, "Absturzbericht wird gesendet");
  EXPECT_EQ(panel.stopTitle, "Stoppen");
  struct Case {
    const char* name;
    std::function<void(ui::MemoryBackend&)> act;
    int stops;
  };
  const std::vector<Case> cases = {
      {"Stop, twice",
       [](ui::MemoryBackend& b) { b.pressButtonWithTitle("Stoppen"), b.pressButtonWithTitle("Stoppen"); }, 1},
      {"Escape", [](ui::MemoryBackend& b) { b.pressKey("\x1b"); }, 1},
      {"Return", [](ui::MemoryBackend& b) { b.pressKey("\r"); }, 0},
      {"closed", [](ui::MemoryBackend& b) { b.closeWindow(b.visibleWindows().front()->id); }, 1},
      {"lost", [](ui::MemoryBackend& b) { b.lose(); }, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    test::ScopedMemoryBackend backend;
    int stops = 0;
    {
      const auto session = ui::ProgressPanelSession::show(panel, [&] { ++stops; });
      ASSERT_TRUE(session);
      ASSERT_EQ(backend->visibleWindows().size(), 1u);
      EXPECT_EQ(backend->visibleWindows().front()->text, "Absturzbericht wird gesendet");
      c.act(*backend);
    }
    EXPECT_EQ(stops, c.stops);
    EXPECT_EQ(backend->liveControlCount(), 0u) << "taken down with its session";
    EXPECT_FALSE(backend->hasEventHandler());
  }
  test::ScopedMemoryBackend gone;
  gone->lose();
  EXPECT_FALSE(ui::ProgressPanelSession::show(panel, [] {}));
}

}  // namespace
}  // namespace cw

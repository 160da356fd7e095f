#include <gtest/gtest.h>

#include "Platform/RunLoop.h"
#include "UI/Application.h"
#include "UI/Button.h"
#include "UI/Window.h"
#include "UiTestSupport.h"

namespace cw {
namespace {

using ui::Application;

// An owner whose actions end the modal loop with codes of their own.
class StoppingOwner : public Object, public ui::LayoutOwner {
public:
  int presses = 0;
  bool connectOutlet(std::string_view, const std::shared_ptr<Object>&) override { return false; }
  bool performAction(std::string_view selector, const std::shared_ptr<Object>&) override {
    ++presses;
    Application::sharedApplication().stopModalWithCode(selector == "seven:" ? 7 : 8);
    return true;
  }
  bool respondsToAction(std::string_view) const override { return true; }
  std::optional<std::string> stringValueForKey(std::string_view) const override { return std::nullopt; }
};

class ApplicationTest : public ::testing::Test {
protected:
  test::ScopedMemoryBackend backend;
  std::shared_ptr<StoppingOwner> owner = std::make_shared<StoppingOwner>();
  Application& app = Application::sharedApplication();

  std::shared_ptr<ui::Window> windowWithButton(std::string_view title, std::string_view action) {
    auto window = ui::Window::create(ui::makeRect(0, 0, 200, 100));
    auto button = ui::Button::create(*window->contentView(), ui::makeRect(10, 10, 80, 32));
    button->setTitle(title);
    button->setTarget(owner);
    button->setAction(action);
    return window;
  }
};

TEST_F(ApplicationTest, AModalLoopAnswersTheCodeOfItsStop) {
  const auto window = windowWithButton("Seven", "seven:");
  backend->pressButtonAfterTicks("Seven", 2);
  EXPECT_EQ(app.runModalForWindow(window), 7);
  EXPECT_TRUE(window->isVisible());  // hiding it is the caller's business
  EXPECT_EQ(app.modalWindow(), nullptr);
  EXPECT_FALSE(backend->hasEventHandler());
}

TEST_F(ApplicationTest, OnlyTheModalWindowIsServedAndTheFirstStopWins) {
  const auto other = windowWithButton("Other", "eight:");
  other->makeKeyAndOrderFront(nullptr);
  const auto window = windowWithButton("Seven", "seven:");
  backend->runAfterTicks(0, [&] {
    EXPECT_TRUE(backend->pressButtonWithTitle("Other"));  // delivered, but not this loop's window
    EXPECT_EQ(owner->presses, 0);
    EXPECT_TRUE(backend->pressButtonWithTitle("Seven"));
    app.stopModalWithCode(9);
  });
  EXPECT_EQ(app.runModalForWindow(window), 7);
  EXPECT_EQ(owner->presses, 1);
}

TEST_F(ApplicationTest, AStopBeforeTheLoopEndsItAtOnceWithoutShowing) {
  const auto window = windowWithButton("Seven", "seven:");
  app.stopModal();
  EXPECT_EQ(app.runModalForWindow(window), ui::kModalResponseStop);
  EXPECT_EQ(backend->showCount(), 0);
  // Used up: the next loop runs until its own stop.
  backend->pressButtonAfterTicks("Seven");
  EXPECT_EQ(app.runModalForWindow(window), 7);
}

TEST_F(ApplicationTest, LoopsThatEndOtherwiseAbort) {
  EXPECT_EQ(app.runModalForWindow(nullptr), ui::kModalResponseAbort);
  const auto window = windowWithButton("Seven", "seven:");
  // Nothing scheduled in the modal mode: nothing could ever end the loop.
  EXPECT_EQ(app.runModalForWindow(window), ui::kModalResponseAbort);
  backend->closeFrontWindowAfterTicks();
  EXPECT_EQ(app.runModalForWindow(window), ui::kModalResponseAbort);
  EXPECT_FALSE(window->isVisible());
  backend->loseAfterTicks();
  EXPECT_EQ(app.runModalForWindow(window), ui::kModalResponseAbort);
  EXPECT_EQ(app.runModalForWindow(window), ui::kModalResponseAbort);  // lost stays lost
  EXPECT_EQ(owner->presses, 0);
}

TEST_F(ApplicationTest, ApplicationLoadReplacesOnlyItsOwnLostBackend) {
  EXPECT_TRUE(ui::applicationLoad());
  EXPECT_EQ(ui::currentBackend(), backend.get());  // a backend already set is kept
  backend->lose();
  EXPECT_FALSE(ui::applicationLoad());
  EXPECT_EQ(ui::currentBackend(), backend.get());

  int made = 0;
  ui::setDefaultBackendFactory([&made] {
    ++made;
    return std::make_shared<ui::MemoryBackend>();
  });
  ui::setCurrentBackend(nullptr);
  EXPECT_TRUE(ui::applicationLoad());
  const auto first = std::dynamic_pointer_cast<ui::MemoryBackend>(ui::currentBackend());
  ASSERT_TRUE(first);
  EXPECT_TRUE(ui::applicationLoad());
  EXPECT_EQ(made, 1);
  first->lose();
  EXPECT_TRUE(ui::applicationLoad());
  EXPECT_EQ(made, 2);
  EXPECT_NE(ui::currentBackend(), first);
  ui::setDefaultBackendFactory(nullptr);
}

TEST_F(ApplicationTest, EndingTheDialogSessionClosesOnlyABackendItMade) {
  struct ClosingBackend : ui::MemoryBackend {
    int* closed;
    explicit ClosingBackend(int* counter) : closed(counter) {}
    void close() override { ++*closed; }
  };
  int closed = 0;
  ui::applicationEndDialogSession();  // the test's own backend stays
  EXPECT_EQ(ui::currentBackend(), backend.get());

  ui::setDefaultBackendFactory([&closed] { return std::make_shared<ClosingBackend>(&closed); });
  ui::setCurrentBackend(nullptr);
  ASSERT_TRUE(ui::applicationLoad());
  ui::applicationEndDialogSession();
  EXPECT_EQ(closed, 1);
  EXPECT_EQ(ui::currentBackend(), nullptr);
  // The next dialog gets a fresh one.
  ASSERT_TRUE(ui::applicationLoad());
  EXPECT_NE(ui::currentBackend(), nullptr);
  ui::applicationEndDialogSession();
  EXPECT_EQ(closed, 2);
  ui::setDefaultBackendFactory(nullptr);
}

}  // namespace
}  // namespace cw

#include <gtest/gtest.h>

#include <map>
#include <set>

#include "UI/Button.h"
#include "UI/LayoutLoader.h"
#include "UI/TextField.h"
#include "UI/TextView.h"
#include "UI/Window.h"
#include "UiTestSupport.h"

namespace cw {
namespace {

// An owner with the dialog's outlets, actions and bindable key.
class RecordingOwner : public Object, public ui::LayoutOwner {
public:
  std::set<std::string, std::less<>> acceptedOutlets{"alertWindow_",    "dialogTitle_",   "dialogNote_",
                                                     "commentMessage_", "sendButton_",    "cancelButton_",
                                                     "countdownLabel_", "detailsButton_", "detailsView_"};
  std::map<std::string, std::shared_ptr<Object>, std::less<>> outlets;
  std::vector<std::string> actions;
  std::optional<std::string> message;

  bool connectOutlet(std::string_view name, const std::shared_ptr<Object>& object) override {
    if (!acceptedOutlets.count(name)) return false;
    outlets.insert_or_assign(std::string(name), object);
    return true;
  }
  bool performAction(std::string_view selector, const std::shared_ptr<Object>&) override {
    if (!respondsToAction(selector)) return false;
    actions.emplace_back(selector);
    return true;
  }
  bool respondsToAction(std::string_view selector) const override {
    return selector == "sendReport:" || selector == "cancel:" || selector == "toggleDetails:";
  }
  std::optional<std::string> stringValueForKey(std::string_view key) const override {
    return key == "countdownMessage" ? message : std::nullopt;
  }
  void setMessage(std::optional<std::string> text) {
    message = std::move(text);
    didChangeValueForKey("countdownMessage");
  }

  template <typename T>
  std::shared_ptr<T> outlet(std::string_view name) const {
    const auto it = outlets.find(name);
    return it == outlets.end() ? nullptr : std::dynamic_pointer_cast<T>(it->second);
  }
};

class LayoutLoaderTest : public ::testing::Test {
protected:
  test::ScopedMemoryBackend backend;
  std::shared_ptr<RecordingOwner> owner = std::make_shared<RecordingOwner>();
  const std::string shippedLayout = std::string(CW_SOURCE_DIR) + "/CrashWatcher/Resources/CrashWatcher.layout";
};

TEST_F(LayoutLoaderTest, TheShippedLayoutConnectsTheNineOutletsWithoutShowingAnything) {
  ASSERT_TRUE(ui::loadLayoutFileOwner(shippedLayout, owner));
  EXPECT_TRUE(owner->outlet<ui::Window>("alertWindow_"));
  for (const char* field : {"dialogTitle_", "dialogNote_", "commentMessage_", "countdownLabel_"})
    EXPECT_TRUE(owner->outlet<ui::TextField>(field)) << field;
  const auto send = owner->outlet<ui::Button>("sendButton_");
  const auto cancel = owner->outlet<ui::Button>("cancelButton_");
  ASSERT_TRUE(send && cancel);
  const auto details = owner->outlet<ui::Button>("detailsButton_");
  const auto area = owner->outlet<ui::TextView>("detailsView_");
  ASSERT_TRUE(details && area);
  EXPECT_EQ(owner->outlets.size(), 9u);
  EXPECT_TRUE(backend->visibleWindows().empty());
  EXPECT_EQ(backend->showCount(), 0);

  // Return sends, Escape cancels; Cancel stands left of Send.
  EXPECT_EQ(send->action(), "sendReport:");
  EXPECT_EQ(send->keyEquivalent(), "\r");
  EXPECT_EQ(cancel->action(), "cancel:");
  EXPECT_EQ(cancel->keyEquivalent(), "\x1b");
  EXPECT_LT(cancel->frame().origin.x + cancel->frame().size.width, send->frame().origin.x);
  EXPECT_EQ(backend->control(send->controlId())->keyEquivalent, "\r");
  // Details stands left of both, with no key of its own; its area is a
  // hidden monospace text view until asked for.
  EXPECT_EQ(details->action(), "toggleDetails:");
  EXPECT_EQ(details->keyEquivalent(), "");
  EXPECT_LT(details->frame().origin.x + details->frame().size.width, cancel->frame().origin.x);
  EXPECT_TRUE(area->isHidden());
  EXPECT_TRUE(backend->control(area->controlId())->hidden);
  EXPECT_EQ(backend->control(area->controlId())->kind, ui::ControlKind::TextView);

  // The controls shown all lie inside the window's content view.
  const auto window = owner->outlet<ui::Window>("alertWindow_");
  for (const auto& view : window->contentView()->subviews()) {
    if (view->isHidden()) continue;
    const ui::Rect f = view->frame();
    EXPECT_GE(f.origin.x, 0);
    EXPECT_GE(f.origin.y, 0);
    EXPECT_LE(f.origin.x + f.size.width, window->frame().size.width);
    EXPECT_LE(f.origin.y + f.size.height, window->frame().size.height);
  }
}

TEST_F(LayoutLoaderTest, ButtonsSendTheirActionsToTheOwner) {
  ASSERT_TRUE(ui::loadLayoutFileOwner(shippedLayout, owner));
  EXPECT_TRUE(owner->outlet<ui::Button>("cancelButton_")->performClick());
  EXPECT_TRUE(owner->outlet<ui::Button>("sendButton_")->performClick());
  EXPECT_EQ(owner->actions, (std::vector<std::string>{"cancel:", "sendReport:"}));

  // A button never keeps its owner alive.
  const auto send = owner->outlet<ui::Button>("sendButton_");
  owner->outlets.clear();
  owner.reset();
  EXPECT_FALSE(send->performClick());
}

TEST_F(LayoutLoaderTest, TheBindingShowsTheOwnersValueOnEveryChange) {
  owner->message = "before loading";
  ASSERT_TRUE(ui::loadLayoutFileOwner(shippedLayout, owner));
  const auto label = owner->outlet<ui::TextField>("countdownLabel_");
  EXPECT_EQ(label->stringValue(), "before loading");
  owner->setMessage("59 seconds");
  EXPECT_EQ(label->stringValue(), "59 seconds");
  EXPECT_EQ(backend->control(label->controlId())->text, "59 seconds");
  owner->setMessage(std::nullopt);
  EXPECT_EQ(label->stringValue(), "");
}

TEST_F(LayoutLoaderTest, EveryLoadBuildsFreshControlsAndDropsTheOldBinding) {
  ASSERT_TRUE(ui::loadLayoutFileOwner(shippedLayout, owner));
  const std::weak_ptr<ui::TextField> firstLabel = owner->outlet<ui::TextField>("countdownLabel_");
  const ui::ControlId firstWindow = owner->outlet<ui::Window>("alertWindow_")->controlId();
  ASSERT_TRUE(ui::loadLayoutFileOwner(shippedLayout, owner));

  EXPECT_NE(owner->outlet<ui::Window>("alertWindow_")->controlId(), firstWindow);
  EXPECT_TRUE(firstLabel.expired());
  EXPECT_EQ(backend->control(firstWindow), nullptr);
  EXPECT_EQ(owner->observerCount("countdownMessage"), 1u);
  // One window, its content view and eight controls.
  EXPECT_EQ(backend->liveControlCount(), 10u);
}

TEST_F(LayoutLoaderTest, RefusesMalformedAndHostileLayoutsBuildingNothing) {
  const std::string good = test::readFile(shippedLayout);
  auto replaced = [&good](std::string_view from, std::string_view to) {
    std::string text = good;
    const std::size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    if (at != std::string::npos) text.replace(at, from.size(), to);
    return text;
  };
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"not XML", "this is not a layout"},
      {"empty", ""},
      {"truncated", good.substr(0, good.size() / 2)},
      {"wrong root", replaced("<layout version=\"1\">", "<nib version=\"1\">")},
      {"wrong version", replaced("<layout version=\"1\">", "<layout version=\"2\">")},
      {"no window", "<layout version=\"1\"/>"},
      {"unknown element", replaced("<textField outlet=\"dialogNote_\"", "<webView outlet=\"dialogNote_\"")},
      {"unknown attribute", replaced("wraps=\"false\"", "onload=\"x\"")},
      {"duplicate outlet", replaced("outlet=\"dialogNote_\"", "outlet=\"dialogTitle_\"")},
      {"outlet the owner lacks", replaced("outlet=\"dialogNote_\"", "outlet=\"secretFile_\"")},
      {"outlet that is no name", replaced("outlet=\"dialogNote_\"", "outlet=\"../x\"")},
      {"action the owner lacks", replaced("action=\"cancel:\"", "action=\"deleteEverything:\"")},
      {"three numbers", replaced("frame=\"20 87 460 76\"", "frame=\"20 87 460\"")},
      {"five numbers", replaced("frame=\"20 87 460 76\"", "frame=\"20 87 460 55 1\"")},
      {"not a number", replaced("frame=\"20 87 460 76\"", "frame=\"20 87 nan 55\"")},
      {"huge", replaced("frame=\"20 87 460 76\"", "frame=\"1e300 87 460 55\"")},
      {"negative width", replaced("frame=\"20 87 460 76\"", "frame=\"20 87 -460 55\"")},
      {"no frame", replaced("frame=\"20 87 460 76\"", "")},
      {"bad flag", replaced("wraps=\"false\"", "wraps=\"maybe\"")},
      {"bad point size", replaced("pointSize=\"13\"", "pointSize=\"0\"")},
      {"bad text view flag", replaced("hidden=\"true\"", "hidden=\"yes\"")},
      {"text in a text view",
       replaced("<textView outlet=\"detailsView_\"", "<textView text=\"x\" outlet=\"detailsView_\"")},
      {"bad key", replaced("keyEquivalent=\"escape\"", "keyEquivalent=\"control-alt-delete\"")},
      {"binding other than value", replaced("name=\"value\"", "name=\"hidden\"")},
      {"two bindings", replaced("<binding name=\"value\" key=\"countdownMessage\"/>",
                                "<binding name=\"value\" key=\"a\"/><binding name=\"value\" key=\"b\"/>")},
      {"control character", replaced("text=\"Note\"", "text=\"No&#7;te\"")},
      {"not UTF-8", replaced("text=\"Note\"", "text=\"N\xC3te\"")},
      {"stray text", replaced("</window>", "surprise</window>")},
      {"CDATA", replaced("</window>", "<![CDATA[x]]></window>")},
      {"duplicate attribute", replaced("pointSize=\"13\"", "pointSize=\"13\" pointSize=\"14\"")},
      {"two roots", good + "<layout version=\"1\"/>"},
      {"entity",
       "<!DOCTYPE l [<!ENTITY e SYSTEM \"file:///etc/passwd\">]>" + replaced("text=\"Note\"", "text=\"&e;\"")},
  };
  for (const auto& [name, xml] : cases) {
    SCOPED_TRACE(name);
    const auto fresh = std::make_shared<RecordingOwner>();
    EXPECT_FALSE(ui::loadLayoutOwner(xml, fresh));
    // Refused before building: nothing made, nothing connected, nothing shown.
    if (name != "outlet the owner lacks") {
      EXPECT_TRUE(fresh->outlets.empty());
      EXPECT_EQ(backend->liveControlCount(), 0u);
    }
    EXPECT_EQ(backend->showCount(), 0);
  }
  EXPECT_TRUE(ui::loadLayoutOwner(good, owner));
}

TEST_F(LayoutLoaderTest, RefusesWhatIsNoLayoutFileAndLoadsWithoutABackendNothing) {
  test::TempDir dir;
  EXPECT_FALSE(ui::loadLayoutFileOwner(dir / "missing.layout", owner));
  EXPECT_FALSE(ui::loadLayoutFileOwner(dir.path(), owner));
  std::string big = test::readFile(shippedLayout);
  big.insert(big.find("<layout"), std::string(ui::kMaxLayoutFileSize, ' '));
  test::writeFile(dir / "big.layout", big);
  EXPECT_FALSE(ui::loadLayoutFileOwner(dir / "big.layout", owner));
  EXPECT_FALSE(ui::loadLayoutFileOwner(shippedLayout, nullptr));
  ui::setCurrentBackend(nullptr);
  EXPECT_FALSE(ui::loadLayoutFileOwner(shippedLayout, owner));
  EXPECT_TRUE(owner->outlets.empty());
}

TEST_F(LayoutLoaderTest, FindsTheLayoutByNameInTheMainBundle) {
  test::StagedBundle bundle;
  EXPECT_TRUE(ui::loadNibNamedOwner(bundle.bundle(), "CrashWatcher", owner));
  EXPECT_FALSE(ui::loadNibNamedOwner(bundle.bundle(), "NoSuchLayout", owner));
  EXPECT_FALSE(ui::loadNibNamedOwner(bundle.bundle(), "../Resources/CrashWatcher", owner));
}

}  // namespace
}  // namespace cw

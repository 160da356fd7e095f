// Fuzzes cw::ui::loadLayoutOwner, which builds the consent dialog from the
// bundle's layout resource, on the in-memory backend.
//
// Besides the sanitizers: a refused layout connects nothing (this owner takes
// every outlet, so no refusal can come after building); a loaded window holds
// live controls with finite frames and texts of valid UTF-8; and once the
// owner lets go of everything, no control is left in the backend and no
// binding still observes the owner.

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>

#include "Platform/Utf8.h"
#include "UI/Backend.h"
#include "UI/LayoutLoader.h"
#include "UI/LayoutOwner.h"
#include "UI/MemoryBackend.h"
#include "UI/View.h"
#include "UI/Window.h"

namespace {

[[noreturn]] void fail(const char* what, std::string_view detail = {}) {
  std::fprintf(stderr, "layout oracle: %s %.*s\n", what, static_cast<int>(detail.size()), detail.data());
  std::abort();
}

// Takes any outlet; answers the dialog's two actions; its one bindable key
// has a value.
class AcceptingOwner final : public cw::ui::LayoutOwner {
public:
  bool connectOutlet(std::string_view name, const std::shared_ptr<cw::Object>& object) override {
    if (!object) fail("an outlet was connected to nothing", name);
    outlets[std::string(name)] = object;
    return true;
  }
  bool performAction(std::string_view selector, const std::shared_ptr<cw::Object>&) override {
    return respondsToAction(selector);
  }
  bool respondsToAction(std::string_view selector) const override {
    return selector == "cancel:" || selector == "sendReport:";
  }
  std::optional<std::string> stringValueForKey(std::string_view key) const override {
    askedKeys.emplace(key);
    if (key == "countdownMessage") return std::string("Closes in 10 s");
    return std::nullopt;
  }

  std::map<std::string, std::shared_ptr<cw::Object>> outlets;
  // Every key a binding asked for: the keys that may have observers.
  mutable std::set<std::string> askedKeys;
};

void checkControl(const cw::ui::MemoryBackend& backend, cw::ui::ControlId id, std::string_view outlet) {
  const cw::ui::MemoryBackend::Control* control = backend.control(id);
  if (!control) fail("an outlet holds a control the backend does not know", outlet);
  const cw::ui::Rect& f = control->frame;
  for (const double v : {f.origin.x, f.origin.y, f.size.width, f.size.height})
    if (!std::isfinite(v)) fail("a control has a frame that is not finite", outlet);
  if (f.size.width < 0 || f.size.height < 0) fail("a control has a negative size", outlet);
  if (!cw::isValidUtf8(control->text)) fail("a control's text is not valid UTF-8", outlet);
}

void checkTree(const cw::ui::MemoryBackend& backend, const cw::ui::View& view, std::string_view outlet) {
  checkControl(backend, view.controlId(), outlet);
  for (const auto& subview : view.subviews()) checkTree(backend, *subview, outlet);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view xml(reinterpret_cast<const char*>(data), size);
  const auto backend = std::make_shared<cw::ui::MemoryBackend>();
  cw::ui::setCurrentBackend(backend);
  auto owner = std::make_shared<AcceptingOwner>();

  const bool loaded = cw::ui::loadLayoutOwner(xml, owner);
  if (!loaded && !owner->outlets.empty()) fail("a refused layout connected outlets");

  if (loaded) {
    // A window held by an outlet keeps its whole tree drawn. A view held
    // without its window outlives the window's controls, as documented for
    // views, so only its frame and text can be checked, not its control.
    for (const auto& [name, object] : owner->outlets) {
      if (const auto* window = dynamic_cast<const cw::ui::Window*>(object.get())) {
        checkControl(*backend, window->controlId(), name);
        checkTree(*backend, *window->contentView(), name);
      } else if (!dynamic_cast<const cw::ui::View*>(object.get())) {
        fail("an outlet holds something that is neither window nor view", name);
      }
    }
  }

  owner->outlets.clear();
  if (backend->liveControlCount() != 0) fail("controls outlived every reference to them");
  for (const std::string& key : owner->askedKeys)
    if (owner->observerCount(key) != 0) fail("a binding observes the owner after its field is gone", key);

  cw::ui::setCurrentBackend(nullptr);
  return 0;
}

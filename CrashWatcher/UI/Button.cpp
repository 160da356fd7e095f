#include "UI/Button.h"

namespace cw::ui {

Button::Button(CreationToken token, std::shared_ptr<Backend> backend, ControlKind kind, ControlId parent,
               const Rect& frame)
    : View(token, std::move(backend), kind, parent, frame) {}

std::shared_ptr<Button> Button::create(View& superview, const Rect& frame) {
  return createIn<Button>(superview, ControlKind::Button, frame);
}

void Button::setTitle(std::string_view title) {
  title_ = std::string(title);
  if (backend()) backend()->setText(controlId(), title_);
}

void Button::setKeyEquivalent(std::string_view key) {
  keyEquivalent_ = std::string(key);
  if (backend()) backend()->setKeyEquivalent(controlId(), keyEquivalent_);
}

bool Button::performClick() {
  const std::shared_ptr<LayoutOwner> target = target_.lock();
  if (!target || action_.empty() || !target->respondsToAction(action_)) return false;
  return target->performAction(action_, shared_from_this());
}

void Button::sizeToFit() {
  if (!backend()) return;
  setFrame(Rect{frame().origin, backend()->fittingSize(controlId())});
}

std::string Button::description() const {
  return "<Button \"" + title_ + "\">";
}

}  // namespace cw::ui

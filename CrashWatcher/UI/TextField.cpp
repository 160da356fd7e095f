#include "UI/TextField.h"

#include "UI/ValueBinding.h"

namespace cw::ui {

TextField::TextField(CreationToken token, std::shared_ptr<Backend> backend, ControlKind kind, ControlId parent,
                     const Rect& frame)
    : View(token, std::move(backend), kind, parent, frame) {}

TextField::~TextField() = default;

std::shared_ptr<TextField> TextField::create(View& superview, const Rect& frame) {
  return createIn<TextField>(superview, ControlKind::TextField, frame);
}

void TextField::setStringValue(std::string_view text) {
  stringValue_ = std::string(text);
  if (backend()) backend()->setText(controlId(), stringValue_);
}

void TextField::setTextColor(const Color& color) {
  textColor_ = color;
  if (backend()) backend()->setTextColor(controlId(), color);
}

void TextField::setTextStyle(bool bold, double pointSize, bool wraps) {
  bold_ = bold;
  pointSize_ = pointSize;
  wraps_ = wraps;
  if (backend()) backend()->setTextStyle(controlId(), bold, pointSize, wraps);
}

void TextField::sizeToFit() {
  if (!backend()) return;
  setFrame(Rect{frame().origin, backend()->fittingSize(controlId())});
}

Size TextField::cellSizeForBounds(const Rect& bounds) const {
  return backend() ? backend()->cellSizeForBounds(controlId(), bounds) : Size{};
}

void TextField::setValueBinding(std::unique_ptr<ValueBinding> binding) {
  binding_ = std::move(binding);
}

std::string TextField::description() const {
  return "<TextField \"" + stringValue_ + "\">";
}

}  // namespace cw::ui

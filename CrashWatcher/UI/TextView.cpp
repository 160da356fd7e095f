#include "UI/TextView.h"

namespace cw::ui {

TextView::TextView(CreationToken token, std::shared_ptr<Backend> backend, ControlKind kind, ControlId parent,
                   const Rect& frame)
    : View(token, std::move(backend), kind, parent, frame) {}

std::shared_ptr<TextView> TextView::create(View& superview, const Rect& frame) {
  return createIn<TextView>(superview, ControlKind::TextView, frame);
}

void TextView::setString(std::string_view text) {
  string_ = std::string(text);
  if (backend()) backend()->setText(controlId(), string_);
}

void TextView::setPointSize(double pointSize) {
  pointSize_ = pointSize;
  if (backend()) backend()->setTextStyle(controlId(), false, pointSize, false);
}

std::string TextView::description() const {
  return "<TextView, " + std::to_string(string_.size()) + " bytes>";
}

}  // namespace cw::ui

#include "UI/View.h"

namespace cw::ui {

View::View(CreationToken, std::shared_ptr<Backend> backend, ControlKind kind, ControlId parent, const Rect& frame)
    : backend_(std::move(backend)), kind_(kind), frame_(frame) {
  if (backend_) id_ = backend_->createControl(kind, parent, frame);
}

View::~View() {
  // Subviews first, so that the backend loses the children before the parent
  // (those still held by an outlet stay, and are destroyed with it later).
  subviews_.clear();
  if (backend_) backend_->destroyControl(id_);
}

std::shared_ptr<View> View::create(View& superview, const Rect& frame) {
  return createIn<View>(superview, ControlKind::View, frame);
}

void View::setFrameOrigin(const Point& origin) {
  setFrame(Rect{origin, frame_.size});
}

void View::setFrame(const Rect& frame) {
  frame_ = frame;
  if (backend_) backend_->setFrame(id_, frame_);
}

void View::setHidden(bool hidden) {
  hidden_ = hidden;
  if (backend_) backend_->setHidden(id_, hidden);
}

std::shared_ptr<View> View::findViewWithControlId(ControlId control) {
  if (control == id_) return shared_from_this();
  for (const auto& subview : subviews_)
    if (auto found = subview->findViewWithControlId(control)) return found;
  return nullptr;
}

std::string View::description() const {
  return describeFramed("View", static_cast<unsigned long long>(id_), frame_);
}

}  // namespace cw::ui

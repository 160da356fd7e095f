#include "UI/Window.h"

namespace cw::ui {

Window::Window(CreationToken, std::shared_ptr<Backend> backend, const Rect& frame)
    : backend_(std::move(backend)), frame_(frame) {
  id_ = backend_->createControl(ControlKind::Window, 0, frame);
  contentView_ = std::make_shared<View>(View::CreationToken{}, backend_, ControlKind::View, id_,
                                        makeRect(0, 0, frame.size.width, frame.size.height));
}

Window::~Window() {
  contentView_.reset();
  backend_->destroyControl(id_);
}

std::shared_ptr<Window> Window::create(const Rect& frame) {
  return create(currentBackend(), frame);
}

std::shared_ptr<Window> Window::create(std::shared_ptr<Backend> backend, const Rect& frame) {
  if (!backend) return nullptr;
  return std::make_shared<Window>(CreationToken{}, std::move(backend), frame);
}

void Window::setFrameDisplay(const Rect& frame, bool) {
  frame_ = frame;
  backend_->setFrame(id_, frame_);
  const Rect content = contentView_->frame();
  contentView_->setFrame(Rect{content.origin, frame.size});
}

void Window::setTitle(std::string_view title) {
  title_ = std::string(title);
  backend_->setText(id_, title_);
}

void Window::makeKeyAndOrderFront(const std::shared_ptr<Object>&) {
  visible_ = true;
  backend_->showWindow(id_);
}

void Window::orderOut(const std::shared_ptr<Object>&) {
  visible_ = false;
  backend_->orderOut(id_);
}

std::shared_ptr<View> Window::findViewWithControlId(ControlId control) const {
  return contentView_->findViewWithControlId(control);
}

std::string Window::description() const {
  return describeFramed("Window", static_cast<unsigned long long>(id_), frame_);
}

}  // namespace cw::ui

#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "Platform/Object.h"
#include "UI/Backend.h"
#include "UI/Geometry.h"
#include "UI/View.h"

namespace cw::ui {

// A top-level window. Its frame is in screen points, origin bottom-left; its
// content view covers it, at (0, 0) in the window, and holds all its controls.
class Window : public Object, public std::enable_shared_from_this<Window> {
  struct CreationToken {
    explicit CreationToken() = default;
  };

public:
  Window(CreationToken, std::shared_ptr<Backend> backend, const Rect& frame);
  ~Window() override;
  Window(const Window&) = delete;
  Window& operator=(const Window&) = delete;

  // A hidden window on the current backend; absent when there is none.
  static std::shared_ptr<Window> create(const Rect& frame);
  static std::shared_ptr<Window> create(std::shared_ptr<Backend> backend, const Rect& frame);

  Rect frame() const { return frame_; }
  // The content view follows the new size; its origin stays where it was. The
  // backend redraws on its own, so `display` asks for nothing more.
  void setFrameDisplay(const Rect& frame, bool display);
  const std::shared_ptr<View>& contentView() const { return contentView_; }

  const std::string& title() const { return title_; }
  void setTitle(std::string_view title);

  // Shows the window in front and gives it the keyboard.
  void makeKeyAndOrderFront(const std::shared_ptr<Object>& sender);
  // Hides the window without closing it.
  void orderOut(const std::shared_ptr<Object>& sender);
  bool isVisible() const { return visible_; }
  // The backend reports the window closed by the user: it is hidden already.
  void noteClosedByUser() { visible_ = false; }

  ControlId controlId() const { return id_; }
  const std::shared_ptr<Backend>& backend() const { return backend_; }
  // The content view or one of its subviews drawn as `control`, else nullptr.
  std::shared_ptr<View> findViewWithControlId(ControlId control) const;

  std::string description() const override;

private:
  std::shared_ptr<Backend> backend_;
  ControlId id_ = 0;
  Rect frame_;
  std::string title_;
  bool visible_ = false;
  std::shared_ptr<View> contentView_;
};

}  // namespace cw::ui

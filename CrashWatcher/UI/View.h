#pragma once

#include <memory>
#include <string>
#include <vector>

#include "Platform/Object.h"
#include "UI/Backend.h"
#include "UI/Geometry.h"

namespace cw::ui {

// A rectangle of a window, drawn by the backend. Frames are in points in the
// superview's coordinates, origin bottom-left, y up. A view owns its subviews;
// outlets may keep a view alive after its window is gone, and calls on such a
// view reach a backend that ignores them.
class View : public Object, public std::enable_shared_from_this<View> {
protected:
  // Only the view classes create views, each through its create().
  struct CreationToken {
    explicit CreationToken() = default;
  };

public:
  View(CreationToken, std::shared_ptr<Backend> backend, ControlKind kind, ControlId parent, const Rect& frame);
  ~View() override;
  View(const View&) = delete;
  View& operator=(const View&) = delete;

  // A plain view inside `superview`.
  static std::shared_ptr<View> create(View& superview, const Rect& frame);

  Rect frame() const { return frame_; }
  // Moves the view; its size is unchanged.
  void setFrameOrigin(const Point& origin);
  void setFrame(const Rect& frame);

  // Only recorded: views here carry no autoresizing masks, so subviews keep
  // their frames, measured from the bottom-left, whatever the flag says.
  void setAutoresizesSubviews(bool autoresizes) { autoresizesSubviews_ = autoresizes; }
  bool autoresizesSubviews() const { return autoresizesSubviews_; }

  // A hidden view is neither drawn nor reachable; views start shown.
  void setHidden(bool hidden);
  bool isHidden() const { return hidden_; }

  const std::vector<std::shared_ptr<View>>& subviews() const { return subviews_; }
  // This view or the subview (at any depth) drawn as `control`, else nullptr.
  std::shared_ptr<View> findViewWithControlId(ControlId control);

  ControlId controlId() const { return id_; }
  ControlKind kind() const { return kind_; }
  const std::shared_ptr<Backend>& backend() const { return backend_; }

  std::string description() const override;

protected:
  // Creates the control of a subclass and adds it to `superview`.
  template <typename T, typename... Args>
  static std::shared_ptr<T> createIn(View& superview, ControlKind kind, const Rect& frame, Args&&... args) {
    auto view = std::make_shared<T>(CreationToken{}, superview.backend_, kind, superview.id_, frame,
                                    std::forward<Args>(args)...);
    superview.subviews_.push_back(view);
    return view;
  }

private:
  std::shared_ptr<Backend> backend_;
  ControlKind kind_;
  ControlId id_ = 0;
  Rect frame_;
  bool autoresizesSubviews_ = true;
  bool hidden_ = false;
  std::vector<std::shared_ptr<View>> subviews_;

  friend class Window;
};

}  // namespace cw::ui

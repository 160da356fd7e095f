#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "UI/Controls.h"
#include "UI/Geometry.h"

namespace cw::ui {

// What the drawing side reports back to the agent.
struct BackendEvent {
  enum class Type {
    ButtonPressed,  // control = the button
    WindowClosed,   // control = the window; the user closed it
    Lost,           // the backend is gone (helper died, hung, no display)
  };
  Type type;
  ControlId control = 0;
};

// The drawing side of the views. Views forward every change here; the backend
// draws them (the GTK dialog helper) or only records them (tests). Frames are
// in points, origin bottom-left, y up, in the parent's coordinates (a window's
// in screen coordinates).
class Backend {
public:
  virtual ~Backend() = default;

  // parent 0 for a window; a window's content view is made by the caller as a
  // View whose parent is the window.
  virtual ControlId createControl(ControlKind kind, ControlId parent, const Rect& frame) = 0;
  // Destroys the control and all its descendants. The agent may still name a
  // destroyed control afterwards (views outlive their window when an outlet
  // holds them): calls with an id the backend no longer knows are ignored.
  virtual void destroyControl(ControlId control) = 0;
  virtual void setFrame(ControlId control, const Rect& frame) = 0;
  // A text field's string value, a button's title, a window's title.
  virtual void setText(ControlId control, std::string_view text) = 0;
  virtual void setTextColor(ControlId control, const Color& color) = 0;
  // Return/Escape and the like ("\r", "\x1b").
  virtual void setKeyEquivalent(ControlId control, std::string_view key) = 0;
  // Fonts, alignment and wrapping of a text field; the size of a text view's
  // monospace font.
  virtual void setTextStyle(ControlId control, bool bold, double pointSize, bool wraps) = 0;
  // A hidden control (and what it holds) is neither drawn nor reachable by
  // keyboard or pointer; controls start shown.
  virtual void setHidden(ControlId control, bool hidden) = 0;

  // The natural size of the control's text (sizeToFit measures with this).
  virtual Size fittingSize(ControlId control) = 0;
  // The size the text needs drawn inside `bounds` (height unbounded when huge).
  virtual Size cellSizeForBounds(ControlId control, const Rect& bounds) = 0;
  // The room windows have on the screen the dialog appears on (without the
  // desktop's panels); 0 by 0 when unknown.
  virtual Size screenSize() { return Size{}; }

  // Shows `panel` in a window of its own, key and in front, and answers the
  // panel's id; 0 when this backend cannot show one. Its button reports
  // ButtonPressed and closing it WindowClosed, both naming the panel's id;
  // destroyControl() with that id takes it down.
  virtual ControlId showMessagePanel(const MessagePanel& /*panel*/) { return 0; }
  // Shows `panel` likewise, its progress indication moving by itself until
  // destroyControl() takes it down; its button reports ButtonPressed and
  // closing it WindowClosed, both naming the panel's id. 0 when this backend
  // cannot show one.
  virtual ControlId showProgressPanel(const ProgressPanel& /*panel*/) { return 0; }

  virtual void showWindow(ControlId window) = 0;  // make key and order front
  virtual void orderOut(ControlId window) = 0;    // hide without closing
  virtual void activate() = 0;                    // bring the agent's windows forward

  // Events arrive on the run loop's thread while the modal mode runs.
  virtual void setEventHandler(std::function<void(const BackendEvent&)> handler) = 0;
  // false once the backend is lost: nothing more will be shown.
  virtual bool isAlive() const = 0;
  // Ends the drawing session for good (the dialog is over): what it holds,
  // such as a helper process, goes now; later calls do nothing.
  virtual void close() {}
};

// The backend that new windows use. Set by the application object; tests
// install an in-memory one.
std::shared_ptr<Backend> currentBackend();
void setCurrentBackend(std::shared_ptr<Backend> backend);

// What applicationLoad() installs when no backend is current: in the agent the
// dialog helper client. Without a factory, or when it gives none, no dialog
// can be shown and every dialog answers as a refusal.
using BackendFactory = std::function<std::shared_ptr<Backend>()>;
void setDefaultBackendFactory(BackendFactory factory);
std::shared_ptr<Backend> makeDefaultBackend();

}  // namespace cw::ui

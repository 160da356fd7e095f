#pragma once

#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Platform/RunLoop.h"
#include "UI/Backend.h"

namespace cw::ui {

// A backend that draws nothing: it records every control and measures text
// with fixed metrics, so that tests see exact, machine-independent frames.
// Scripted steps (presses, closes, arbitrary calls) run one tick apart from a
// timer in the modal run-loop mode while a window is shown, which is how a
// test ends a modal loop without waiting for anything.
class MemoryBackend : public Backend {
public:
  // Every character (code point) is this wide; a line of text this high.
  static constexpr double kCharacterWidth = 7;
  static constexpr double kLineHeight = 17;
  // A text field's text sits this far inside its frame, on each side.
  static constexpr double kTextFieldInset = 2;
  // A button's title sits this far inside its frame, left and right.
  static constexpr double kButtonInset = 12;
  static constexpr double kButtonHeight = 32;

  struct Control {
    ControlId id = 0;
    ControlKind kind = ControlKind::View;
    ControlId parent = 0;
    Rect frame;
    std::string text;
    std::optional<Color> textColor;  // absent: never set
    std::string keyEquivalent;
    bool bold = false;
    double pointSize = 13;
    bool wraps = false;
    bool hidden = false;         // setHidden()
    bool visible = false;        // windows only
    bool messagePanel = false;   // windows only: made by showMessagePanel()
    bool progressPanel = false;  // windows only: made by showProgressPanel()
    bool selectable = false;     // text fields of a message panel
  };

  MemoryBackend() = default;
  ~MemoryBackend() override;

  // Backend
  ControlId createControl(ControlKind kind, ControlId parent, const Rect& frame) override;
  void destroyControl(ControlId control) override;
  void setFrame(ControlId control, const Rect& frame) override;
  void setText(ControlId control, std::string_view text) override;
  void setTextColor(ControlId control, const Color& color) override;
  void setKeyEquivalent(ControlId control, std::string_view key) override;
  void setTextStyle(ControlId control, bool bold, double pointSize, bool wraps) override;
  void setHidden(ControlId control, bool hidden) override;
  Size fittingSize(ControlId control) override;
  Size cellSizeForBounds(ControlId control, const Rect& bounds) override;
  Size screenSize() override { return screenSize_; }
  void setScreenSize(Size size) { screenSize_ = size; }
  ControlId showMessagePanel(const MessagePanel& panel) override;
  ControlId showProgressPanel(const ProgressPanel& panel) override;
  void showWindow(ControlId window) override;
  void orderOut(ControlId window) override;
  void activate() override { ++activateCount_; }
  void setEventHandler(std::function<void(const BackendEvent&)> handler) override { handler_ = std::move(handler); }
  bool isAlive() const override { return alive_; }

  // The fixed metrics: the size `text` takes in one line, and in lines no
  // wider than `width` (word-wrapped; a word too long breaks anywhere).
  static Size textSize(std::string_view text);
  static Size wrappedTextSize(std::string_view text, double width);

  // What was recorded. Destroyed controls are gone.
  const Control* control(ControlId id) const;
  std::vector<const Control*> controls(ControlKind kind) const;
  std::vector<const Control*> visibleWindows() const;
  // The button with that title, not hidden, in a visible window, or nullptr.
  const Control* visibleButtonWithTitle(std::string_view title) const;
  // The window a control lies in (itself for a window), or 0.
  ControlId windowContaining(ControlId control) const;
  std::size_t liveControlCount() const { return controls_.size(); }
  int showCount() const { return showCount_; }
  int activateCount() const { return activateCount_; }
  bool hasEventHandler() const { return static_cast<bool>(handler_); }

  // At once, on the loop's thread. False when nothing fits: no such button or
  // key in a visible window.
  bool pressButtonWithTitle(std::string_view title);
  bool pressKey(std::string_view key);  // "\r", "\x1b"
  // The user closes the window (it is hidden and the agent told).
  void closeWindow(ControlId window);
  // The drawing side goes away (helper died, display lost).
  void lose();

  // Scripted steps, each run `ticks` ticks after the step before it (the
  // first after the next window is shown). A step that finds nothing to press
  // is noted in scriptFailures() and closes the front window instead, so that
  // a test fails rather than hangs.
  void pressButtonAfterTicks(std::string title, int ticks = 0);
  void pressKeyAfterTicks(std::string key, int ticks = 0);
  void closeFrontWindowAfterTicks(int ticks = 0);
  void loseAfterTicks(int ticks = 0);
  void runAfterTicks(int ticks, std::function<void()> step);
  std::size_t pendingSteps() const { return script_.size(); }
  // From inside a step that runs a loop of its own (a work nested in the
  // dialog): the steps after it go on meanwhile.
  void resumeScript() { schedulePump(); }
  const std::vector<std::string>& scriptFailures() const { return scriptFailures_; }

private:
  struct Step {
    int ticks = 0;
    std::function<void()> action;
  };

  Control* find(ControlId id);
  const Control* windowOf(const Control& control) const;
  void deliver(const BackendEvent& event);
  // What a press of `button` reports: the button, or the message panel it is in.
  ControlId pressedId(const Control& button) const;
  void failStep(std::string message);
  void schedulePump();
  void pump();

  std::map<ControlId, Control> controls_;
  ControlId nextId_ = 1;
  std::function<void(const BackendEvent&)> handler_;
  bool alive_ = true;
  int showCount_ = 0;
  int activateCount_ = 0;
  std::deque<Step> script_;
  std::vector<std::string> scriptFailures_;
  RunLoop::SourceHandle pumpTimer_;
  Size screenSize_{1024, 768};
};

}  // namespace cw::ui

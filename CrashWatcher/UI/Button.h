#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "UI/LayoutOwner.h"
#include "UI/View.h"

namespace cw::ui {

// A push button that sends its action to its target when pressed.
class Button : public View {
public:
  Button(CreationToken token, std::shared_ptr<Backend> backend, ControlKind kind, ControlId parent, const Rect& frame);

  static std::shared_ptr<Button> create(View& superview, const Rect& frame);

  const std::string& title() const { return title_; }
  void setTitle(std::string_view title);

  // "\r" for Return, "\x1b" for Escape; empty for none.
  const std::string& keyEquivalent() const { return keyEquivalent_; }
  void setKeyEquivalent(std::string_view key);

  // The target is not owned: a button never keeps its layout's owner alive.
  void setTarget(std::weak_ptr<LayoutOwner> target) { target_ = std::move(target); }
  std::shared_ptr<LayoutOwner> target() const { return target_.lock(); }
  void setAction(std::string_view selector) { action_ = std::string(selector); }
  const std::string& action() const { return action_; }

  // Sends the action to the target, the button as sender; false when there is
  // no action, the target is gone or it does not answer to the action.
  bool performClick();

  // Resizes the button to the natural size of its title; the origin stays.
  void sizeToFit();

  std::string description() const override;

private:
  std::string title_;
  std::string keyEquivalent_;
  std::weak_ptr<LayoutOwner> target_;
  std::string action_;
};

}  // namespace cw::ui

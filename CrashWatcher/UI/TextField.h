#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "UI/View.h"

namespace cw::ui {

class ValueBinding;

// A text field; in the dialog, a label that shows text but takes no input.
class TextField : public View {
public:
  TextField(CreationToken token, std::shared_ptr<Backend> backend, ControlKind kind, ControlId parent,
            const Rect& frame);
  ~TextField() override;

  static std::shared_ptr<TextField> create(View& superview, const Rect& frame);

  const std::string& stringValue() const { return stringValue_; }
  void setStringValue(std::string_view text);

  // The layout's colour until something sets another.
  Color textColor() const { return textColor_; }
  void setTextColor(const Color& color);

  void setTextStyle(bool bold, double pointSize, bool wraps);
  bool isBold() const { return bold_; }
  double pointSize() const { return pointSize_; }
  bool wraps() const { return wraps_; }

  // Resizes the field to the natural size of its text; the origin stays.
  void sizeToFit();
  // The size the text needs drawn inside `bounds`; with an unbounded height,
  // the height it needs at that width.
  Size cellSizeForBounds(const Rect& bounds) const;

  // The binding that keeps the text in step with an owner's key; it goes with
  // the field.
  void setValueBinding(std::unique_ptr<ValueBinding> binding);
  const ValueBinding* valueBinding() const { return binding_.get(); }

  std::string description() const override;

private:
  std::string stringValue_;
  Color textColor_ = Color::controlTextColor();
  bool bold_ = false;
  double pointSize_ = 13;
  bool wraps_ = false;
  std::unique_ptr<ValueBinding> binding_;
};

}  // namespace cw::ui

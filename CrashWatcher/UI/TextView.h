#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "UI/View.h"

namespace cw::ui {

// A read-only area of monospace text that scrolls both ways when its text is
// larger than its frame; the user can select and copy from it, never edit.
// Its text is shown as it stands: no line is wrapped.
class TextView : public View {
public:
  TextView(CreationToken token, std::shared_ptr<Backend> backend, ControlKind kind, ControlId parent,
           const Rect& frame);

  static std::shared_ptr<TextView> create(View& superview, const Rect& frame);

  const std::string& string() const { return string_; }
  void setString(std::string_view text);

  double pointSize() const { return pointSize_; }
  void setPointSize(double pointSize);

  std::string description() const override;

private:
  std::string string_;
  double pointSize_ = 11;
};

}  // namespace cw::ui

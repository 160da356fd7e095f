#include "ResizabilityExtensions.h"

#include <algorithm>

namespace cw::ResizabilityExtentions {

void breakpad_shiftVertically(ui::View& view, double offset) {
  const ui::Rect frame = view.frame();
  view.setFrameOrigin(ui::Point{frame.origin.x, frame.origin.y + offset});
}

void breakpad_shiftHorizontally(ui::View& view, double offset) {
  const ui::Rect frame = view.frame();
  view.setFrameOrigin(ui::Point{frame.origin.x + offset, frame.origin.y});
}

void breakpad_adjustHeight(ui::Window& window, double heightChange) {
  ui::View& content = *window.contentView();
  content.setAutoresizesSubviews(false);
  const ui::Rect frame = window.frame();
  window.setFrameDisplay(
      ui::makeRect(frame.origin.x, frame.origin.y, frame.size.width, frame.size.height + heightChange), true);
  content.setFrameOrigin(ui::Point{0, 0});
  content.setAutoresizesSubviews(true);
}

double breakpad_adjustHeightToFit(ui::TextField& field) {
  const ui::Rect frame = field.frame();
  const double height =
      field.cellSizeForBounds(ui::makeRect(frame.origin.x, frame.origin.y, frame.size.width, kUnboundedHeight)).height;
  field.setFrame(ui::makeRect(frame.origin.x, frame.origin.y, frame.size.width, height));
  return height - frame.size.height;
}

double breakpad_adjustWidthToFit(ui::TextField& field) {
  const double oldWidth = field.frame().size.width;
  field.sizeToFit();
  return field.frame().size.width - oldWidth;
}

double breakpad_smartSizeToFit(ui::Button& button) {
  const ui::Rect before = button.frame();
  button.sizeToFit();
  const ui::Rect fitted = button.frame();
  const double width = std::max(kMinimumButtonWidth, fitted.size.width + kButtonPadding);
  button.setFrame(
      ui::makeRect(before.origin.x + before.size.width - width, fitted.origin.y, width, fitted.size.height));
  return width - before.size.width;
}

}  // namespace cw::ResizabilityExtentions

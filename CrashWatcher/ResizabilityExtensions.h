#pragma once

#include "UI/Button.h"
#include "UI/TextField.h"
#include "UI/View.h"
#include "UI/Window.h"

// Moving controls and fitting them to their text. Each answers by how much the
// control changed (new minus old, in points), so that callers can move its
// neighbours along. The view classes know nothing of these: they are free
// functions over the classes' own operations.
namespace cw::ResizabilityExtentions {

// The height that stands for "unbounded" when asking how tall text is: the
// largest finite single-precision value.
inline constexpr double kUnboundedHeight = 3.4028234663852886e+38;
// A fitted button is never narrower than this...
inline constexpr double kMinimumButtonWidth = 70;
// ...and gets this much room beside its fitted title.
inline constexpr double kButtonPadding = 12;

// Moves the view by `offset` points, up for a positive one; its size stays.
void breakpad_shiftVertically(ui::View& view, double offset);
// Moves the view by `offset` points, right for a positive one; its size stays.
void breakpad_shiftHorizontally(ui::View& view, double offset);
// Grows the window by `heightChange` at its top; its bottom edge and its
// controls, measured from the bottom of the content view, stay. Subview
// resizing of the content view is on afterwards.
void breakpad_adjustHeight(ui::Window& window, double heightChange);
// Fits the field's height to its text at its present width; the bottom edge
// stays. Answers the change of height.
double breakpad_adjustHeightToFit(ui::TextField& field);
// Fits the field to its text as sizeToFit does (the left edge stays). Answers
// the change of width.
double breakpad_adjustWidthToFit(ui::TextField& field);
// Fits the button to its title plus padding, at least the minimum width,
// keeping its right edge: it grows or shrinks to the left. Answers the change
// of width.
double breakpad_smartSizeToFit(ui::Button& button);

}  // namespace cw::ResizabilityExtentions

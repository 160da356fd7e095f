#include <gtest/gtest.h>

#include "ResizabilityExtensions.h"
#include "UiTestSupport.h"

namespace cw {
namespace {

using namespace ResizabilityExtentions;
using ui::makeRect;
using ui::Rect;
using ui::Size;

// Fits every control to a size the test chooses, and records what
// cellSizeForBounds was asked.
class FittingBackend : public ui::MemoryBackend {
public:
  Size fit{100, 32};
  std::optional<Rect> askedBounds;

  Size fittingSize(ui::ControlId) override { return fit; }
  Size cellSizeForBounds(ui::ControlId control, const Rect& bounds) override {
    askedBounds = bounds;
    return MemoryBackend::cellSizeForBounds(control, bounds);
  }
};

class ResizabilityExtensionsTest : public ::testing::Test {
protected:
  std::shared_ptr<FittingBackend> backend = std::make_shared<FittingBackend>();
  test::ScopedMemoryBackend installed{backend};
  std::shared_ptr<ui::Window> window = ui::Window::create(makeRect(100, 100, 500, 300));

  std::shared_ptr<ui::Button> button(const Rect& frame) { return ui::Button::create(*window->contentView(), frame); }
};

TEST_F(ResizabilityExtensionsTest, SmartSizeToFitKeepsTheRightEdgeAndAddsPadding) {
  struct Case {
    double startWidth;
    double fittedWidth;
    double endWidth;
    double fittedHeight;  // the height is the fitting one, taller or lower
  };
  for (const Case c : {Case{80, 100, 112, 32}, Case{80, 40, 70, 32}, Case{80, 58, 70, 32}, Case{112, 100, 112, 32},
                       Case{80, 100, 112, 21}}) {
    SCOPED_TRACE(testing::Message() << c.startWidth << " fitting " << c.fittedWidth << "x" << c.fittedHeight);
    backend->fit = Size{c.fittedWidth, c.fittedHeight};
    const auto b = button(makeRect(200, 10, c.startWidth, 25));
    const double change = breakpad_smartSizeToFit(*b);
    EXPECT_DOUBLE_EQ(change, c.endWidth - c.startWidth);
    EXPECT_EQ(b->frame(), makeRect(200 + c.startWidth - c.endWidth, 10, c.endWidth, c.fittedHeight));
    // The backend draws what the button holds.
    EXPECT_EQ(backend->control(b->controlId())->frame, b->frame());
  }
}

TEST_F(ResizabilityExtensionsTest, ShiftsMoveWithoutResizing) {
  const auto b = button(makeRect(50, 60, 80, 32));
  breakpad_shiftHorizontally(*b, 0);
  EXPECT_EQ(b->frame(), makeRect(50, 60, 80, 32));
  breakpad_shiftHorizontally(*b, -32);
  EXPECT_EQ(b->frame(), makeRect(18, 60, 80, 32));
  breakpad_shiftVertically(*b, -5);
  EXPECT_EQ(b->frame(), makeRect(18, 55, 80, 32));
  breakpad_shiftVertically(*b, 7.5);
  EXPECT_EQ(b->frame(), makeRect(18, 62.5, 80, 32));
}

TEST_F(ResizabilityExtensionsTest, CancelFollowsSendAndKeepsItsGap) {
  // The real metrics: titles measured at 7 points a character.
  ui::setCurrentBackend(std::make_shared<ui::MemoryBackend>());
  const auto w = ui::Window::create(makeRect(0, 0, 500, 300));
  const auto send = ui::Button::create(*w->contentView(), makeRect(386, 12, 100, 32));
  const auto cancel = ui::Button::create(*w->contentView(), makeRect(274, 12, 100, 32));
  const double gap = send->frame().origin.x - (cancel->frame().origin.x + cancel->frame().size.width);

  send->setTitle("Send the Crash Report Now");  // 25 characters: 175 + 24 fitted, 211 with padding
  const double growth = breakpad_smartSizeToFit(*send);
  EXPECT_DOUBLE_EQ(growth, 111);
  breakpad_shiftHorizontally(*cancel, -growth);
  cancel->setTitle("No");  // fits in 38: the minimum of 70
  breakpad_smartSizeToFit(*cancel);

  EXPECT_DOUBLE_EQ(send->frame().origin.x + send->frame().size.width, 486);
  EXPECT_DOUBLE_EQ(cancel->frame().size.width, 70);
  EXPECT_DOUBLE_EQ(send->frame().origin.x - (cancel->frame().origin.x + cancel->frame().size.width), gap);
}

TEST_F(ResizabilityExtensionsTest, AdjustHeightToFitGrowsAndShrinksFromTheBottomEdge) {
  ui::setCurrentBackend(std::make_shared<ui::MemoryBackend>());
  const auto w = ui::Window::create(makeRect(0, 0, 500, 300));
  const auto field = ui::TextField::create(*w->contentView(), makeRect(20, 100, 100, 21));
  field->setTextStyle(false, 13, true);
  // 13 characters a line at this width: three lines, 3 * 17 + 4 points.
  field->setStringValue("aaaa bbbb cccc dddd eeee");
  EXPECT_DOUBLE_EQ(breakpad_adjustHeightToFit(*field), 34);
  EXPECT_EQ(field->frame(), makeRect(20, 100, 100, 55));

  field->setStringValue("aaaa");
  EXPECT_DOUBLE_EQ(breakpad_adjustHeightToFit(*field), -34);
  EXPECT_EQ(field->frame(), makeRect(20, 100, 100, 21));
}

TEST_F(ResizabilityExtensionsTest, AdjustHeightToFitAsksWithAnUnboundedHeightAtTheFieldsWidth) {
  const auto field = ui::TextField::create(*window->contentView(), makeRect(20, 100, 150, 21));
  breakpad_adjustHeightToFit(*field);
  ASSERT_TRUE(backend->askedBounds);
  EXPECT_EQ(*backend->askedBounds, makeRect(20, 100, 150, 3.4028234663852886e+38));
}

TEST_F(ResizabilityExtensionsTest, AdjustWidthToFitKeepsTheLeftEdge) {
  ui::setCurrentBackend(std::make_shared<ui::MemoryBackend>());
  const auto w = ui::Window::create(makeRect(0, 0, 500, 300));
  const auto field = ui::TextField::create(*w->contentView(), makeRect(20, 100, 100, 21));
  field->setStringValue("abc");  // 3 * 7 + 4
  EXPECT_DOUBLE_EQ(breakpad_adjustWidthToFit(*field), -75);
  EXPECT_EQ(field->frame(), makeRect(20, 100, 25, 21));
}

TEST_F(ResizabilityExtensionsTest, AdjustHeightMovesTheTopEdgeAndResetsTheContentView) {
  const auto b = button(makeRect(30, 12, 80, 32));
  for (const double change : {50.0, 0.0, -20.0}) {
    SCOPED_TRACE(change);
    const Rect before = window->frame();
    window->contentView()->setFrameOrigin(ui::Point{5, 7});
    window->contentView()->setAutoresizesSubviews(false);
    breakpad_adjustHeight(*window, change);
    EXPECT_EQ(window->frame(),
              makeRect(before.origin.x, before.origin.y, before.size.width, before.size.height + change));
    EXPECT_EQ(window->contentView()->frame().origin, (ui::Point{0, 0}));
    EXPECT_DOUBLE_EQ(window->contentView()->frame().size.height, before.size.height + change);
    EXPECT_TRUE(window->contentView()->autoresizesSubviews());
    EXPECT_EQ(b->frame(), makeRect(30, 12, 80, 32));
    EXPECT_EQ(backend->control(window->controlId())->frame, window->frame());
  }
}

TEST_F(ResizabilityExtensionsTest, AdjustHeightOfAWindowWithNoHeight) {
  const auto flat = ui::Window::create(makeRect(10, 20, 300, 0));
  breakpad_adjustHeight(*flat, 0);
  EXPECT_EQ(flat->frame(), makeRect(10, 20, 300, 0));
  breakpad_adjustHeight(*flat, 40);
  EXPECT_EQ(flat->frame(), makeRect(10, 20, 300, 40));
  EXPECT_EQ(flat->contentView()->frame(), makeRect(0, 0, 300, 40));
}

}  // namespace
}  // namespace cw

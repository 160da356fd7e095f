#include "wayland/WaylandTestSupport.h"

#include <algorithm>
#include <chrono>
#include <thread>
#include <vector>

#include "dialog/DialogTestSupport.h"

namespace cw::test {
namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kWindowGuard = std::chrono::seconds(30);

bool isLit(Screenshot::Pixel pixel) {
  return std::max({pixel.red, pixel.green, pixel.blue}) > 24;
}

}  // namespace

std::optional<PixelRect> litArea(const Screenshot& shot) {
  // Rows and columns count only with a window's worth of lit pixels, so that
  // the pointer's cursor, wherever it is, stays out.
  constexpr int kMinimumRun = 100;
  std::vector<int> litInRow(static_cast<std::size_t>(shot.height)), litInColumn(static_cast<std::size_t>(shot.width));
  for (int y = 0; y < shot.height; ++y)
    for (int x = 0; x < shot.width; ++x)
      if (isLit(shot.at(x, y))) {
        ++litInRow[static_cast<std::size_t>(y)];
        ++litInColumn[static_cast<std::size_t>(x)];
      }
  const auto span = [](const std::vector<int>& counts) {
    int first = -1, last = -1;
    for (std::size_t i = 0; i < counts.size(); ++i)
      if (counts[i] >= kMinimumRun) {
        if (first < 0) first = static_cast<int>(i);
        last = static_cast<int>(i);
      }
    return std::pair{first, last};
  };
  const auto [top, bottom] = span(litInRow);
  const auto [left, right] = span(litInColumn);
  if (top < 0 || left < 0) return std::nullopt;
  return PixelRect{left, top, right - left + 1, bottom - top + 1};
}

std::optional<PixelRect> waitForWindow(const WestonCompositor& compositor, int width, int height) {
  const auto deadline = Clock::now() + kWindowGuard;
  while (Clock::now() < deadline) {
    if (const auto shot = compositor.screenshot())
      if (const auto area = litArea(*shot); area && area->width == width && area->height >= height)
        return PixelRect{area->x, area->y + area->height - height, width, height};
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return std::nullopt;
}

std::optional<PixelRect> waitForAnyWindow(const WestonCompositor& compositor) {
  const auto deadline = Clock::now() + kWindowGuard;
  while (Clock::now() < deadline) {
    if (const auto shot = compositor.screenshot())
      if (const auto area = litArea(*shot)) return area;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return std::nullopt;
}

bool isAccentBlue(Screenshot::Pixel pixel) {
  return pixel.blue > 150 && pixel.blue > pixel.red + 80;
}

bool isText(Screenshot::Pixel pixel) {
  // Dark, or the grey of a window without the focus (no seat, no focus).
  return std::max({pixel.red, pixel.green, pixel.blue}) < 190;
}

int countPixels(const Screenshot& shot, const PixelRect& area, bool (*matches)(Screenshot::Pixel)) {
  int count = 0;
  for (int y = area.y; y < area.y + area.height; ++y)
    for (int x = area.x; x < area.x + area.width; ++x)
      if (matches(shot.at(x, y))) ++count;
  return count;
}

std::unique_ptr<XvfbServer> WaylandTest::xvfb_;
std::unique_ptr<WestonCompositor> WaylandTest::headless_;
std::unique_ptr<WestonCompositor> WaylandTest::seated_;

void WaylandTest::SetUpTestSuite() {
  xvfb_ = std::make_unique<XvfbServer>();
  headless_ = std::make_unique<WestonCompositor>();
  seated_ = std::make_unique<WestonCompositor>(xvfb_->display());
}

void WaylandTest::TearDownTestSuite() {
  seated_.reset();
  headless_.reset();
  xvfb_.reset();
}

void WaylandTest::SetUp() {
  ASSERT_TRUE(headless_->running()) << "headless weston did not start:\n" << headless_->log();
  ASSERT_TRUE(seated_->running()) << "weston on Xvfb did not start:\n" << seated_->log();
  isolateFromSession(environment_, runtime_);
  for (const char* name : {"DISPLAY", "XAUTHORITY", "GDK_BACKEND", "WAYLAND_DISPLAY"})
    environment_.push_back(std::make_unique<ScopedEnv>(name, nullptr));
  parkPointer();
}

void WaylandTest::useCompositor(const WestonCompositor& compositor) {
  environment_.push_back(std::make_unique<ScopedEnv>("WAYLAND_DISPLAY", compositor.socket().c_str()));
}

bool WaylandTest::clickAt(int x, int y) {
  const std::string display = "DISPLAY=" + seated_->xDisplay();
  const bool clicked = runTool({display, "xdotool", "mousemove", "--sync", "--window", seated_->xWindow(),
                                std::to_string(x), std::to_string(y), "click", "1"})
                           .status == 0;
  parkPointer();
  return clicked;
}

void WaylandTest::parkPointer() {
  // Beyond the compositor's window: its cursor is no lit part of the output.
  runTool({"DISPLAY=" + seated_->xDisplay(), "xdotool", "mousemove", "1000", "750"});
}

bool WaylandTest::typeKeys(const std::vector<std::string>& keys) {
  const std::string display = "DISPLAY=" + seated_->xDisplay();
  if (runTool({display, "xdotool", "windowfocus", "--sync", seated_->xWindow()}).status != 0) return false;
  std::vector<std::string> command{display, "xdotool", "key"};
  command.insert(command.end(), keys.begin(), keys.end());
  return runTool(command).status == 0;
}

}  // namespace cw::test

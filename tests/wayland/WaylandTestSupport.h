#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "dialog/XvfbServer.h"
#include "support/TestSupport.h"
#include "wayland/WestonCompositor.h"

namespace cw::test {

// A window's place on the output, top left origin as on screen.
struct PixelRect {
  int x = 0, y = 0, width = 0, height = 0;
};

// The lit part of the output: the shell leaves everything else black.
std::optional<PixelRect> litArea(const Screenshot& shot);
// Waits (hang guard only) until the output shows one window whose content
// has the given size, and answers where that content lies (below the title
// bar GTK draws itself on Wayland); absent if it never does.
std::optional<PixelRect> waitForWindow(const WestonCompositor& compositor, int width, int height);
// Waits for any window; its place, absent if none shows.
std::optional<PixelRect> waitForAnyWindow(const WestonCompositor& compositor);

// Pixels of the suggested action's blue (Send), and of text (dark on the
// light dialog).
bool isAccentBlue(Screenshot::Pixel pixel);
bool isText(Screenshot::Pixel pixel);
int countPixels(const Screenshot& shot, const PixelRect& area, bool (*matches)(Screenshot::Pixel));

// Every Wayland test: two weston compositors for the whole suite, one
// headless (no seat) and one with a keyboard and pointer on a private Xvfb;
// a temporary HOME, and the session kept out as for the X11 tests. No
// DISPLAY and no GDK_BACKEND: GTK chooses Wayland by itself.
class WaylandTest : public ::testing::Test {
protected:
  static void SetUpTestSuite();
  static void TearDownTestSuite();
  void SetUp() override;

  static const WestonCompositor& headless() { return *headless_; }
  static const WestonCompositor& seated() { return *seated_; }
  // Makes `compositor` the one GTK connects to, for the rest of the test.
  void useCompositor(const WestonCompositor& compositor);
  // xdotool on the seated compositor's X server: a click at a point of the
  // output, and keys typed into it.
  static bool clickAt(int x, int y);
  static bool typeKeys(const std::vector<std::string>& keys);
  static void parkPointer();

private:
  static std::unique_ptr<XvfbServer> xvfb_;
  static std::unique_ptr<WestonCompositor> headless_;
  static std::unique_ptr<WestonCompositor> seated_;

  TempHome home_;
  TempDir runtime_;
  std::vector<std::unique_ptr<ScopedEnv>> environment_;
};

}  // namespace cw::test

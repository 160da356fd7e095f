#pragma once

#include <optional>
#include <string>

#include "UI/HelperProcess.h"
#include "support/TestSupport.h"

namespace cw::test {

// The output as weston's screenshooter saw it: 8-bit RGB, rows top down.
struct Screenshot {
  int width = 0;
  int height = 0;
  std::string rgb;

  struct Pixel {
    int red, green, blue;
  };
  Pixel at(int x, int y) const;
};

// A Wayland compositor of the test's own: Debian's weston with the pixman
// renderer and its desktop shell on a black output, its socket in a private
// runtime folder.
// Headless it offers no seat at all, as some compositors do; on an X server
// it has the keyboard and pointer of its window there, which xdotool drives.
class WestonCompositor {
public:
  // Headless when `xDisplay` is empty.
  explicit WestonCompositor(std::string xDisplay = {});
  ~WestonCompositor();
  WestonCompositor(const WestonCompositor&) = delete;
  WestonCompositor& operator=(const WestonCompositor&) = delete;

  bool running() const { return !socket_.empty(); }
  // The absolute path of the socket: what WAYLAND_DISPLAY names.
  const std::string& socket() const { return socket_; }
  const std::string& xDisplay() const { return xDisplay_; }
  // The X window that shows the output (X server only), else empty.
  std::string xWindow() const;
  // The whole output now; absent when the screenshooter failed.
  std::optional<Screenshot> screenshot() const;
  // The compositor's own log, for failure messages.
  std::string log() const;

private:
  TempDir runtime_;
  std::string xDisplay_;
  std::optional<ui::HelperProcess> process_;
  std::string socket_;
};

}  // namespace cw::test

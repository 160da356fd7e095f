#pragma once

#include <optional>
#include <string>

#include "UI/HelperProcess.h"

namespace cw::test {

// An X server of the test's own: Xvfb picks a free display number and tells
// us through -displayfd, so parallel test runs never collide.
class XvfbServer {
public:
  XvfbServer();
  ~XvfbServer();
  XvfbServer(const XvfbServer&) = delete;
  XvfbServer& operator=(const XvfbServer&) = delete;

  // ":N", or empty when the server did not come up.
  const std::string& display() const { return display_; }

private:
  std::optional<ui::HelperProcess> process_;
  std::string display_;
};

}  // namespace cw::test

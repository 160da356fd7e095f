#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <string_view>

#include "Platform/RunLoop.h"
#include "Platform/UniqueFd.h"

namespace cw::test {

// Only a guard against a hang: tests never depend on how long things take.
inline constexpr std::chrono::seconds kHangGuard{30};

// Serves `mode` until `done()` holds; false if the hang guard ran out first.
template <typename Done>
bool serveUntil(RunLoop& loop, std::string_view mode, Done done) {
  const auto giveUp = std::chrono::steady_clock::now() + kHangGuard;
  while (!done()) {
    if (std::chrono::steady_clock::now() > giveUp) return false;
    loop.runOnce(mode, std::chrono::milliseconds(100));
  }
  return true;
}

// A pipe that is readable once written to, for fd sources.
struct TestPipe {
  UniqueFd read;
  UniqueFd write;
  TestPipe() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0) {
      read.reset(fds[0]);
      write.reset(fds[1]);
    }
  }
  void poke() const { (void)!::write(write.get(), "x", 1); }
  void drain() const {
    char buffer[64];
    while (::read(read.get(), buffer, sizeof buffer) > 0) {
    }
  }
};

}  // namespace cw::test

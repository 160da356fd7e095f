#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <string_view>

#include "Platform/ChildProcess.h"
#include "Platform/Posix.h"
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

// The child of a spawn that a test counts on; on failure the test fails and
// an owner of none stands in.
inline ChildProcess spawned(SystemResult<ChildProcess> spawn) {
  if (spawn) return std::move(*spawn);
  ADD_FAILURE() << "the child could not be started: " << spawn.reason();
  return {};
}

// Waits up to `wait` for `child` to end by itself, without reaping it (its
// owner then reaps it, killing what is left of its group): on its pidfd, or
// by looking every 10 ms without one. For fixtures that give a server time to
// leave in order; the agent itself never blocks on a child's end.
inline bool awaitChildEnd(const ChildProcess& child, std::chrono::milliseconds wait) {
  const auto deadline = std::chrono::steady_clock::now() + wait;
  while (!child.hasExited()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    pollfd entry{child.pidfd(), POLLIN, 0};
    if (child.pidfd() >= 0)
      ::poll(&entry, 1, posix::pollTimeoutUntil(deadline));
    else
      ::poll(nullptr, 0, 10);
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

#pragma once

#include <chrono>
#include <string_view>

#include "Platform/RunLoop.h"

namespace cw {

// Time that passes only when told, for tests: while it lives, the loop's
// timers go by it (countdowns, back-offs, time limits fall due when it is
// advanced past them, without waiting); descriptors are still served as they
// become ready. A run with nothing but timers to wait for lets time pass to
// the next one at once, as it would on the real clock. One at a time per loop.
class VirtualTime {
public:
  explicit VirtualTime(RunLoop& loop = RunLoop::current());
  ~VirtualTime();
  VirtualTime(const VirtualTime&) = delete;
  VirtualTime& operator=(const VirtualTime&) = delete;

  // Moves time on by `by`, firing every timer that falls due on the way at its
  // own time, in order, in `mode`: by default the innermost running mode, or
  // the default mode outside any run. Timers of other modes fire when one of
  // their modes runs next, as on the real clock.
  void advance(std::chrono::duration<double> by, std::string_view mode = {});
  RunLoop::Clock::time_point now() const { return loop_.now(); }

private:
  RunLoop& loop_;
};

}  // namespace cw

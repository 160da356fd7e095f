#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>

#include "Platform/ChildProcess.h"
#include "Platform/RunLoop.h"

namespace cw {

// Collects the children that nobody waits for (a URL opener, say, or a
// helper that was asked to quit), so that none lingers as a zombie. Each
// child's end is watched on the thread's run loop in every mode and reaped as
// soon as it ends; no SIGCHLD handler is involved, and other children are
// never touched.
class ChildReaper {
public:
  // The calling thread's reaper, serving that thread's run loop.
  static ChildReaper& current();

  ~ChildReaper();
  ChildReaper(const ChildReaper&) = delete;
  ChildReaper& operator=(const ChildReaper&) = delete;

  // Takes charge of a started child that nobody else waits for and that may
  // outlive us (a mail program being opened); `whenReaped`, if given, learns
  // how it ended once it is reaped (never when the reaper goes first and
  // leaves it running).
  void reapWhenDone(ChildProcess child, std::function<void(const ChildProcess&)> whenReaped = {});
  // Takes charge of a child of ours that was asked to quit: it has `grace` to
  // end by itself, then its group is killed; it is reaped either way, while
  // the run loop goes on serving everything else. It never outlives the
  // reaper: when the reaper goes, it is killed and reaped.
  void killUnlessDoneWithin(ChildProcess child, std::chrono::milliseconds grace,
                            std::function<void(const ChildProcess&)> whenReaped = {});
  // Children taken in charge and not yet reaped.
  std::size_t pendingCount() const { return children_.size(); }

private:
  ChildReaper();

  struct Child {
    ChildProcess process;
    std::function<void(const ChildProcess&)> whenReaped;
    // Set for a child that is ours to end: its kill after the grace.
    RunLoop::SourceHandle killTimer;
    bool ours = false;
  };

  // The key of a child taken in charge; 0 when it had ended already (and was
  // reaped and reported at once) or never started.
  std::uint64_t takeCharge(ChildProcess process, std::function<void(const ChildProcess&)> whenReaped);
  void collect(std::uint64_t key);

  // Constructed before the reaper, so it outlives it and every source it holds.
  RunLoop& loop_;
  std::map<std::uint64_t, Child> children_;
  std::uint64_t nextKey_ = 1;
};

}  // namespace cw

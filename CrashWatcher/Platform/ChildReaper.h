#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <map>

#include "Platform/RunLoop.h"
#include "Platform/UniqueFd.h"

namespace cw {

// Collects the children that nobody waits for (a URL opener, say), so that
// none lingers as a zombie. Each child is watched through a pidfd on the
// thread's run loop in every mode and reaped with waitid as soon as it ends;
// no SIGCHLD handler is involved, and other children are never touched.
class ChildReaper {
public:
  // The calling thread's reaper, serving that thread's run loop.
  static ChildReaper& current();

  ~ChildReaper();
  ChildReaper(const ChildReaper&) = delete;
  ChildReaper& operator=(const ChildReaper&) = delete;

  // Takes charge of `pid`, a child of this process that nobody else waits for.
  void reapWhenDone(pid_t pid);
  // Children taken in charge and not yet reaped.
  std::size_t pendingCount() const { return children_.size(); }

private:
  ChildReaper();

  struct Child {
    pid_t pid = -1;
    UniqueFd pidfd;  // invalid: watched by polling instead
    RunLoop::SourceId source = 0;
  };

  void collect(std::uint64_t key);

  // Constructed before the reaper, so it outlives it and every source it holds.
  RunLoop& loop_;
  std::map<std::uint64_t, Child> children_;
  std::uint64_t nextKey_ = 1;
};

}  // namespace cw

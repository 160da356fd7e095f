#include "Platform/ChildReaper.h"

#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

namespace cw {
namespace {

// Where pidfds are not available: how often to look whether the child ended.
constexpr double kPollIntervalSeconds = 0.5;

// True once the child is gone: reaped now, or not ours (any more) to reap.
bool tryReap(pid_t pid, int pidfd) {
  for (;;) {
    siginfo_t info{};
    const int result = pidfd >= 0 ? ::waitid(P_PIDFD, static_cast<id_t>(pidfd), &info, WEXITED | WNOHANG)
                                  : ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG);
    if (result == 0) return info.si_pid != 0;
    if (errno != EINTR) return true;  // ECHILD: there is nothing left to wait for
  }
}

}  // namespace

ChildReaper& ChildReaper::current() {
  // Per thread, like the run loop it serves, and made after that loop, so it
  // is destroyed first.
  static thread_local ChildReaper reaper;
  return reaper;
}

ChildReaper::ChildReaper() : loop_(RunLoop::current()) {}

ChildReaper::~ChildReaper() {
  // Children still running are left to init once we are gone.
  for (auto& [key, child] : children_) loop_.remove(child.source);
}

void ChildReaper::reapWhenDone(pid_t pid) {
  if (pid <= 0) return;
  const std::uint64_t key = nextKey_++;
  Child child;
  child.pid = pid;
  // A pidfd of a child that already ended is still valid and readable at once.
  // (glibc's <sys/pidfd.h> does not link from C++; pidfds are close-on-exec.)
  child.pidfd = UniqueFd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
  if (child.pidfd) {
    child.source = loop_.addFdSource(child.pidfd.get(), [this, key](short) { collect(key); }, {kCommonModes});
  } else {
    if (tryReap(pid, -1)) return;
    child.source = loop_.addTimer(kPollIntervalSeconds, true, [this, key] { collect(key); }, {kCommonModes});
  }
  children_.emplace(key, std::move(child));
}

void ChildReaper::collect(std::uint64_t key) {
  const auto found = children_.find(key);
  if (found == children_.end()) return;
  Child& child = found->second;
  if (!tryReap(child.pid, child.pidfd.get())) return;
  // The source goes before its descriptor is closed.
  loop_.remove(child.source);
  children_.erase(found);
}

}  // namespace cw

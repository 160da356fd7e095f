#include "Platform/ChildReaper.h"

namespace cw {
ChildReaper& ChildReaper::current() {
  // Per thread, like the run loop it serves, and made after that loop, so it
  // is destroyed first.
  static thread_local ChildReaper reaper;
  return reaper;
}

ChildReaper::ChildReaper() : loop_(RunLoop::current()) {}

ChildReaper::~ChildReaper() {
  // Children still running (a mail program being opened) are left to init
  // once we are gone, never killed.
  for (auto& [key, child] : children_) child.process.detach();
}

void ChildReaper::reapWhenDone(ChildProcess process, std::function<void(const ChildProcess&)> whenReaped) {
  if (!process.started()) return;
  if (process.tryReap()) {
    if (whenReaped) whenReaped(process);
    return;
  }
  const std::uint64_t key = nextKey_++;
  Child& child = children_[key];
  child.process = std::move(process);
  child.whenReaped = std::move(whenReaped);
  child.process.watchExit(loop_, {std::string(kCommonModes)}, [this, key] { collect(key); });
}

void ChildReaper::collect(std::uint64_t key) {
  const auto found = children_.find(key);
  if (found == children_.end() || !found->second.process.tryReap()) return;
  Child ended = std::move(found->second);
  children_.erase(found);
  if (ended.whenReaped) ended.whenReaped(ended.process);
}

}  // namespace cw

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
  // Children still running that may outlive us (a mail program being opened)
  // are left to init, never killed; ours go with us, killed and reaped by
  // their owner's end.
  for (auto& [key, child] : children_) {
    child.killTimer.reset();
    if (!child.ours) child.process.detach();
  }
  children_.clear();
}

void ChildReaper::reapWhenDone(ChildProcess process, std::function<void(const ChildProcess&)> whenReaped) {
  takeCharge(std::move(process), std::move(whenReaped));
}

void ChildReaper::killUnlessDoneWithin(ChildProcess process, std::chrono::milliseconds grace,
                                       std::function<void(const ChildProcess&)> whenReaped) {
  const std::uint64_t key = takeCharge(std::move(process), std::move(whenReaped));
  if (key == 0) return;
  Child& child = children_.at(key);
  child.ours = true;
  // Killed only: its end then comes through the exit watch like any other.
  child.killTimer = loop_.addTimer(std::chrono::duration<double>(grace).count(), false,
                                   [this, key] {
                                     if (const auto found = children_.find(key); found != children_.end())
                                       found->second.process.killGroup();
                                   },
                                   {kCommonModes});
}

std::uint64_t ChildReaper::takeCharge(ChildProcess process, std::function<void(const ChildProcess&)> whenReaped) {
  if (!process.started()) return 0;
  if (process.tryReap()) {
    if (whenReaped) whenReaped(process);
    return 0;
  }
  const std::uint64_t key = nextKey_++;
  Child& child = children_[key];
  child.process = std::move(process);
  child.whenReaped = std::move(whenReaped);
  child.process.watchExit(loop_, {std::string(kCommonModes)}, [this, key] { collect(key); });
  return key;
}

void ChildReaper::collect(std::uint64_t key) {
  const auto found = children_.find(key);
  if (found == children_.end() || !found->second.process.tryReap()) return;
  Child ended = std::move(found->second);
  children_.erase(found);
  if (ended.whenReaped) ended.whenReaped(ended.process);
}

}  // namespace cw

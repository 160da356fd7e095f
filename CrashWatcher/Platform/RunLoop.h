#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "Platform/UniqueFd.h"

namespace cw {

// Run-loop modes. A source or timer is scheduled in a set of modes and served
// only while the loop runs in one of them; otherwise its events wait.
inline constexpr std::string_view kDefaultRunLoopMode = "default";
inline constexpr std::string_view kModalPanelRunLoopMode = "modal";
// Scheduling in this pseudo-mode serves a source in every mode.
inline constexpr std::string_view kCommonModes = "common";

// The main thread's event loop over poll(2). Not thread-safe: everything but
// WakeUp::signal() is called on the loop's own thread.
class RunLoop {
public:
  using SourceId = std::uint64_t;
  using Clock = std::chrono::steady_clock;

  // The calling thread's loop (created on first use, destroyed when the thread
  // ends: objects that hold sources must not outlive it).
  static RunLoop& current();

  RunLoop(const RunLoop&) = delete;
  RunLoop& operator=(const RunLoop&) = delete;
  ~RunLoop();

  // fd readable (or hung up / in error): the callback gets poll's revents.
  // The loop does not own the descriptor; remove the source before closing it.
  SourceId addFdSource(int fd, std::function<void(short revents)> callback,
                       std::initializer_list<std::string_view> modes);
  // A timer first fires `interval` seconds from now; a repeating one then every
  // `interval` seconds. A timer due while its mode is not running fires once
  // when one of its modes runs again.
  SourceId addTimer(double intervalSeconds, bool repeats, std::function<void()> callback,
                    std::initializer_list<std::string_view> modes);
  // The same with a mode set known only at run time.
  SourceId addFdSource(int fd, std::function<void(short revents)> callback, std::vector<std::string> modes);
  SourceId addTimer(double intervalSeconds, bool repeats, std::function<void()> callback,
                    std::vector<std::string> modes);
  // Removing a source or timer from inside any callback is safe; unknown ids
  // are ignored. An fd source is served again by a run nested in its own
  // callback, so a callback that nests a run consumes its readiness first; a
  // repeating timer does not fire again while its callback runs.
  void remove(SourceId id);
  bool contains(SourceId id) const;

  // Runs in `mode` until stop() (or stopAll()) ends this run. Runs nest to any
  // depth; an inner run serves only its own mode's sources. Returns at once
  // when nothing is scheduled in `mode`, since nothing could ever stop it.
  void run(std::string_view mode);
  // Serves one pass of `mode`: waits up to `timeout` for something to do,
  // handles what is ready and returns. Not a run that stop() ends. A negative
  // timeout waits without bound.
  void runOnce(std::string_view mode, std::chrono::milliseconds timeout);

  // Ends the innermost run().
  void stop();
  // Ends every run() on the stack, each as control returns to it.
  void stopAll();

  // The mode of the innermost run()/runOnce(), or empty when not running.
  std::string_view currentMode() const;
  // Number of nested run() calls now active.
  int depth() const;

private:
  RunLoop();
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// A wake-up that a signal handler may trigger: signal() only writes to an
// eventfd and is async-signal-safe. The callback runs on the loop's thread in
// every mode, once per batch of signals.
class WakeUp {
public:
  explicit WakeUp(std::function<void()> callback, RunLoop& loop = RunLoop::current());
  ~WakeUp();
  WakeUp(const WakeUp&) = delete;
  WakeUp& operator=(const WakeUp&) = delete;

  void signal() const noexcept;

private:
  UniqueFd fd_;
  RunLoop& loop_;
  RunLoop::SourceId source_;
  std::function<void()> callback_;
};

}  // namespace cw

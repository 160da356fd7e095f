#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <optional>
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
  struct Impl;
  struct RunState;

public:
  using Clock = std::chrono::steady_clock;

  // Owns one source or timer: it is removed when the handle goes (or is
  // reset). Removing from inside any callback, its own included, is safe. A
  // handle may outlive its loop; it then does nothing.
  class [[nodiscard]] SourceHandle {
  public:
    SourceHandle() = default;
    SourceHandle(SourceHandle&& other) noexcept;
    SourceHandle& operator=(SourceHandle&& other) noexcept;
    SourceHandle(const SourceHandle&) = delete;
    SourceHandle& operator=(const SourceHandle&) = delete;
    ~SourceHandle() { reset(); }

    void reset();
    // Still scheduled: not removed, and not a one-shot timer that has fired.
    bool active() const;
    explicit operator bool() const { return active(); }

  private:
    friend class RunLoop;
    SourceHandle(std::weak_ptr<Impl> loop, std::uint64_t id) : loop_(std::move(loop)), id_(id) {}
    std::weak_ptr<Impl> loop_;
    std::uint64_t id_ = 0;
  };

  // Names one run, so that stopping it can never end another level. Stopped
  // before the run starts, the run returns at once.
  class RunHandle {
  public:
    RunHandle();
    void stop() const;
    bool stopped() const;

  private:
    friend class RunLoop;
    std::shared_ptr<RunState> state_;
  };

  // The calling thread's loop (created on first use, destroyed when the thread
  // ends).
  static RunLoop& current();

  RunLoop(const RunLoop&) = delete;
  RunLoop& operator=(const RunLoop&) = delete;
  ~RunLoop();

  // fd readable (or hung up / in error): the callback gets poll's revents.
  // The loop does not own the descriptor; the handle goes before it closes.
  // An fd source is served again by a run nested in its own callback, so a
  // callback that nests a run consumes its readiness first.
  SourceHandle addFdSource(int fd, std::function<void(short revents)> callback,
                           std::initializer_list<std::string_view> modes);
  SourceHandle addFdSource(int fd, std::function<void(short revents)> callback, std::vector<std::string> modes);
  // A timer first fires `interval` seconds from now; a repeating one then every
  // `interval` seconds, and not again while its callback runs. A timer due
  // while its mode is not running fires once when one of its modes runs again.
  SourceHandle addTimer(double intervalSeconds, bool repeats, std::function<void()> callback,
                        std::initializer_list<std::string_view> modes);
  SourceHandle addTimer(double intervalSeconds, bool repeats, std::function<void()> callback,
                        std::vector<std::string> modes);

  // Runs in `mode` until `handle` is stopped or stopAll() ends every run.
  // Runs nest to any depth; an inner run serves only its own mode's sources.
  // Returns at once when nothing is scheduled in `mode` (nothing could wake
  // it), and when a persistent poll(2) failure makes waiting impossible (that
  // is logged once).
  void run(std::string_view mode, const RunHandle& handle);
  // The same, ended only by stopAll().
  void run(std::string_view mode) { run(mode, RunHandle()); }
  // Serves one pass of `mode`: waits up to `timeout` for something to do,
  // handles what is ready and returns. A negative timeout waits without bound.
  void runOnce(std::string_view mode, std::chrono::milliseconds timeout);

  // Ends every run on the stack, each as control returns to it; a run started
  // before the outermost one has returned ends at once too (a shutdown).
  void stopAll();
  // stopAll() was called and the outermost run has not returned yet: work
  // that waits outside a run (a blocking reply) gives up too.
  bool stopping() const;

  // The mode of the innermost run()/runOnce(), or empty when not running.
  std::string_view currentMode() const;
  // Number of nested run() calls now active.
  int depth() const;

  // The time the loop's timers go by: the steady clock, or the VirtualTime
  // installed on the loop.
  Clock::time_point now() const;

private:
  friend class VirtualTime;
  RunLoop();
  // For VirtualTime: the loop's time from now on (the steady clock again
  // when absent), and moving it on while firing the timers due on the way.
  void setVirtualNow(std::optional<Clock::time_point> now);
  void advanceVirtualNow(Clock::duration by, std::string_view mode);

  std::shared_ptr<Impl> impl_;
};

// A wake-up that a signal handler may trigger: signal() only writes to an
// eventfd and is async-signal-safe. The callback runs on the loop's thread in
// every mode, once per batch of signals.
class WakeUp {
public:
  explicit WakeUp(std::function<void()> callback, RunLoop& loop = RunLoop::current());
  WakeUp(const WakeUp&) = delete;
  WakeUp& operator=(const WakeUp&) = delete;

  void signal() const noexcept;

private:
  UniqueFd fd_;
  std::function<void()> callback_;
  RunLoop::SourceHandle source_;
};

}  // namespace cw

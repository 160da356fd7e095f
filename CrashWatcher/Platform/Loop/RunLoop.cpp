#include "Platform/RunLoop.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <optional>

#include "Platform/Posix.h"
#include "Platform/SystemLog.h"

namespace cw {
namespace {

using Clock = RunLoop::Clock;
using SourceId = std::uint64_t;

// A repeating timer with no interval would fire on every pass and starve the
// descriptors; this is the shortest period we honour.
constexpr Clock::duration kShortestRepeat = std::chrono::microseconds(100);

std::vector<std::string> toModeList(std::initializer_list<std::string_view> modes) {
  std::vector<std::string> list;
  list.reserve(modes.size());
  for (std::string_view mode : modes) list.emplace_back(mode);
  return list;
}

bool scheduledIn(const std::vector<std::string>& modes, std::string_view mode) {
  return std::any_of(modes.begin(), modes.end(),
                     [mode](const std::string& m) { return m == mode || m == kCommonModes; });
}

Clock::duration secondsToDuration(double seconds) {
  if (!(seconds > 0)) return Clock::duration::zero();  // also NaN
  // Beyond a century a timer is as good as never; avoid overflowing the clock.
  seconds = std::min(seconds, 100.0 * 365 * 24 * 3600);
  return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

}  // namespace

struct RunLoop::RunState {
  bool stopped = false;
};

struct RunLoop::Impl {
  struct Source {
    int fd = -1;  // -1: a timer
    std::function<void(short)> onReady;
    std::function<void()> onFire;
    std::vector<std::string> modes;
    Clock::duration interval{};
    Clock::time_point due{};
    bool repeats = false;
    bool firing = false;

    bool isTimer() const { return fd < 0; }
  };

  // Held by shared_ptr so that a source removed from inside its own callback
  // stays alive until that callback has returned.
  std::map<SourceId, std::shared_ptr<Source>> sources;
  SourceId nextId = 1;
  std::vector<std::shared_ptr<RunState>> runs;  // the active run() calls, innermost last
  std::vector<std::string> modeStack;           // run() and runOnce() alike
  // Set by stopAll() until the outermost run has returned.
  bool stoppingAll = false;
  bool pollFailureLogged = false;
  // Set while a VirtualTime is installed: timers go by it alone.
  std::optional<Clock::time_point> virtualNow;

  Clock::time_point now() const { return virtualNow ? *virtualNow : Clock::now(); }

  // The earliest due time of the timers that may fire in `mode`.
  std::optional<Clock::time_point> nextTimerDue(std::string_view mode) const {
    std::optional<Clock::time_point> next;
    for (const auto& [id, source] : sources) {
      if (source->isTimer() && !source->firing && scheduledIn(source->modes, mode) && (!next || source->due < *next))
        next = source->due;
    }
    return next;
  }

  // Whether anything in `mode` could still wake a run; a repeating timer whose
  // callback is running cannot.
  bool hasSourcesIn(std::string_view mode) const {
    return std::any_of(sources.begin(), sources.end(), [mode](const auto& entry) {
      return scheduledIn(entry.second->modes, mode) && !(entry.second->isTimer() && entry.second->firing);
    });
  }

  static bool runEnded(const RunState* run) { return run && run->stopped; }

  // One pass: wait for a descriptor, a due timer or `deadline`, then serve what
  // is ready in `mode`. Ends early once `run` is stopped; what was not served
  // stays ready for the next pass. False when poll(2) failed for good.
  bool pass(std::string_view mode, std::optional<Clock::time_point> deadline, const RunState* run) {
    std::vector<pollfd> fds;
    std::vector<SourceId> fdSources;
    for (const auto& [id, source] : sources) {
      if (!scheduledIn(source->modes, mode) || source->isTimer()) continue;
      fds.push_back(pollfd{source->fd, POLLIN, 0});
      fdSources.push_back(id);
    }
    // `deadline` is always real time; timers go by the loop's own.
    std::optional<Clock::time_point> wakeAt = deadline;
    if (const std::optional<Clock::time_point> timerDue = nextTimerDue(mode)) {
      if (!virtualNow) {
        if (!wakeAt || *timerDue < *wakeAt) wakeAt = timerDue;
      } else if (*timerDue <= *virtualNow) {
        wakeAt = Clock::now();
      } else if (fds.empty() && !deadline) {
        // Only a timer could end this wait: its time passes at once, as it
        // would have on the real clock.
        virtualNow = timerDue;
        wakeAt = Clock::now();
      }
    }

    // Nothing could ever wake us (only timers whose callbacks are running).
    if (fds.empty() && !wakeAt) return true;

    const int ready =
        posix::retryOnEintr([&] { return ::poll(fds.data(), fds.size(), posix::pollTimeoutUntil(wakeAt)); });
    if (ready < 0) {
      // Only a broken set of descriptors or a descriptor limit gets here, and
      // it would fail the same way on every pass.
      if (!pollFailureLogged) systemLog("Run loop: poll failed (%s)", std::strerror(errno));
      pollFailureLogged = true;
      return false;
    }

    for (std::size_t i = 0; ready > 0 && i < fds.size(); ++i) {
      if (fds[i].revents == 0) continue;
      auto it = sources.find(fdSources[i]);
      if (it == sources.end()) continue;  // removed by an earlier callback of this pass
      const std::shared_ptr<Source> source = it->second;
      source->onReady(fds[i].revents);
      if (runEnded(run)) return true;
    }

    fireDueTimers(mode, run);
    return true;
  }

  void fireDueTimers(std::string_view mode, const RunState* run) {
    const auto now = this->now();
    std::vector<std::pair<Clock::time_point, SourceId>> due;
    for (const auto& [id, source] : sources) {
      if (source->isTimer() && !source->firing && source->due <= now && scheduledIn(source->modes, mode))
        due.emplace_back(source->due, id);
    }
    std::sort(due.begin(), due.end());
    for (const auto& [when, id] : due) {
      auto it = sources.find(id);
      if (it == sources.end()) continue;
      const std::shared_ptr<Source> timer = it->second;
      if (timer->repeats) {
        // A timer that missed beats (its mode was not running) fires once and
        // then keeps its period from now.
        timer->due += timer->interval;
        if (timer->due <= now) timer->due = now + timer->interval;
        timer->firing = true;
        timer->onFire();
        timer->firing = false;
      } else {
        sources.erase(it);
        timer->onFire();
      }
      if (runEnded(run)) return;
    }
  }
};

RunLoop::SourceHandle::SourceHandle(SourceHandle&& other) noexcept
    : loop_(std::move(other.loop_)), id_(std::exchange(other.id_, 0)) {}

RunLoop::SourceHandle& RunLoop::SourceHandle::operator=(SourceHandle&& other) noexcept {
  if (this != &other) {
    reset();
    loop_ = std::move(other.loop_);
    id_ = std::exchange(other.id_, 0);
  }
  return *this;
}

void RunLoop::SourceHandle::reset() {
  if (const std::shared_ptr<Impl> loop = loop_.lock()) loop->sources.erase(id_);
  loop_.reset();
  id_ = 0;
}

bool RunLoop::SourceHandle::active() const {
  const std::shared_ptr<Impl> loop = loop_.lock();
  return loop && loop->sources.count(id_) != 0;
}

RunLoop::RunHandle::RunHandle() : state_(std::make_shared<RunState>()) {}

void RunLoop::RunHandle::stop() const {
  state_->stopped = true;
}

bool RunLoop::RunHandle::stopped() const {
  return state_->stopped;
}

RunLoop& RunLoop::current() {
  static thread_local RunLoop loop;
  return loop;
}

RunLoop::RunLoop() : impl_(std::make_shared<Impl>()) {}
RunLoop::~RunLoop() = default;

RunLoop::SourceHandle RunLoop::addFdSource(int fd, std::function<void(short)> callback,
                                           std::initializer_list<std::string_view> modes) {
  return addFdSource(fd, std::move(callback), toModeList(modes));
}

RunLoop::SourceHandle RunLoop::addFdSource(int fd, std::function<void(short)> callback,
                                           std::vector<std::string> modes) {
  if (fd < 0 || !callback) return {};
  auto source = std::make_shared<Impl::Source>();
  source->fd = fd;
  source->onReady = std::move(callback);
  source->modes = std::move(modes);
  const SourceId id = impl_->nextId++;
  impl_->sources.emplace(id, std::move(source));
  return SourceHandle(impl_, id);
}

RunLoop::SourceHandle RunLoop::addTimer(double intervalSeconds, bool repeats, std::function<void()> callback,
                                        std::initializer_list<std::string_view> modes) {
  return addTimer(intervalSeconds, repeats, std::move(callback), toModeList(modes));
}

RunLoop::SourceHandle RunLoop::addTimer(double intervalSeconds, bool repeats, std::function<void()> callback,
                                        std::vector<std::string> modes) {
  if (!callback) return {};
  auto timer = std::make_shared<Impl::Source>();
  timer->onFire = std::move(callback);
  timer->modes = std::move(modes);
  timer->repeats = repeats;
  timer->interval = secondsToDuration(intervalSeconds);
  timer->due = impl_->now() + timer->interval;
  if (repeats) timer->interval = std::max(timer->interval, kShortestRepeat);
  const SourceId id = impl_->nextId++;
  impl_->sources.emplace(id, std::move(timer));
  return SourceHandle(impl_, id);
}

void RunLoop::run(std::string_view mode, const RunHandle& handle) {
  // The loop may go while we run (the thread ends); keep it for this call.
  const std::shared_ptr<Impl> impl = impl_;
  if (impl->stoppingAll) handle.stop();
  if (handle.stopped() || !impl->hasSourcesIn(mode)) return;
  impl->runs.push_back(handle.state_);
  impl->modeStack.emplace_back(mode);
  const RunState* run = handle.state_.get();
  while (!run->stopped && impl->hasSourcesIn(mode)) {
    if (!impl->pass(mode, std::nullopt, run)) break;
  }
  impl->modeStack.pop_back();
  impl->runs.pop_back();
  if (impl->runs.empty()) impl->stoppingAll = false;
}

void RunLoop::runOnce(std::string_view mode, std::chrono::milliseconds timeout) {
  std::optional<Clock::time_point> deadline;
  if (timeout.count() >= 0) deadline = Clock::now() + timeout;
  const std::shared_ptr<Impl> impl = impl_;
  impl->modeStack.emplace_back(mode);
  impl->pass(mode, deadline, nullptr);
  impl->modeStack.pop_back();
}

void RunLoop::stopAll() {
  if (impl_->runs.empty()) return;
  for (const std::shared_ptr<RunState>& run : impl_->runs) run->stopped = true;
  impl_->stoppingAll = true;
}

bool RunLoop::stopping() const {
  return impl_->stoppingAll;
}

std::string_view RunLoop::currentMode() const {
  return impl_->modeStack.empty() ? std::string_view() : std::string_view(impl_->modeStack.back());
}

int RunLoop::depth() const {
  return static_cast<int>(impl_->runs.size());
}

RunLoop::Clock::time_point RunLoop::now() const {
  return impl_->now();
}

void RunLoop::setVirtualNow(std::optional<Clock::time_point> now) {
  // Timers keep the time they have left across the switch of clocks.
  const Clock::duration shift = (now ? *now : Clock::now()) - impl_->now();
  for (auto& [id, source] : impl_->sources)
    if (source->isTimer()) source->due += shift;
  impl_->virtualNow = now;
}

void RunLoop::advanceVirtualNow(Clock::duration by, std::string_view mode) {
  if (!impl_->virtualNow) return;
  const std::shared_ptr<Impl> impl = impl_;
  const Clock::time_point target = *impl->virtualNow + std::max(by, Clock::duration::zero());
  if (mode.empty()) mode = currentMode().empty() ? kDefaultRunLoopMode : currentMode();
  const std::string servedMode(mode);  // currentMode() may change under the callbacks
  // Each timer fires at its own due time, in order, so that what it does
  // (arming the next one) sees the time it would have seen.
  while (const std::optional<Clock::time_point> due = impl->nextTimerDue(servedMode)) {
    if (*due > target) break;
    impl->virtualNow = std::max(*impl->virtualNow, *due);
    impl->fireDueTimers(servedMode, nullptr);
  }
  impl->virtualNow = target;
}

WakeUp::WakeUp(std::function<void()> callback, RunLoop& loop)
    : fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)), callback_(std::move(callback)) {
  if (!fd_) return;
  source_ = loop.addFdSource(fd_.get(),
                             [this](short) {
                               // Reading resets the counter: any number of signals since the last
                               // read make one call.
                               std::uint64_t count = 0;
                               posix::retryOnEintr([&] { return ::read(fd_.get(), &count, sizeof count); });
                               if (callback_) callback_();
                             },
                             {kCommonModes});
}

void WakeUp::signal() const noexcept {
  if (!fd_) return;
  const int savedErrno = errno;  // a signal handler must leave errno as it found it
  const std::uint64_t one = 1;
  posix::retryOnEintr([&] { return ::write(fd_.get(), &one, sizeof one); });
  errno = savedErrno;
}

}  // namespace cw

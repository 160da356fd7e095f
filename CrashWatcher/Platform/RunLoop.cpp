#include "Platform/RunLoop.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <map>
#include <optional>

namespace cw {
namespace {

using Clock = RunLoop::Clock;

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

// poll(2)'s timeout for waking at `wakeAt`: -1 without bound, rounded up so
// that we never wake before a timer is due and spin.
int pollTimeoutUntil(std::optional<Clock::time_point> wakeAt) {
  if (!wakeAt) return -1;
  const auto now = Clock::now();
  if (*wakeAt <= now) return 0;
  const auto wait = std::chrono::ceil<std::chrono::milliseconds>(*wakeAt - now).count();
  return wait > INT_MAX ? INT_MAX : static_cast<int>(wait);
}

}  // namespace

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

  struct Run {
    std::string mode;
    bool stopped = false;
  };

  // Held by shared_ptr so that a source removed from inside its own callback
  // stays alive until that callback has returned.
  std::map<SourceId, std::shared_ptr<Source>> sources;
  SourceId nextId = 1;
  std::vector<Run> runs;               // the active run() calls, innermost last
  std::vector<std::string> modeStack;  // run() and runOnce() alike

  SourceId add(std::shared_ptr<Source> source) {
    const SourceId id = nextId++;
    sources.emplace(id, std::move(source));
    return id;
  }

  // Whether anything in `mode` could still wake a run; a repeating timer whose
  // callback is running cannot.
  bool hasSourcesIn(std::string_view mode) const {
    return std::any_of(sources.begin(), sources.end(), [mode](const auto& entry) {
      return scheduledIn(entry.second->modes, mode) && !(entry.second->isTimer() && entry.second->firing);
    });
  }

  bool runEnded(std::optional<std::size_t> runIndex) const { return runIndex && runs[*runIndex].stopped; }

  // One pass: wait for a descriptor, a due timer or `deadline`, then serve what
  // is ready in `mode`. Ends early once the run it belongs to is stopped; what
  // was not served stays ready for the next pass.
  void pass(std::string_view mode, std::optional<Clock::time_point> deadline, std::optional<std::size_t> runIndex) {
    std::vector<pollfd> fds;
    std::vector<SourceId> fdSources;
    std::optional<Clock::time_point> wakeAt = deadline;
    for (const auto& [id, source] : sources) {
      if (!scheduledIn(source->modes, mode)) continue;
      if (!source->isTimer()) {
        fds.push_back(pollfd{source->fd, POLLIN, 0});
        fdSources.push_back(id);
      } else if (!source->firing && (!wakeAt || source->due < *wakeAt)) {
        wakeAt = source->due;
      }
    }

    // Nothing could ever wake us (only timers whose callbacks are running).
    if (fds.empty() && !wakeAt) return;

    int ready;
    while ((ready = ::poll(fds.data(), fds.size(), pollTimeoutUntil(wakeAt))) < 0 && errno == EINTR) {
    }
    if (ready < 0) return;

    for (std::size_t i = 0; ready > 0 && i < fds.size(); ++i) {
      if (fds[i].revents == 0) continue;
      auto it = sources.find(fdSources[i]);
      if (it == sources.end()) continue;  // removed by an earlier callback of this pass
      const std::shared_ptr<Source> source = it->second;
      source->onReady(fds[i].revents);
      if (runEnded(runIndex)) return;
    }

    fireDueTimers(mode, runIndex);
  }

  void fireDueTimers(std::string_view mode, std::optional<std::size_t> runIndex) {
    const auto now = Clock::now();
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
      if (runEnded(runIndex)) return;
    }
  }
};

RunLoop& RunLoop::current() {
  static thread_local RunLoop loop;
  return loop;
}

RunLoop::RunLoop() : impl_(std::make_unique<Impl>()) {}
RunLoop::~RunLoop() = default;

RunLoop::SourceId RunLoop::addFdSource(int fd, std::function<void(short)> callback,
                                       std::initializer_list<std::string_view> modes) {
  return addFdSource(fd, std::move(callback), toModeList(modes));
}

RunLoop::SourceId RunLoop::addFdSource(int fd, std::function<void(short)> callback, std::vector<std::string> modes) {
  if (fd < 0 || !callback) return 0;
  auto source = std::make_shared<Impl::Source>();
  source->fd = fd;
  source->onReady = std::move(callback);
  source->modes = std::move(modes);
  return impl_->add(std::move(source));
}

RunLoop::SourceId RunLoop::addTimer(double intervalSeconds, bool repeats, std::function<void()> callback,
                                    std::initializer_list<std::string_view> modes) {
  return addTimer(intervalSeconds, repeats, std::move(callback), toModeList(modes));
}

RunLoop::SourceId RunLoop::addTimer(double intervalSeconds, bool repeats, std::function<void()> callback,
                                    std::vector<std::string> modes) {
  if (!callback) return 0;
  auto timer = std::make_shared<Impl::Source>();
  timer->onFire = std::move(callback);
  timer->modes = std::move(modes);
  timer->repeats = repeats;
  timer->interval = secondsToDuration(intervalSeconds);
  timer->due = Clock::now() + timer->interval;
  if (repeats) timer->interval = std::max(timer->interval, kShortestRepeat);
  return impl_->add(std::move(timer));
}

void RunLoop::remove(SourceId id) {
  impl_->sources.erase(id);
}

bool RunLoop::contains(SourceId id) const {
  return impl_->sources.count(id) != 0;
}

void RunLoop::run(std::string_view mode) {
  if (!impl_->hasSourcesIn(mode)) return;
  impl_->runs.push_back(Impl::Run{std::string(mode)});
  impl_->modeStack.emplace_back(mode);
  const std::size_t index = impl_->runs.size() - 1;
  while (!impl_->runs[index].stopped && impl_->hasSourcesIn(mode)) impl_->pass(mode, std::nullopt, index);
  impl_->modeStack.pop_back();
  impl_->runs.pop_back();
}

void RunLoop::runOnce(std::string_view mode, std::chrono::milliseconds timeout) {
  std::optional<Clock::time_point> deadline;
  if (timeout.count() >= 0) deadline = Clock::now() + timeout;
  impl_->modeStack.emplace_back(mode);
  impl_->pass(mode, deadline, std::nullopt);
  impl_->modeStack.pop_back();
}

void RunLoop::stop() {
  if (!impl_->runs.empty()) impl_->runs.back().stopped = true;
}

void RunLoop::stopAll() {
  for (Impl::Run& run : impl_->runs) run.stopped = true;
}

std::string_view RunLoop::currentMode() const {
  return impl_->modeStack.empty() ? std::string_view() : std::string_view(impl_->modeStack.back());
}

int RunLoop::depth() const {
  return static_cast<int>(impl_->runs.size());
}

WakeUp::WakeUp(std::function<void()> callback, RunLoop& loop)
    : fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)), loop_(loop), source_(0), callback_(std::move(callback)) {
  if (!fd_) return;
  source_ = loop_.addFdSource(fd_.get(),
                              [this](short) {
                                // Reading resets the counter: any number of signals since the last
                                // read make one call.
                                std::uint64_t count = 0;
                                while (::read(fd_.get(), &count, sizeof count) < 0 && errno == EINTR) {
                                }
                                if (callback_) callback_();
                              },
                              {kCommonModes});
}

WakeUp::~WakeUp() {
  if (source_) loop_.remove(source_);
}

void WakeUp::signal() const noexcept {
  if (!fd_) return;
  const int savedErrno = errno;  // a signal handler must leave errno as it found it
  const std::uint64_t one = 1;
  while (::write(fd_.get(), &one, sizeof one) < 0 && errno == EINTR) {
  }
  errno = savedErrno;
}

}  // namespace cw

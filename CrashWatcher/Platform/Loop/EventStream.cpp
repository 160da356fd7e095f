#include "Platform/EventStream.h"

#include <algorithm>
#include <filesystem>
#include <optional>
#include <unordered_map>

#include "Platform/SystemLog.h"

namespace cw {
namespace {

using Clock = RunLoop::Clock;

// Tries again after a limit stopped us: the first wait, and its bound as it doubles.
constexpr double kFirstRetrySeconds = 1;
constexpr double kMaxRetrySeconds = 60;

std::string normalized(const std::string& path) {
  std::error_code ec;
  std::filesystem::path p(path);
  if (p.is_relative()) p = std::filesystem::absolute(p, ec);
  std::string text = p.lexically_normal().string();
  while (text.size() > 1 && text.back() == '/') text.pop_back();
  return text;
}

}  // namespace

struct EventStream::Impl {
  // The events gathered for the next delivery, bounded in size.
  struct Batch {
    std::vector<EventStreamEvent> events;
    std::unordered_map<std::string, std::size_t> indexOfPath;
    bool userDropped = false;
    bool kernelDropped = false;

    bool empty() const { return events.empty() && !userDropped && !kernelDropped; }
  };

  Impl(Callback onBatch, std::vector<std::string> roots, double latency, std::shared_ptr<InotifyCalls> calls)
      : callback(std::move(onBatch)),
        latencySeconds(latency > 0 ? latency : 0),
        tree(std::move(roots), std::move(calls),
             {[this](const std::string& path, EventStreamEventFlags flags) { record(path, flags); },
              [this] {
                pending.kernelDropped = true;
                notePending();
              }}) {}

  Callback callback;
  double latencySeconds = 0;
  InotifyWatchTree tree;

  bool running = false;  // started and not stopped, watching or not
  double retrySeconds = kFirstRetrySeconds;

  RunLoop* loop = nullptr;
  std::vector<std::string> modes;
  RunLoop::SourceHandle drainSource;
  RunLoop::SourceHandle deliveryTimer;
  RunLoop::SourceHandle retryTimer;

  Batch pending;
  std::optional<Clock::time_point> pendingDue;
  EventStreamEventId lastEventId = 0;

  // --- batches

  void record(const std::string& path, EventStreamEventFlags flags) {
    const auto known = pending.indexOfPath.find(path);
    if (known != pending.indexOfPath.end()) {
      pending.events[known->second].flags |= flags;
    } else if (pending.events.size() >= kMaxPendingPaths) {
      pending.userDropped = true;
    } else {
      pending.indexOfPath.emplace(path, pending.events.size());
      pending.events.push_back(EventStreamEvent{path, flags, 0});
    }
    notePending();
  }

  // The time the loop's timers go by (a stream not scheduled yet will be on
  // this thread's loop).
  Clock::time_point now() const { return (loop ? *loop : RunLoop::current()).now(); }

  // The first event of a batch starts its latency.
  void notePending() {
    if (!pendingDue)
      pendingDue = now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(latencySeconds));
    armDelivery();
  }

  void armDelivery() {
    if (deliveryTimer || pending.empty() || !loop || modes.empty() || !pendingDue) return;
    const double remaining = std::chrono::duration<double>(*pendingDue - now()).count();
    deliveryTimer = loop->addTimer(
        std::max(remaining, 0.0), false, [this] { deliver(); }, modes);
  }

  void deliver() {
    deliveryTimer.reset();  // a one-shot timer is gone once it fires
    Batch batch = std::move(pending);
    pending = Batch{};
    pendingDue.reset();
    if (batch.userDropped || batch.kernelDropped) {
      const EventStreamEventFlags flags = kEventStreamEventFlagMustScanSubDirs |
                                          (batch.userDropped ? kEventStreamEventFlagUserDropped : 0) |
                                          (batch.kernelDropped ? kEventStreamEventFlagKernelDropped : 0);
      for (const std::string& root : tree.rootPaths()) {
        const auto known = batch.indexOfPath.find(root);
        if (known != batch.indexOfPath.end())
          batch.events[known->second].flags |= flags;
        else
          batch.events.push_back(EventStreamEvent{root, flags, 0});
      }
    }
    for (EventStreamEvent& event : batch.events) event.id = ++lastEventId;
    // Last, with what lives in this frame: the callback may stop or even
    // destroy this stream.
    const Callback deliverTo = callback;
    deliverTo(batch.events);
  }

  // --- scheduling

  void detachFromLoop() {
    drainSource.reset();
    deliveryTimer.reset();
    retryTimer.reset();
  }

  // Brings the loop's sources in line with the schedule: the descriptor is
  // drained in every mode, batches are delivered only in ours; a try again
  // runs in every mode too.
  void attachToLoop() {
    detachFromLoop();
    if (!loop || modes.empty() || !running) return;
    if (tree.isOpen())
      drainSource = loop->addFdSource(tree.descriptor(),
                                      [this](short) {
                                        tree.drain();
                                        armRetry();  // a folder made meanwhile may have met the watch limit
                                      },
                                      {kCommonModes});
    armDelivery();
    armRetry();
  }

  // --- limits

  bool needsRetry() const { return running && (!tree.isOpen() || tree.limitHit()); }

  void armRetry() {
    if (retryTimer || !needsRetry() || !loop || modes.empty()) return;
    retryTimer = loop->addTimer(retrySeconds, false,
                                [this] {
                                  retryTimer.reset();  // a one-shot timer is gone once it fires
                                  retry();
                                },
                                {kCommonModes});
  }

  void retryLater() {
    retrySeconds = std::min(retrySeconds * 2, kMaxRetrySeconds);
    armRetry();
  }

  void retry() {
    const bool hadInstance = tree.isOpen();
    if (!hadInstance && !tree.open()) return retryLater();
    tree.clearLimit();
    tree.takeUpAll();
    if (!hadInstance) attachToLoop();
    if (tree.limitHit()) return retryLater();
    retrySeconds = kFirstRetrySeconds;
    tree.troubleOver();
    systemLog("Watching for changes again");
    // What changed meanwhile went unseen.
    pending.userDropped = true;
    notePending();
  }
};

std::unique_ptr<EventStream> EventStream::create(Callback callback, std::vector<std::string> paths,
                                                 double latencySeconds, std::shared_ptr<InotifyCalls> calls) {
  if (!callback || paths.empty()) return nullptr;
  std::vector<std::string> roots;
  for (const std::string& path : paths) {
    if (path.empty()) return nullptr;
    roots.push_back(normalized(path));
  }
  return std::make_unique<EventStream>(
      CreateKey{}, std::make_unique<Impl>(std::move(callback), std::move(roots), latencySeconds, std::move(calls)));
}

EventStream::EventStream(CreateKey, std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

EventStream::~EventStream() {
  stop();
  impl_->detachFromLoop();
}

void EventStream::scheduleWithRunLoop(RunLoop& loop, std::string_view mode) {
  if (impl_->loop != &loop) {
    impl_->detachFromLoop();
    impl_->loop = &loop;
    impl_->modes.clear();
  }
  if (std::find(impl_->modes.begin(), impl_->modes.end(), mode) == impl_->modes.end()) impl_->modes.emplace_back(mode);
  impl_->attachToLoop();
}

void EventStream::unscheduleFromRunLoop(RunLoop& loop, std::string_view mode) {
  if (impl_->loop != &loop) return;
  std::erase(impl_->modes, std::string(mode));
  impl_->attachToLoop();
  if (impl_->modes.empty()) impl_->loop = nullptr;
}

bool EventStream::start() {
  if (!impl_->running) {
    impl_->running = true;
    if (impl_->tree.open()) impl_->tree.takeUpAll();
    impl_->attachToLoop();
  }
  return impl_->tree.isOpen() && !impl_->tree.limitHit();
}

void EventStream::stop() {
  if (!impl_->running) return;
  impl_->detachFromLoop();
  impl_->running = false;
  impl_->tree.close();
  impl_->pending = Impl::Batch{};
  impl_->pendingDue.reset();
  impl_->retrySeconds = kFirstRetrySeconds;
}

bool EventStream::retryPending() const {
  return impl_->needsRetry();
}

}  // namespace cw

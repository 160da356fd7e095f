#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "Platform/EventStreamFlags.h"
#include "Platform/InotifyWatchTree.h"
#include "Platform/RunLoop.h"

namespace cw {

// One change: the folder whose contents changed (or a watched folder itself,
// flagged root-changed), its flags, and an id that grows with every event.
struct EventStreamEvent {
  std::string path;
  EventStreamEventFlags flags = kEventStreamEventFlagNone;
  EventStreamEventId id = 0;
};

// A recursive watch of folders (see InotifyWatchTree), reporting changes from
// the moment it starts. The events of `latency` seconds after the first are
// gathered and delivered as one batch on the run loop, in the modes the
// stream is scheduled in. The inotify descriptor is drained in every mode so
// the kernel queue cannot overflow while another mode runs; only delivery
// waits.
//
// Events for one folder within a batch are coalesced. A batch holds at most
// kMaxPendingPaths folders: past that, paths are dropped and the batch ends
// with one must-scan event per watched folder. One run loop at a time:
// scheduling on another moves the stream.
//
// Never deaf in silence: when no inotify instance can be made, or a folder
// cannot be watched because the watch limit is reached, the reason is logged
// once and the stream tries again after 1 s, then 2, 4 ... up to 60 s between
// tries, until it works; then it logs that it watches again and delivers a
// must-scan event for each watched folder, since changes may have gone unseen.
// A healthy stream arms no timer.
class EventStream {
  struct CreateKey {
    explicit CreateKey() = default;
  };

public:
  static constexpr std::size_t kMaxPendingPaths = 512;

  // Called with each batch, never empty; it may stop or destroy the stream.
  using Callback = std::function<void(const std::vector<EventStreamEvent>& events)>;

  // Absent without a callback or a folder to watch, or with an empty path.
  static std::unique_ptr<EventStream> create(Callback callback, std::vector<std::string> paths, double latencySeconds,
                                             std::shared_ptr<InotifyCalls> calls = nullptr);
  ~EventStream();
  EventStream(const EventStream&) = delete;
  EventStream& operator=(const EventStream&) = delete;

  void scheduleWithRunLoop(RunLoop& loop, std::string_view mode);
  void unscheduleFromRunLoop(RunLoop& loop, std::string_view mode);
  // Whether it watches now; false while it cannot and tries again by itself.
  bool start();
  void stop();
  // A try again is pending: something could not be watched.
  bool retryPending() const;

  struct Impl;
  // For create() only (the key is private).
  EventStream(CreateKey, std::unique_ptr<Impl> impl);

private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace cw

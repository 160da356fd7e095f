#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "Platform/RunLoop.h"

namespace cw {

class EventStream;
using EventStreamRef = EventStream*;
using EventStreamEventFlags = std::uint32_t;
using EventStreamEventId = std::uint64_t;

// The six arguments of a directory-event callback: the stream, its context,
// the number of events, their paths (const char* const*), flags and ids.
using EventStreamCallback = void (*)(EventStreamRef stream, void* context, std::size_t numEvents, void* eventPaths,
                                     const EventStreamEventFlags eventFlags[], const EventStreamEventId eventIds[]);

inline constexpr EventStreamEventId kEventStreamEventIdSinceNow = ~EventStreamEventId{0};
inline constexpr std::uint32_t kEventStreamCreateFlagNone = 0;
// A plain change of the folder's contents.
inline constexpr EventStreamEventFlags kEventStreamEventFlagNone = 0x00000000;
// Set on an event when events were lost (kernel queue overflow): rescan.
inline constexpr EventStreamEventFlags kEventStreamEventFlagMustScanSubDirs = 0x00000001;
// With must-scan: we dropped paths to bound the pending batch.
inline constexpr EventStreamEventFlags kEventStreamEventFlagUserDropped = 0x00000002;
// With must-scan: the kernel's event queue overflowed.
inline constexpr EventStreamEventFlags kEventStreamEventFlagKernelDropped = 0x00000004;
// The watched folder itself was removed, moved or (re)made.
inline constexpr EventStreamEventFlags kEventStreamEventFlagRootChanged = 0x00000020;

// The two inotify calls that run into the kernel's limits (instances per
// user, watches per user). The stream uses the real ones; a test hands in
// its own to make them fail and then succeed.
class InotifyCalls {
public:
  virtual ~InotifyCalls() = default;
  virtual int init1(int flags);
  virtual int addWatch(int fd, const char* path, std::uint32_t mask);
};

// A recursive inotify watch of folders, reporting changes from the moment it
// starts. The events of `latency` seconds after the first are gathered and
// delivered as one batch on the run loop, in the modes the stream is scheduled
// in. The inotify descriptor is drained in every mode so the kernel queue
// cannot overflow while another mode runs; only delivery waits.
//
// A folder that does not exist yet is taken up when it appears (the nearest
// existing parent is watched meanwhile); a folder removed and made again is
// watched again; subfolders made later are watched before they are scanned.
//
// Each event names the folder whose contents changed (or the watched folder
// itself, flagged root-changed); events for one folder within a batch are
// coalesced. A batch holds at most kMaxPendingPaths folders: past that, paths
// are dropped and the batch ends with one must-scan event per watched folder.
// Only changes from now on are reported, whatever `sinceWhen` says; `flags`
// is not used. One run loop at a time: scheduling on another moves the stream.
//
// Never deaf in silence: when no inotify instance can be made, or a folder
// cannot be watched because the watch limit is reached, the reason is logged
// once and the stream tries again after 1 s, then 2, 4 ... up to 60 s between
// tries, until it works; then it logs that it watches again and delivers a
// must-scan event for each watched folder, since changes may have gone unseen.
// A healthy stream arms no timer. A watched folder that is a symbolic link is
// followed: its parent is watched for changes of the link's name, and a link
// pointed elsewhere or replaced by a folder is watched anew (root-changed).
class EventStream {
  struct CreateKey {
    explicit CreateKey() = default;
  };

public:
  static constexpr std::size_t kMaxPendingPaths = 512;

  static std::unique_ptr<EventStream> create(EventStreamCallback callback, void* context,
                                             std::vector<std::string> paths, EventStreamEventId sinceWhen,
                                             double latencySeconds, std::uint32_t flags,
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
  explicit EventStream(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace cw

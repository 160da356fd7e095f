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
class EventStream {
  struct CreateKey {
    explicit CreateKey() = default;
  };

public:
  static constexpr std::size_t kMaxPendingPaths = 512;

  static std::unique_ptr<EventStream> create(EventStreamCallback callback, void* context,
                                             std::vector<std::string> paths, EventStreamEventId sinceWhen,
                                             double latencySeconds, std::uint32_t flags);
  ~EventStream();
  EventStream(const EventStream&) = delete;
  EventStream& operator=(const EventStream&) = delete;

  void scheduleWithRunLoop(RunLoop& loop, std::string_view mode);
  void unscheduleFromRunLoop(RunLoop& loop, std::string_view mode);
  // false when no inotify instance could be made.
  bool start();
  void stop();

  struct Impl;
  // For create() only (the key is private).
  EventStream(CreateKey, std::unique_ptr<Impl> impl);

private:
  explicit EventStream(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace cw

#pragma once

#include <cstdint>

namespace cw {

using EventStreamEventFlags = std::uint32_t;
using EventStreamEventId = std::uint64_t;

// A plain change of the folder's contents.
inline constexpr EventStreamEventFlags kEventStreamEventFlagNone = 0x00000000;
// Set on an event when events were lost (kernel queue overflow): rescan.
inline constexpr EventStreamEventFlags kEventStreamEventFlagMustScanSubDirs = 0x00000001;
// With must-scan: we dropped paths to bound the pending batch.
inline constexpr EventStreamEventFlags kEventStreamEventFlagUserDropped = 0x00000002;
// With must-scan: the kernel's event queue overflowed.
inline constexpr EventStreamEventFlags kEventStreamEventFlagKernelDropped = 0x00000004;
// The watched folder itself was removed, moved or (re)made, or a link on the
// way to it was pointed elsewhere.
inline constexpr EventStreamEventFlags kEventStreamEventFlagRootChanged = 0x00000020;

}  // namespace cw

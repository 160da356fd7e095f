#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace cw {

using Date = std::chrono::system_clock::time_point;

// Finds the crash logs of the watched application below the crash-reporter
// folders of the local and the user's library folder. Class-level only; every
// call reads the disk afresh.
class FRCrashLogFinder {
public:
  FRCrashLogFinder() = delete;

  // Absolute paths of the crash logs modified at or after `date` (every one
  // when absent), local folder first, each folder in enumeration order.
  static std::vector<std::string> findCrashLogsSince(const std::optional<Date>& date);
  // Whether something exists at `path` that was modified at or after `date`.
  static bool fileIsNewerThan(const std::string& path, const std::optional<Date>& date);
};

}  // namespace cw

#pragma once

#include <sys/types.h>

#include <compare>
#include <cstddef>
#include <optional>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "FRCrashLogFinder.h"

namespace cw {

// What tells one crash log from another: a log rewritten in place (another
// size or time) is another crash.
struct CrashLogIdentity {
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = 0;
  Date modified;

  auto operator<=>(const CrashLogIdentity&) const = default;
};

// The identity of the file at `path` (symbolic links followed); absent when
// it has gone.
std::optional<CrashLogIdentity> identifyCrashLog(const std::string& path);

// The crash logs this run has asked about, in memory only: a restart starts
// afresh. Bounded: what can no longer be found is forgotten, and past the cap
// the oldest go first.
class CrashLogRecord {
public:
  static constexpr std::size_t kCapacity = 10000;

  bool contains(const CrashLogIdentity& log) const { return logs_.contains(log); }
  void add(const CrashLogIdentity& log);
  // Forgets the logs modified before `reach`, which no scan lists any more.
  void forgetModifiedBefore(Date reach);
  std::size_t size() const { return logs_.size(); }
  // The logs modified at or after `reach`.
  std::vector<CrashLogIdentity> modifiedSince(Date reach) const;

private:
  struct ByModification {
    bool operator()(const CrashLogIdentity& a, const CrashLogIdentity& b) const {
      return std::tie(a.modified, a.device, a.inode, a.size) < std::tie(b.modified, b.device, b.inode, b.size);
    }
  };
  std::set<CrashLogIdentity, ByModification> logs_;
};

}  // namespace cw

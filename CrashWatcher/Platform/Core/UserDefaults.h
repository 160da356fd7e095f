#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "Platform/PropertyList.h"

namespace cw {

class Bundle;

// Per-user preferences of one domain, kept as an XML property list in
// "~/Library/Preferences/<domain>.plist" (the home folder taken afresh at each
// call). Each write rewrites the file atomically (temporary file in the same
// folder, fsync, rename, fsync of the folder) from a fresh read, so keys that
// others stored meanwhile are kept; writers of this class take turns on a lock
// of the folder. A file that cannot be parsed (or is too large to read, or
// holds no dictionary) is moved aside ("<name>.corrupt-<time>") before a new
// one is written: never lost. A folder, a FIFO or an unreadable file in its
// place is left untouched and the write fails.
//
// Reads are served from memory. The file is read again only when it has
// changed: a stat, at most every kCheckInterval, tells; a file changed in the
// last kRecentChange is checked on every read, since more changes tend to
// follow. No timer, no thread: an idle process makes no wake-ups for it.
class UserDefaults {
public:
  static constexpr std::int64_t kCheckIntervalNs = 100'000'000;   // 100 ms
  static constexpr std::int64_t kRecentChangeNs = 1'000'000'000;  // 1 s

  explicit UserDefaults(std::string domain);
  ~UserDefaults();
  UserDefaults(const UserDefaults&) = delete;
  UserDefaults& operator=(const UserDefaults&) = delete;

  // The agent's own domain: the main bundle's CFBundleIdentifier (or
  // "com.vellumdrift.CrashWatcher", the shipped one, when it has none or it cannot name a file). The instance
  // for a domain lives for the whole process.
  static UserDefaults& standardUserDefaults();
  // The domain of a bundle's preferences: its CFBundleIdentifier, or the
  // shipped one.
  static std::string domainForBundle(const Bundle& bundle);

  const std::string& domain() const { return domain_; }
  // Empty when the domain cannot name a file (empty, ".", "..", or with "/").
  std::string filePath() const;

  std::optional<PlistValue> objectForKey(std::string_view key) const;
  // Absent reads as false; otherwise the value's boolValue.
  bool boolForKey(std::string_view key) const;
  // Returns false when the store could not be written.
  bool setObjectForKey(std::string_view key, const PlistValue& value);
  bool setBoolForKey(std::string_view key, bool value);

private:
  struct Snapshot;
  // The contents as of now (HOME as given), read again if the file changed.
  std::shared_ptr<const Snapshot> current(const char* home) const;
  // Makes the next read look at the file again.
  void invalidate();

  std::string domain_;
  mutable std::mutex mutex_;
  mutable std::shared_ptr<const Snapshot> snapshot_;  // guarded by mutex_
  // The snapshot's number, unique in the process; readers' per-thread memos
  // are valid while it stays.
  mutable std::atomic<std::uint64_t> generation_{0};
  // Coarse monotonic time before which the file is not looked at again.
  mutable std::atomic<std::int64_t> nextCheck_{0};
};

}  // namespace cw

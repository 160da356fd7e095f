#pragma once

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
class UserDefaults {
public:
  explicit UserDefaults(std::string domain);

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
  std::string domain_;
};

}  // namespace cw

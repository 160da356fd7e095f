#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "Platform/PropertyList.h"

namespace cw {

// Per-user preferences of one domain, kept as an XML property list in
// "~/Library/Preferences/<domain>.plist". Each write rewrites the file
// atomically (temporary file, fsync, rename) from a fresh read, so keys that
// others stored meanwhile are kept. A file that cannot be parsed is moved
// aside ("<name>.corrupt-<time>") before a new one is written: never lost.
class UserDefaults {
public:
  explicit UserDefaults(std::string domain);

  // The agent's own domain: the main bundle's CFBundleIdentifier (or
  // "CrashWatcher" when it has none).
  static UserDefaults& standardUserDefaults();

  const std::string& domain() const { return domain_; }
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

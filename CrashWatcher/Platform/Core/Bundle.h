#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "Platform/PropertyList.h"

namespace cw {

// The agent's bundle: a folder holding "Info.plist" and "Resources/". The main
// bundle lies at a fixed place relative to the executable ("../share/crashwatcher"
// from the folder of /proc/self/exe), the same in the build and install trees.
class Bundle {
public:
  explicit Bundle(std::string bundlePath);

  // The main bundle, found from /proc/self/exe once. References handed out
  // (to the bundle and to its infoDictionary) stay valid for the whole process.
  static Bundle& mainBundle();

  const std::string& bundlePath() const { return bundlePath_; }
  std::string resourcePath() const;
  // "<resources>/<name>.<type>" ("<resources>/<name>" for an empty type) when
  // such a file or folder exists, else absent. Names that would leave the
  // resources folder (a ".." component, a leading "/") find nothing.
  std::optional<std::string> pathForResource(std::string_view name, std::string_view type) const;
  // The Info.plist as read on first use; missing or unreadable gives an empty
  // dictionary. The dictionary lives as long as the bundle.
  const PlistDictionary& infoDictionary() const;
  // A value of the Info.plist, or nullptr.
  const PlistValue* objectForInfoDictionaryKey(std::string_view key) const;

private:
  std::string bundlePath_;
  mutable std::optional<PlistDictionary> info_;
};

// The folder of the running executable (from /proc/self/exe); empty when the
// link cannot be read.
std::string executableDirectory();

// Where the main bundle lies: "../share/crashwatcher"
// from executableDirectory(), folded to an absolute path; empty without an
// executable folder (never a path relative to the working directory).
std::string defaultMainBundlePath();

}  // namespace cw

#pragma once

#include <optional>
#include <string>

namespace cw {

// The watched application and the agent's own identity. Class-level only.
class FRApplication {
public:
  FRApplication() = delete;

  // "Finder": the text every relative crash-log path of interest begins with.
  static std::string applicationName();
  // CFBundleLongVersionString, else CFBundleVersion, of the agent's Info.plist.
  static std::optional<std::string> applicationVersion();
  static std::optional<std::string> applicationIdentifier();
  // "FRFeedbackReporter.logHours" used as a format with applicationName as its
  // one argument; absent when the key is missing or the format does not fit.
  static std::optional<std::string> feedbackURL();
};

}  // namespace cw

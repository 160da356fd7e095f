#include "FRApplication.h"

#include "Platform/Bundle.h"
#include "Platform/Format.h"

namespace cw {
namespace {

std::optional<std::string> infoString(std::string_view key) {
  const PlistValue* value = Bundle::mainBundle().objectForInfoDictionaryKey(key);
  if (!value) return std::nullopt;
  if (const std::string* text = value->asString()) return *text;
  return value->description();
}

}  // namespace

std::string FRApplication::applicationName() {
  return "Finder";
}

std::optional<std::string> FRApplication::applicationVersion() {
  if (auto longVersion = infoString("CFBundleLongVersionString")) return longVersion;
  return infoString("CFBundleVersion");
}

std::optional<std::string> FRApplication::applicationIdentifier() {
  return infoString("CFBundleIdentifier");
}

std::optional<std::string> FRApplication::feedbackURL() {
  const std::optional<std::string> pattern = infoString("FRFeedbackReporter.logHours");
  if (!pattern) return std::nullopt;
  // The value is data, not code: a conversion other than "%@" has no argument
  // of its kind and so gives absent instead of reading garbage.
  return format(*pattern, applicationName());
}

}  // namespace cw

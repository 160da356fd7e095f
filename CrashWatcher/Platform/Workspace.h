#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>
#include <vector>

namespace cw {

// Activation option: bring all of the application's windows forward.
inline constexpr unsigned kApplicationActivateAllWindows = 1u << 0;

// A running application, as the desktop names it by bundle identifier.
//
// Linux desktops have no bundle identifiers and no common way to bring another
// program's windows forward, so this is best effort: the desktop layer finds no
// application for any identifier ("com.apple.mail" names nothing here) and its
// callers then simply have nothing to activate.
class RunningApplication {
public:
  RunningApplication(std::string bundleIdentifier, pid_t processIdentifier)
      : bundleIdentifier_(std::move(bundleIdentifier)), processIdentifier_(processIdentifier) {}

  // The running instances with this identifier, in the desktop's order.
  static std::vector<RunningApplication> runningApplicationsWithBundleIdentifier(std::string_view bundleIdentifier);
  // Makes it the active application; false when that did not happen.
  bool activateWithOptions(unsigned options) const;

  const std::string& bundleIdentifier() const { return bundleIdentifier_; }
  pid_t processIdentifier() const { return processIdentifier_; }

private:
  std::string bundleIdentifier_;
  pid_t processIdentifier_;
};

// Hands URLs to the user's default handler for their scheme.
class Workspace {
public:
  static Workspace& sharedWorkspace();

  // Starts `xdg-open url` (no shell, no descriptors but 0, 1 and 2, default
  // signal dispositions, its own process group) and returns without waiting;
  // the child is reaped on the run loop when it ends. False when it could not
  // be started.
  bool openURL(const std::string& url);

private:
  Workspace() = default;
};

}  // namespace cw

#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "Platform/Workspace.h"

namespace cw {

// What a report needs of the desktop: a URL opened by the user's default
// handler, and the running applications of an identifier brought forward.
class Desktop {
public:
  virtual ~Desktop() = default;
  virtual bool openURL(const std::string& url) = 0;
  virtual std::vector<RunningApplication> runningApplicationsWithBundleIdentifier(
      std::string_view bundleIdentifier) = 0;
  virtual bool activate(const RunningApplication& application, unsigned options) = 0;
};

// The user's desktop: URLs through xdg-open (Workspace); no application is
// known by bundle identifier on Linux desktops.
class WorkspaceDesktop final : public Desktop {
public:
  bool openURL(const std::string& url) override { return Workspace::sharedWorkspace().openURL(url); }
  std::vector<RunningApplication> runningApplicationsWithBundleIdentifier(std::string_view identifier) override {
    return RunningApplication::runningApplicationsWithBundleIdentifier(identifier);
  }
  bool activate(const RunningApplication& application, unsigned options) override {
    return application.activateWithOptions(options);
  }
};

}  // namespace cw

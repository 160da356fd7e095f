#pragma once

#include <functional>
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
  // What became of the hand-off, as far as it shows at once; `laterFailure`
  // learns of a failure that shows only later (the opener's status).
  virtual URLOpening openURL(const std::string& url, std::function<void(int status)> laterFailure) = 0;
  virtual std::vector<RunningApplication> runningApplicationsWithBundleIdentifier(
      std::string_view bundleIdentifier) = 0;
  virtual bool activate(const RunningApplication& application, unsigned options) = 0;
};

// The user's desktop: URLs through xdg-open (Workspace); no application is
// known by bundle identifier on Linux desktops.
class WorkspaceDesktop final : public Desktop {
public:
  URLOpening openURL(const std::string& url, std::function<void(int status)> laterFailure) override {
    return Workspace::sharedWorkspace().openURL(url, Workspace::kOpenerWait, std::move(laterFailure));
  }
  std::vector<RunningApplication> runningApplicationsWithBundleIdentifier(std::string_view identifier) override {
    return RunningApplication::runningApplicationsWithBundleIdentifier(identifier);
  }
  bool activate(const RunningApplication& application, unsigned options) override {
    return application.activateWithOptions(options);
  }
};

}  // namespace cw

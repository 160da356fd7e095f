#include "Platform/Workspace.h"

#include <signal.h>
#include <spawn.h>

#include <optional>

#include "Platform/ChildProcess.h"
#include "Platform/ChildReaper.h"

namespace cw {
namespace {

class DesktopBackend final : public WorkspaceBackend {
public:
  bool openURL(const std::string& url) override {
    // The URL cannot pass for an option of xdg-open: it begins with a scheme.
    if (url.empty() || url.front() == '-') return false;
    // Looked up in PATH; its own process group, so that an interrupt meant
    // for the agent does not reach the mail program.
    ChildProcess::Options options;
    options.searchPath = true;
    ChildProcess opener = ChildProcess::spawn("xdg-open", {"xdg-open", url}, options);
    if (!opener.started()) return false;
    ChildReaper::current().reapWhenDone(std::move(opener));
    return true;
  }

  std::vector<RunningApplication> runningApplicationsWithBundleIdentifier(std::string_view) override { return {}; }

  bool activate(const RunningApplication&, unsigned) override { return false; }
};

WorkspaceBackend*& backendOverride() {
  static WorkspaceBackend* backend = nullptr;
  return backend;
}

WorkspaceBackend& backend() {
  static DesktopBackend desktop;
  WorkspaceBackend* override = backendOverride();
  return override ? *override : desktop;
}

}  // namespace

std::vector<RunningApplication> RunningApplication::runningApplicationsWithBundleIdentifier(
    std::string_view bundleIdentifier) {
  return backend().runningApplicationsWithBundleIdentifier(bundleIdentifier);
}

bool RunningApplication::activateWithOptions(unsigned options) const {
  return backend().activate(*this, options);
}

Workspace& Workspace::sharedWorkspace() {
  static Workspace workspace;
  return workspace;
}

bool Workspace::openURL(const std::string& url) {
  return backend().openURL(url);
}

ScopedWorkspaceBackendForTesting::ScopedWorkspaceBackendForTesting(WorkspaceBackend& backend)
    : previous_(backendOverride()) {
  backendOverride() = &backend;
}

ScopedWorkspaceBackendForTesting::~ScopedWorkspaceBackendForTesting() {
  backendOverride() = previous_;
}

}  // namespace cw

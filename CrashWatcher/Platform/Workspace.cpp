#include "Platform/Workspace.h"

#include "Platform/ChildProcess.h"
#include "Platform/ChildReaper.h"

namespace cw {

std::vector<RunningApplication> RunningApplication::runningApplicationsWithBundleIdentifier(std::string_view) {
  return {};
}

bool RunningApplication::activateWithOptions(unsigned) const {
  return false;
}

Workspace& Workspace::sharedWorkspace() {
  static Workspace workspace;
  return workspace;
}

bool Workspace::openURL(const std::string& url) {
  // The URL cannot pass for an option of xdg-open: it begins with a scheme.
  if (url.empty() || url.front() == '-') return false;
  // Looked up in PATH; its own process group, so that an interrupt meant for
  // the agent does not reach the mail program.
  ChildProcess::Options options;
  options.searchPath = true;
  ChildProcess opener = ChildProcess::spawn("xdg-open", {"xdg-open", url}, options);
  if (!opener.started()) return false;
  ChildReaper::current().reapWhenDone(std::move(opener));
  return true;
}

}  // namespace cw

#include "Platform/Workspace.h"

#include <signal.h>
#include <spawn.h>

#include <optional>

#include "Platform/ChildReaper.h"

extern char** environ;

namespace cw {
namespace {

// posix_spawn attributes and file actions, destroyed on every way out.
class SpawnSetup {
 public:
  SpawnSetup() {
    attributesReady_ = ::posix_spawnattr_init(&attributes_) == 0;
    actionsReady_ = ::posix_spawn_file_actions_init(&actions_) == 0;
  }
  ~SpawnSetup() {
    if (actionsReady_) ::posix_spawn_file_actions_destroy(&actions_);
    if (attributesReady_) ::posix_spawnattr_destroy(&attributes_);
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;

  // Default dispositions, an empty mask, a process group of its own (an
  // interrupt meant for the agent does not reach the mail program), and
  // nothing inherited but 0, 1 and 2.
  bool configureDetachedChild() {
    if (!attributesReady_ || !actionsReady_) return false;
    sigset_t all;
    sigset_t none;
    ::sigfillset(&all);
    ::sigemptyset(&none);
    return ::posix_spawnattr_setsigdefault(&attributes_, &all) == 0 &&
           ::posix_spawnattr_setsigmask(&attributes_, &none) == 0 &&
           ::posix_spawnattr_setpgroup(&attributes_, 0) == 0 &&
           ::posix_spawnattr_setflags(&attributes_,
                                      POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETPGROUP) == 0 &&
           ::posix_spawn_file_actions_addclosefrom_np(&actions_, 3) == 0;
  }

  const posix_spawnattr_t* attributes() const { return &attributes_; }
  const posix_spawn_file_actions_t* actions() const { return &actions_; }

 private:
  posix_spawnattr_t attributes_{};
  posix_spawn_file_actions_t actions_{};
  bool attributesReady_ = false;
  bool actionsReady_ = false;
};

// Starts the program (looked up in PATH) with these arguments, not waited for.
std::optional<pid_t> spawnDetached(const std::vector<std::string>& arguments) {
  SpawnSetup setup;
  if (arguments.empty() || !setup.configureDetachedChild()) return std::nullopt;
  std::vector<char*> argv;
  argv.reserve(arguments.size() + 1);
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  pid_t pid = -1;
  if (::posix_spawnp(&pid, argv[0], setup.actions(), setup.attributes(), argv.data(), environ) != 0) {
    return std::nullopt;
  }
  return pid;
}

class DesktopBackend final : public WorkspaceBackend {
 public:
  bool openURL(const std::string& url) override {
    // The URL cannot pass for an option of xdg-open: it begins with a scheme.
    if (url.empty() || url.front() == '-') return false;
    const std::optional<pid_t> pid = spawnDetached({"xdg-open", url});
    if (!pid) return false;
    ChildReaper::current().reapWhenDone(*pid);
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

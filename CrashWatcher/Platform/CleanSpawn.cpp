#include "Platform/CleanSpawn.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <unistd.h>

#include <algorithm>

#include "Platform/UniqueFd.h"

extern char** environ;

namespace cw {
namespace {

class SpawnFileActions {
public:
  SpawnFileActions() { ok_ = ::posix_spawn_file_actions_init(&actions_) == 0; }
  ~SpawnFileActions() {
    if (ok_) ::posix_spawn_file_actions_destroy(&actions_);
  }
  SpawnFileActions(const SpawnFileActions&) = delete;
  SpawnFileActions& operator=(const SpawnFileActions&) = delete;
  bool ok() const { return ok_; }
  posix_spawn_file_actions_t* get() { return &actions_; }

private:
  posix_spawn_file_actions_t actions_{};
  bool ok_ = false;
};

class SpawnAttributes {
public:
  SpawnAttributes() { ok_ = ::posix_spawnattr_init(&attributes_) == 0; }
  ~SpawnAttributes() {
    if (ok_) ::posix_spawnattr_destroy(&attributes_);
  }
  SpawnAttributes(const SpawnAttributes&) = delete;
  SpawnAttributes& operator=(const SpawnAttributes&) = delete;
  bool ok() const { return ok_; }
  posix_spawnattr_t* get() { return &attributes_; }

private:
  posix_spawnattr_t attributes_{};
  bool ok_ = false;
};

}  // namespace

std::optional<pid_t> spawnCleanChild(const std::string& program, const std::vector<std::string>& arguments,
                                     std::span<const ChildDescriptor> descriptors, bool searchPath) {
  if (arguments.empty()) return std::nullopt;

  SpawnAttributes attributes;
  sigset_t all;
  sigset_t none;
  ::sigfillset(&all);
  ::sigemptyset(&none);
  if (!attributes.ok() || ::posix_spawnattr_setsigdefault(attributes.get(), &all) != 0 ||
      ::posix_spawnattr_setsigmask(attributes.get(), &none) != 0 ||
      ::posix_spawnattr_setpgroup(attributes.get(), 0) != 0 ||
      ::posix_spawnattr_setflags(attributes.get(),
                                 POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETPGROUP) != 0)
    return std::nullopt;

  SpawnFileActions actions;
  if (!actions.ok()) return std::nullopt;
  // dup2 onto its own number would keep close-on-exec set: map a copy instead.
  std::vector<UniqueFd> copies;
  int highest = STDERR_FILENO;
  for (const ChildDescriptor& descriptor : descriptors) {
    int source = descriptor.ours;
    if (source == descriptor.child) {
      copies.emplace_back(::fcntl(source, F_DUPFD_CLOEXEC, STDERR_FILENO + 1));
      if (!copies.back()) return std::nullopt;
      source = copies.back().get();
    }
    if (::posix_spawn_file_actions_adddup2(actions.get(), source, descriptor.child) != 0) return std::nullopt;
    highest = std::max(highest, descriptor.child);
  }
  if (::posix_spawn_file_actions_addclosefrom_np(actions.get(), highest + 1) != 0) return std::nullopt;

  std::vector<std::string> words = arguments;
  std::vector<char*> argv;
  argv.reserve(words.size() + 1);
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);

  pid_t pid = -1;
  const int failed = searchPath
                         ? ::posix_spawnp(&pid, program.c_str(), actions.get(), attributes.get(), argv.data(), environ)
                         : ::posix_spawn(&pid, program.c_str(), actions.get(), attributes.get(), argv.data(), environ);
  if (failed != 0) return std::nullopt;
  return pid;
}

}  // namespace cw

#include "Platform/ChildProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <string_view>
#include <utility>

#include "Platform/Posix.h"

extern char** environ;

namespace cw {
namespace {

constexpr int kNotStartedStatus = 127;
// Without a pidfd (kernels before 5.3) we look for a child's end this often.
constexpr double kExitPollSeconds = 0.01;
// Off only in tests, to take the path of kernels without pidfds.
std::atomic<bool> pidfdsEnabled{true};

// A posix_spawn object, initialised and destroyed with its owner; error()
// is the errno of a failed initialisation.
template <typename T, int (*Init)(T*), int (*Destroy)(T*)>
class SpawnObject {
public:
  SpawnObject() { error_ = Init(&object_); }
  ~SpawnObject() {
    if (error_ == 0) Destroy(&object_);
  }
  SpawnObject(const SpawnObject&) = delete;
  SpawnObject& operator=(const SpawnObject&) = delete;
  int error() const { return error_; }
  T* get() { return &object_; }

private:
  T object_{};
  int error_ = 0;
};

using SpawnFileActions =
    SpawnObject<posix_spawn_file_actions_t, ::posix_spawn_file_actions_init, ::posix_spawn_file_actions_destroy>;
using SpawnAttributes = SpawnObject<posix_spawnattr_t, ::posix_spawnattr_init, ::posix_spawnattr_destroy>;

// Default dispositions, empty mask, a group or a session of its own; 0 or an
// errno.
int cleanAttributes(SpawnAttributes& attributes, bool newSession) {
  if (attributes.error() != 0) return attributes.error();
  sigset_t all;
  sigset_t none;
  ::sigfillset(&all);
  ::sigemptyset(&none);
  if (const int error = ::posix_spawnattr_setsigdefault(attributes.get(), &all)) return error;
  if (const int error = ::posix_spawnattr_setsigmask(attributes.get(), &none)) return error;
  // setsid() makes the child the leader of a new group as well; a session
  // leader may not change its group, so the two are never asked together.
  if (newSession)
    return ::posix_spawnattr_setflags(attributes.get(),
                                      POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSID);
  if (const int error = ::posix_spawnattr_setpgroup(attributes.get(), 0)) return error;
  return ::posix_spawnattr_setflags(attributes.get(),
                                    POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETPGROUP);
}

// Only the mapped descriptors beyond 0, 1 and 2; 0 or an errno. `copies`
// keeps alive what the actions refer to.
int cleanDescriptors(SpawnFileActions& actions, const std::vector<ChildDescriptor>& descriptors,
                     std::vector<UniqueFd>& copies) {
  if (actions.error() != 0) return actions.error();
  int highest = STDERR_FILENO;
  for (const ChildDescriptor& descriptor : descriptors) {
    int source = descriptor.ours;
    // dup2 onto its own number would keep close-on-exec set: map a copy instead.
    if (source == descriptor.child) {
      copies.emplace_back(::fcntl(source, F_DUPFD_CLOEXEC, STDERR_FILENO + 1));
      if (!copies.back()) return errno;
      source = copies.back().get();
    }
    if (const int error = ::posix_spawn_file_actions_adddup2(actions.get(), source, descriptor.child)) return error;
    highest = std::max(highest, descriptor.child);
  }
  return ::posix_spawn_file_actions_addclosefrom_np(actions.get(), highest + 1);
}

// Our environment with `overrides` ("NAME=value") set in it.
std::vector<std::string> childEnvironment(const std::vector<std::string>& overrides) {
  std::vector<std::string> entries;
  for (char** entry = environ; entry && *entry; ++entry) entries.emplace_back(*entry);
  for (const std::string& entry : overrides) {
    const std::string_view name = std::string_view(entry).substr(0, entry.find('=') + 1);
    std::erase_if(entries, [name](const std::string& existing) { return existing.starts_with(name); });
    entries.push_back(entry);
  }
  return entries;
}

std::vector<char*> pointersTo(std::vector<std::string>& words) {
  std::vector<char*> pointers;
  pointers.reserve(words.size() + 1);
  for (std::string& word : words) pointers.push_back(word.data());
  pointers.push_back(nullptr);
  return pointers;
}

}  // namespace

SystemResult<ChildProcess> ChildProcess::spawn(const std::string& program, const std::vector<std::string>& arguments,
                                               const Options& options) {
  if (arguments.empty()) return SystemError(EINVAL);
  SpawnAttributes attributes;
  SpawnFileActions actions;
  std::vector<UniqueFd> copies;
  if (const int error = cleanAttributes(attributes, options.newSession)) return SystemError(error);
  if (const int error = cleanDescriptors(actions, options.descriptors, copies)) return SystemError(error);

  std::vector<std::string> words = arguments;
  std::vector<char*> argv = pointersTo(words);
  std::vector<std::string> environment;
  char** envp = environ;
  std::vector<char*> envPointers;
  if (!options.environment.empty()) {
    environment = childEnvironment(options.environment);
    envPointers = pointersTo(environment);
    envp = envPointers.data();
  }

  pid_t pid = -1;
  const int error = options.searchPath
                        ? ::posix_spawnp(&pid, program.c_str(), actions.get(), attributes.get(), argv.data(), envp)
                        : ::posix_spawn(&pid, program.c_str(), actions.get(), attributes.get(), argv.data(), envp);
  if (error != 0) return SystemError(error);
  ChildProcess child;
  child.pid_ = pid;
  if (pidfdsEnabled) child.pidfd_ = posix::pidfdOpen(pid);
  return child;
}

std::vector<std::string> ChildProcess::argumentVector(const std::string& program,
                                                      const std::vector<std::string>& arguments) {
  std::vector<std::string> words;
  words.reserve(arguments.size() + 1);
  words.push_back(program);
  words.insert(words.end(), arguments.begin(), arguments.end());
  return words;
}

void ChildProcess::setPidfdsEnabled(bool enabled) {
  pidfdsEnabled = enabled;
}

ChildProcess::ChildProcess(ChildProcess&& other) noexcept {
  *this = std::move(other);
}

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
  if (this != &other) {
    terminate();
    // The other's watch calls back into the other: it is made anew here.
    const bool watched = other.exitWatch_.active();
    other.exitWatch_.reset();
    pid_ = std::exchange(other.pid_, -1);
    pidfd_ = std::move(other.pidfd_);
    waitStatus_ = std::exchange(other.waitStatus_, std::nullopt);
    exitLoop_ = std::exchange(other.exitLoop_, nullptr);
    exitModes_ = std::move(other.exitModes_);
    onExit_ = std::move(other.onExit_);
    exitWatch_.reset();
    if (watched) armExitWatch();
  }
  return *this;
}

void ChildProcess::watchExit(RunLoop& loop, std::vector<std::string> modes, std::function<void()> onExit) {
  exitLoop_ = &loop;
  exitModes_ = std::move(modes);
  onExit_ = std::move(onExit);
  armExitWatch();
}

void ChildProcess::stopWatchingExit() {
  exitWatch_.reset();
  exitLoop_ = nullptr;
  onExit_ = nullptr;
}

void ChildProcess::armExitWatch() {
  exitWatch_.reset();
  if (!exitLoop_ || !onExit_ || pid_ <= 0) return;
  const auto noteIfEnded = [this] {
    if (!hasExited()) return;
    // Once only: a pidfd stays readable. What is called may end this owner.
    std::function<void()> onExit = std::move(onExit_);
    stopWatchingExit();
    onExit();
  };
  // A pidfd of a child that already ended is readable at once; without one,
  // the first look comes after the interval.
  if (pidfd_)
    exitWatch_ = exitLoop_->addFdSource(
        pidfd_.get(), [noteIfEnded](short) { noteIfEnded(); }, exitModes_);
  else
    exitWatch_ = exitLoop_->addTimer(kExitPollSeconds, true, noteIfEnded, exitModes_);
}

ChildProcess::~ChildProcess() {
  terminate();
}

void ChildProcess::killGroup() {
  if (pid_ <= 0 || reaped()) return;
  ::kill(-pid_, SIGKILL);
  ::kill(pid_, SIGKILL);  // in case it left its group
}

bool ChildProcess::hasExited() const {
  if (pid_ <= 0 || reaped()) return reaped();
  siginfo_t info{};
  const int result =
      posix::retryOnEintr([&] { return ::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT); });
  // ECHILD: collected elsewhere, so it has ended all the same.
  return result != 0 || info.si_pid != 0;
}

bool ChildProcess::tryReap() {
  return reap(false);
}

bool ChildProcess::reap(bool block) {
  if (pid_ <= 0) return false;
  if (reaped()) return true;
  int status = 0;
  const pid_t result = posix::retryOnEintr([&] { return ::waitpid(pid_, &status, block ? 0 : WNOHANG); });
  if (result == 0) return false;
  // ECHILD: someone else collected it (SIGCHLD ignored); the status is lost.
  waitStatus_ = result == pid_ ? std::optional<int>(status) : std::nullopt;
  stopWatchingExit();  // the loop's source goes before the descriptor it watches
  pidfd_.reset();
  return true;
}

void ChildProcess::terminate() {
  if (pid_ <= 0 || reaped()) return;
  killGroup();
  reap(true);  // right after SIGKILL: the end is a matter of the kernel's moment
}

void ChildProcess::detach() {
  stopWatchingExit();
  pid_ = -1;
  pidfd_.reset();
}

int ChildProcess::shellStatus() const {
  const std::optional<int> status = waitStatus();
  if (!status) return kNotStartedStatus;
  if (WIFEXITED(*status)) return WEXITSTATUS(*status);
  if (WIFSIGNALED(*status)) return 128 + WTERMSIG(*status);
  return kNotStartedStatus;
}

}  // namespace cw

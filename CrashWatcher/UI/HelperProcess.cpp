#include "UI/HelperProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

extern char** environ;

namespace cw::ui {
namespace {

// posix_spawn's attribute and file-action objects, destroyed on every way out.
struct SpawnAttributes {
  posix_spawnattr_t value;
  SpawnAttributes() { posix_spawnattr_init(&value); }
  ~SpawnAttributes() { posix_spawnattr_destroy(&value); }
  SpawnAttributes(const SpawnAttributes&) = delete;
  SpawnAttributes& operator=(const SpawnAttributes&) = delete;
};

struct SpawnFileActions {
  posix_spawn_file_actions_t value;
  SpawnFileActions() { posix_spawn_file_actions_init(&value); }
  ~SpawnFileActions() { posix_spawn_file_actions_destroy(&value); }
  SpawnFileActions(const SpawnFileActions&) = delete;
  SpawnFileActions& operator=(const SpawnFileActions&) = delete;
};

// Waits up to `grace` for the child to end by itself.
void awaitExit(pid_t pid, std::chrono::milliseconds grace) {
  if (grace.count() <= 0) return;
  UniqueFd pidfd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
  if (!pidfd) return;
  pollfd entry{pidfd.get(), POLLIN, 0};
  const auto deadline = std::chrono::steady_clock::now() + grace;
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return;
    const int ready = ::poll(&entry, 1, static_cast<int>(left.count()));
    if (ready >= 0 || errno != EINTR) return;
  }
}

}  // namespace

std::optional<HelperProcess> HelperProcess::spawn(const std::string& path, const std::vector<std::string>& arguments,
                                                  int childFd) {
  int ends[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) return std::nullopt;
  UniqueFd ours(ends[0]);
  UniqueFd theirs(ends[1]);
  // dup2 onto the same number would leave close-on-exec set; move it away.
  if (theirs.get() == childFd) {
    theirs.reset(::fcntl(theirs.get(), F_DUPFD_CLOEXEC, childFd + 1));
    if (!theirs) return std::nullopt;
  }
  const int flags = ::fcntl(ours.get(), F_GETFL);
  if (flags < 0 || ::fcntl(ours.get(), F_SETFL, flags | O_NONBLOCK) != 0) return std::nullopt;

  SpawnFileActions actions;
  if (posix_spawn_file_actions_adddup2(&actions.value, theirs.get(), childFd) != 0) return std::nullopt;
  // Nothing of ours beyond the socket may leak into the helper, whatever
  // descriptors other parts of the agent forgot to mark close-on-exec.
  if (posix_spawn_file_actions_addclosefrom_np(&actions.value, childFd + 1) != 0) return std::nullopt;

  SpawnAttributes attributes;
  sigset_t noSignals;
  sigset_t allSignals;
  sigemptyset(&noSignals);
  sigfillset(&allSignals);
  posix_spawnattr_setsigmask(&attributes.value, &noSignals);
  posix_spawnattr_setsigdefault(&attributes.value, &allSignals);
  // Its own process group: an interrupt meant for the agent's group is the
  // agent's to handle; the helper ends when the agent lets go of it.
  posix_spawnattr_setpgroup(&attributes.value, 0);
  posix_spawnattr_setflags(&attributes.value, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);

  std::vector<std::string> argvStorage;
  argvStorage.reserve(arguments.size() + 1);
  argvStorage.push_back(path);
  argvStorage.insert(argvStorage.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (auto& argument : argvStorage) argv.push_back(argument.data());
  argv.push_back(nullptr);

  pid_t pid = -1;
  if (::posix_spawn(&pid, path.c_str(), &actions.value, &attributes.value, argv.data(), environ) != 0)
    return std::nullopt;
  return HelperProcess(std::move(ours), pid);
}

HelperProcess::HelperProcess(HelperProcess&& other) noexcept
    : socket_(std::move(other.socket_)), pid_(std::exchange(other.pid_, -1)) {}

HelperProcess& HelperProcess::operator=(HelperProcess&& other) noexcept {
  if (this != &other) {
    terminate();
    socket_ = std::move(other.socket_);
    pid_ = std::exchange(other.pid_, -1);
  }
  return *this;
}

HelperProcess::~HelperProcess() {
  terminate();
}

std::optional<int> HelperProcess::terminate(std::chrono::milliseconds grace) {
  // Closing our end is the helper's signal to quit.
  socket_.reset();
  if (pid_ < 0) return std::nullopt;
  const pid_t pid = std::exchange(pid_, -1);
  awaitExit(pid, grace);
  // Until it is reaped the number stays ours, so neither kill can hit a
  // stranger; the group takes anything the helper started with it.
  ::kill(-pid, SIGKILL);
  ::kill(pid, SIGKILL);
  int status = 0;
  for (;;) {
    if (::waitpid(pid, &status, 0) == pid) return status;
    if (errno != EINTR) return std::nullopt;  // reaped elsewhere (SIGCHLD ignored)
  }
}

}  // namespace cw::ui

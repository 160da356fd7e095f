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

#include "Platform/CleanSpawn.h"

namespace cw::ui {
namespace {

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
  const int flags = ::fcntl(ours.get(), F_GETFL);
  if (flags < 0 || ::fcntl(ours.get(), F_SETFL, flags | O_NONBLOCK) != 0) return std::nullopt;

  std::vector<std::string> argv;
  argv.reserve(arguments.size() + 1);
  argv.push_back(path);
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  // Nothing of ours beyond the socket may leak into the helper; its own
  // process group keeps an interrupt meant for the agent the agent's to handle.
  const ChildDescriptor socket{theirs.get(), childFd};
  const std::optional<pid_t> pid = spawnCleanChild(path, argv, std::span<const ChildDescriptor>(&socket, 1));
  if (!pid) return std::nullopt;
  return HelperProcess(std::move(ours), *pid);
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

#include "Platform/SystemLog.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <ctime>
#include <string>

#include "Platform/Posix.h"

namespace cw {
namespace {

// How long one line may wait for a reader that does not read (a stopped
// terminal, a stuck log collector). Once a line was dropped, later ones do
// not wait at all until the reader takes one again.
constexpr int kReaderWaitMilliseconds = 1000;
std::atomic<bool> readerStalled{false};

// Writes the line without ever ending or holding the agent: a reader that is
// gone gives EPIPE (SIGPIPE is ignored; send() on a socket asks for no
// signal either), one that does not read is waited for a bounded time. On a
// pipe a write of at most PIPE_BUF bytes into room that poll reported never
// blocks. False when the line could not be written whole.
bool writeWithoutStalling(int fd, std::string_view bytes) {
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(readerStalled ? 0 : kReaderWaitMilliseconds);
  bool socket = true;
  while (!bytes.empty()) {
    ssize_t written = -1;
    if (socket) {
      written = ::send(fd, bytes.data(), bytes.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
      if (written < 0 && errno == ENOTSOCK) socket = false;
    }
    if (!socket) {
      pollfd entry{fd, POLLOUT, 0};
      const int ready = ::poll(&entry, 1, posix::pollTimeoutUntil(deadline));
      if (ready < 0 && errno == EINTR) continue;
      if (ready <= 0) {
        readerStalled = ready == 0;
        return false;
      }
      written = ::write(fd, bytes.data(), std::min<std::size_t>(bytes.size(), PIPE_BUF));
    } else if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      pollfd entry{fd, POLLOUT, 0};
      if (::poll(&entry, 1, posix::pollTimeoutUntil(deadline)) == 0) {
        readerStalled = true;
        return false;
      }
      continue;
    }
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
  readerStalled = false;
  return true;
}

}  // namespace

void systemLogMessage(std::string_view message) {
  timeval now{};
  ::gettimeofday(&now, nullptr);
  tm local{};
  ::localtime_r(&now.tv_sec, &local);
  char prefix[96];
  const int n = std::snprintf(prefix, sizeof prefix, "%04d-%02d-%02d %02d:%02d:%02d.%03ld CrashWatcher[%ld:%ld] ",
                              local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min,
                              local.tm_sec, static_cast<long>(now.tv_usec / 1000), static_cast<long>(::getpid()),
                              static_cast<long>(::syscall(SYS_gettid)));
  // snprintf answers the length it wanted, which may exceed the buffer.
  const size_t prefixLength = n <= 0 ? 0 : std::min(static_cast<size_t>(n), sizeof prefix - 1);
  std::string line(prefix, prefixLength);
  line.append(message);
  if (line.empty() || line.back() != '\n') line.push_back('\n');
  // A failure has nowhere left to be reported.
  writeWithoutStalling(STDERR_FILENO, line);
}

}  // namespace cw

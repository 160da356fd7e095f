#pragma once

// Small helpers over the system calls, shared by everything that waits,
// writes or owns a child: one way to retry, one way to round a wait.
#include <poll.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <optional>
#include <string_view>

#include "Platform/SystemResult.h"
#include "Platform/UniqueFd.h"

namespace cw::posix {

// Calls `call` again for as long as it fails with EINTR; its result otherwise.
template <typename Call>
auto retryOnEintr(Call call) {
  for (;;) {
    const auto result = call();
    if (!(result < 0 && errno == EINTR)) return result;
  }
}

// Writes all of `bytes` to a blocking descriptor. A write that made no
// progress, which retrying would only repeat, fails with EIO.
inline SystemResult<void> writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = retryOnEintr([&] { return ::write(fd, bytes.data(), bytes.size()); });
    if (written < 0) return SystemError::last();
    if (written == 0) return SystemError(EIO);
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
  return {};
}

// poll(2)'s timeout for a wait until `deadline`: -1 without one, 0 once it has
// passed, else whole milliseconds rounded up, so that a wait never ends before
// its deadline and turns into a loop of zero-timeout polls.
inline int pollTimeoutUntil(std::optional<std::chrono::steady_clock::time_point> deadline) {
  if (!deadline) return -1;
  const auto now = std::chrono::steady_clock::now();
  if (*deadline <= now) return 0;
  const auto wait = std::chrono::ceil<std::chrono::milliseconds>(*deadline - now).count();
  return wait > INT_MAX ? INT_MAX : static_cast<int>(wait);
}

// A close-on-exec descriptor that becomes readable when the process ends;
// invalid (errno kept) on kernels before 5.3. glibc's <sys/pidfd.h> does not
// compile as C++, hence the raw system call.
inline UniqueFd pidfdOpen(pid_t pid) {
  return UniqueFd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
}

}  // namespace cw::posix

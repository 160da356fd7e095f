#include "Platform/SystemLog.h"

#include <sys/syscall.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <string>

#include "Platform/Posix.h"

namespace cw {

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
  posix::writeAll(STDERR_FILENO, line);
}

}  // namespace cw

#pragma once

#include <string_view>

#include "Platform/CheckedFormat.h"
#include "Platform/Format.h"

namespace cw {

// One line per call on standard error, in a single write(2):
// "yyyy-MM-dd HH:mm:ss.SSS CrashWatcher[pid:tid] message". When the agent
// runs as a user service the journal captures it.
void systemLogMessage(std::string_view message);

// printf + "%@" formatting, its format checked against the arguments while
// compiling. A value that still cannot be formatted (a "*" width out of
// range) logs the bare format.
template <typename... Args>
void systemLog(CheckedFormat<Args...> fmt, const Args&... args) {
  const auto text = format(fmt.get(), args...);
  systemLogMessage(text ? std::string_view(*text) : fmt.get());
}

}  // namespace cw

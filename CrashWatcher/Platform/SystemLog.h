#pragma once

#include <string_view>

#include "Platform/Format.h"

namespace cw {

// One line per call on standard error, in a single write(2):
// "yyyy-MM-dd HH:mm:ss.SSS CrashWatcher[pid:tid] message". When the agent
// runs as a user service the journal captures it.
void systemLogMessage(std::string_view message);

// printf + "%@" formatting; a format that cannot be filled logs the bare format.
template <typename... Args>
void systemLog(std::string_view fmt, const Args&... args) {
  const auto text = format(fmt, args...);
  systemLogMessage(text ? std::string_view(*text) : fmt);
}

}  // namespace cw

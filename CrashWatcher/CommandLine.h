#pragma once

#include <optional>

namespace cw {

// The status for a command line the agent does not understand (EX_USAGE).
inline constexpr int kUsageExitStatus = 64;

// Answers the agent's arguments before anything else happens: "--help"
// prints the usage and "--version" the version, each to standard output with
// status 0; any other argument prints the usage to standard error, status 64.
// Absent without arguments: then the agent runs. Whoever types an argument
// in a terminal never starts a second agent nor touches the lock.
std::optional<int> answerCommandLine(int argc, const char* const argv[]);

}  // namespace cw

#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "process/AgentProcess.h"

namespace cw::test::stress {

using namespace std::chrono_literals;

// A child process with standard input on /dev/null and standard output and
// error in a log file. Killed and reaped on destruction.
class Child {
public:
  Child(const std::vector<std::string>& argv, const std::vector<std::string>& env, std::string logPath);
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  pid_t pid() const { return pid_; }
  bool started() const { return pid_ > 0; }
  std::string log() const;
  bool hasLogged(std::string_view text) const { return log().find(text) != std::string::npos; }
  void signal(int sig) const;
  // Collects the status without waiting; true once the child has ended.
  bool ended();
  // The exit status, or minus the signal that ended it; absent while running.
  std::optional<int> status() const;
  std::optional<int> waitForExit(std::chrono::milliseconds guard = 60s);

private:
  std::string logPath_;
  pid_t pid_ = -1;
  bool reaped_ = false;
  int waitStatus_ = 0;
};

std::string agentExecutable(const AgentSandbox& sandbox);
std::string infoPlistPath(const AgentSandbox& sandbox);
std::string preferencesFolder(const AgentSandbox& sandbox);
// The agent's preference file while its Info.plist names its identifier.
std::string preferencesPath(const AgentSandbox& sandbox);

// Replaces the staged bundle's Info.plist: the agent's identifier plus
// `extraEntries`, key/value elements as they stand inside <dict>.
void writeInfoPlist(const AgentSandbox& sandbox, std::string_view extraEntries = {});
// An Info.plist whose helper scripts are killed after `seconds`.
void limitScriptTime(const AgentSandbox& sandbox, int seconds);

// A relatedness script that appends "$1" and a NUL to `record` and exits with
// `status`: NUL-separated, so that any path survives the trip.
void installRecordingScript(const AgentSandbox& sandbox, const std::string& record, int status = 0);
// Splits a NUL-separated record.
std::vector<std::string> recordedPaths(const std::string& record);

// From /proc: resident memory in KiB, open descriptors; -1 when unknown.
long residentKiB(pid_t pid);
int openDescriptorCount(pid_t pid);
// Whether `pid` has `path` open while it is no longer at that name.
bool holdsDeletedFile(pid_t pid, const std::string& path);

// Runs a program to its end, output and error into `output` when given.
// The exit status, minus the signal, or absent when the guard ran out.
std::optional<int> runProgram(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                              std::string* output = nullptr, std::chrono::milliseconds guard = 120s);

// The time stamp that the system log puts before a line holding `text`, in
// milliseconds of the day's local time and date; absent when no line holds it.
std::optional<long long> loggedAt(const std::string& log, std::string_view text);

std::string lockMessage(const std::string& lockPath);
std::string notRelated(const std::string& path);
std::string related(const std::string& path);
inline constexpr std::string_view kWatching = "Watching '";
inline constexpr std::string_view kCaughtSIGINT = "caught SIGINT - exiting...";
inline constexpr std::string_view kNotRelatedSuffix = "' crash report was not related to Vellumdrift";

}  // namespace cw::test::stress

#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "Platform/UniqueFd.h"

namespace cw {

// An anonymous pipe, both ends close-on-exec.
class Pipe {
public:
  static std::optional<Pipe> make();

  int readFd() const { return read_.get(); }
  int writeFd() const { return write_.get(); }
  void closeWriteEnd() { write_.reset(); }

private:
  UniqueFd read_;
  UniqueFd write_;
};

// A child process, started with posix_spawn in its own process group, with
// default signal dispositions, an empty signal mask, and no descriptor of ours
// but 0, 1 and 2. Its standard output may be a pipe that we read.
class Task {
public:
  // After this long a child is killed with its whole process group; callers
  // then read status and output as usual.
  static constexpr std::chrono::minutes kDefaultTimeLimit{5};
  // Output kept by readDataToEndOfFile(); the rest is read and dropped, so
  // that a script that writes without end cannot exhaust our memory.
  static constexpr std::size_t kDefaultOutputLimit = std::size_t{256} << 20;

  Task() = default;
  ~Task();  // a child still running is killed and reaped
  Task(const Task&) = delete;
  Task& operator=(const Task&) = delete;

  void setLaunchPath(std::string path) { launchPath_ = std::move(path); }
  void setArguments(std::vector<std::string> arguments) { arguments_ = std::move(arguments); }
  // The pipe's write end becomes the child's standard output; launch() closes
  // our copy of it so that end of file comes when the child's side closes.
  void setStandardOutput(Pipe& pipe) { stdout_ = &pipe; }
  void setTimeLimit(std::chrono::milliseconds limit) { timeLimit_ = limit; }
  void setOutputLimit(std::size_t bytes) { outputLimit_ = bytes; }

  // false when the child could not be started (status then 127).
  bool launch();
  // Reads the pipe to end of file (blocking, without serving the run loop),
  // up to the time limit. Absent when not launched with a pipe.
  std::string readDataToEndOfFile();
  // Reads and discards to end of file; same bound.
  void discardDataToEndOfFile();
  // Waits for the end while serving the current run loop in its default mode.
  void waitUntilExit();
  bool isRunning() const;
  // The status as the shell reports it: the exit code, or 128 + the signal.
  int terminationStatus() const { return status_; }
  // Whether the time limit ran out and the child was killed.
  bool timedOut() const { return timedOut_; }
  // Whether readDataToEndOfFile() dropped output beyond the output limit.
  bool outputTruncated() const { return outputTruncated_; }
  pid_t processIdentifier() const { return pid_; }

private:
  void killGroup();
  bool deadlinePassed() const;
  // Kills the group because the time limit ran out.
  void expire();
  // Reads to end of file into `sink` (nullptr: discard).
  void readToEnd(std::string* sink);
  // Collects the child's status; true once it has ended.
  bool reap(bool block);

  std::string launchPath_;
  std::vector<std::string> arguments_;
  Pipe* stdout_ = nullptr;
  std::chrono::milliseconds timeLimit_ = kDefaultTimeLimit;
  std::size_t outputLimit_ = kDefaultOutputLimit;
  std::chrono::steady_clock::time_point deadline_{};
  pid_t pid_ = -1;
  UniqueFd pidfd_;
  bool exited_ = false;
  bool timedOut_ = false;
  bool outputTruncated_ = false;
  int status_ = 0;
};

}  // namespace cw

#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Platform/ChildProcess.h"
#include "Platform/RunLoop.h"
#include "Platform/SystemResult.h"

namespace cw {

// One run of a program whose standard output we read, the way the helper
// scripts run: a clean child (see ChildProcess) with its output on a pipe,
// waited for while the current run loop serves its default mode.
class Task {
public:
  // After this long a child is killed with its whole process group; the
  // results then stand as far as they got.
  static constexpr std::chrono::minutes kDefaultTimeLimit{5};
  // Output kept; the rest is read and dropped, so that a script that writes
  // without end cannot exhaust our memory.
  static constexpr std::size_t kDefaultOutputLimit = std::size_t{256} << 20;

  enum class Output { Keep, Discard };

  Task() = default;
  Task(const Task&) = delete;
  Task& operator=(const Task&) = delete;

  void setLaunchPath(std::string path) { launchPath_ = std::move(path); }
  void setArguments(std::vector<std::string> arguments) { arguments_ = std::move(arguments); }
  // "NAME=value" entries for this child's environment only.
  void setEnvironment(std::vector<std::string> entries) { environment_ = std::move(entries); }
  void setTimeLimit(std::chrono::milliseconds limit) { timeLimit_ = limit; }
  void setOutputLimit(std::size_t bytes) { outputLimit_ = bytes; }
  // Output up to and including the first `marker` is not the child's answer
  // (what a login shell's start-up files print comes before it) and is
  // dropped; without the marker nothing is kept at all.
  void setOutputStartMarker(std::string marker) { startMarker_.marker = std::move(marker); }
  // A second pipe, the child's descriptor `childDescriptor`, on which it says
  // `marker` when it got somewhere (a shell that reached its command line,
  // also when a start-up file sent its standard output elsewhere). Read while
  // the task runs, but its end is not waited for: what inherited it may live
  // on.
  void setSideMarker(int childDescriptor, std::string marker) {
    sideDescriptor_ = childDescriptor;
    sideMarker_.marker = std::move(marker);
  }

  // The run-loop mode the task's sources live in and that is served while it
  // runs (default: the default mode).
  void setRunMode(std::string mode) { runMode_ = std::move(mode); }
  // A handle of the caller's, fresh for this task, that ends the run when
  // stopped: the group is killed at once and the run counts as interrupted.
  // The task stops it itself when the child has finished.
  void setStopHandle(RunLoop::RunHandle handle) { stopHandle_ = std::move(handle); }

  // Starts the child and serves the current run loop in its default mode
  // until its output has ended and it has exited; both its output pipe and
  // its end are sources of that mode, so other sources there (the directory
  // events) are served meanwhile. A stop of every run (a shutdown) kills the
  // group and returns at once, with no output. A task runs once (a second run
  // fails with EALREADY). A failure to start the child (status 127) keeps its
  // errno.
  SystemResult<void> run(Output output = Output::Keep);

  const std::string& output() const { return output_; }
  // The status as the shell reports it: the exit code, or 128 + the signal.
  int terminationStatus() const { return status_; }
  // The signal that ended the child, or 0 when it exited (or never ran).
  int terminationSignal() const { return signal_; }
  // The time limit ran out and the group was killed.
  bool timedOut() const { return timedOut_; }
  // The start marker came: the child's own output followed.
  bool outputStartMarkerSeen() const { return startMarker_.seen; }
  // The side marker came on its own pipe.
  bool sideMarkerSeen() const { return sideMarker_.seen; }
  // Output beyond the output limit was dropped.
  bool outputTruncated() const { return outputTruncated_; }
  // The run was ended by a stop of every run (or of the stop handle) before
  // the child had finished.
  bool interrupted() const { return interrupted_; }
  pid_t processIdentifier() const { return pid_; }

private:
  // Looks for a marker in a stream that comes in pieces.
  struct MarkerScan {
    std::string marker;
    bool seen = false;
    // What came before it, as far as it could still begin it.
    std::string pending;
    // Once the marker has come: what followed it in `bytes`.
    std::optional<std::string> feed(std::string_view bytes);
  };

  // Takes in what was read: looks for the start marker, then keeps or drops.
  void take(std::string_view bytes, Output output);

  std::string launchPath_;
  std::string runMode_{kDefaultRunLoopMode};
  RunLoop::RunHandle stopHandle_;
  std::vector<std::string> arguments_;
  std::vector<std::string> environment_;
  std::chrono::milliseconds timeLimit_ = kDefaultTimeLimit;
  std::size_t outputLimit_ = kDefaultOutputLimit;
  MarkerScan startMarker_;
  MarkerScan sideMarker_;
  int sideDescriptor_ = -1;
  bool ran_ = false;
  std::string output_;
  pid_t pid_ = -1;
  int status_ = 127;
  int signal_ = 0;
  bool timedOut_ = false;
  bool outputTruncated_ = false;
  bool interrupted_ = false;
};

}  // namespace cw

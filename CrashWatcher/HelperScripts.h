#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Platform/Bundle.h"
#include "Platform/RunLoop.h"

namespace cw {

// Runs the agent's helper scripts on a crash log.
class HelperScripts {
public:
  struct Result {
    // The whole standard output; absent when not UTF-8, cut at the memory
    // bound, not asked for, taken by a start-up file, or the run was
    // interrupted.
    std::optional<std::string> output;
    std::int32_t status = 127;
    // A shutdown ended the run before the script did: no answer at all.
    bool interrupted = false;
    // Killed at the time limit.
    bool timedOut = false;
    // The script ran, but a start-up file of the login shell sent the shell's
    // standard output elsewhere: its status stands, its output is lost.
    bool outputTaken = false;
    // The script ran and reached an exit of its own: it could be started, and
    // was neither killed (by a signal or at the time limit) nor cut short;
    // the shell's 126 and 127 (it could not run the script) are no exit of
    // its own either. Only such a run answers; a stand-in that answers keeps
    // the default.
    bool ownExit = true;
    // How it ended, for the log: "exited with status 2", "was killed after
    // its time limit of 300 s", ...
    std::string ending;
  };

  // How a run differs from the plain one.
  struct Options {
    // Given to the script before the crash log ("--show").
    std::vector<std::string> arguments;
    // The run-loop mode served while it runs: the modal one while a window
    // must stay answerable.
    std::string mode{kDefaultRunLoopMode};
    // When given, holds the handle of the shell run under way (each run gets a
    // fresh one): stopping it ends the run at once, as a shutdown does.
    std::shared_ptr<RunLoop::RunHandle> stop;
  };

  // Why a run whose output was taken gave none, for the log and the mail.
  static constexpr std::string_view kOutputTakenReason = "a start-up file of the login shell took its output";

  virtual ~HelperScripts() = default;
  // `keepOutput` false: the output is read and dropped.
  virtual Result run(std::string_view name, std::string_view crashFile, bool keepOutput) = 0;
  // The same with `options`. A stand-in that knows no options runs plainly,
  // and answers a run with arguments as a script that could not run.
  virtual Result run(std::string_view name, std::string_view crashFile, bool keepOutput, const Options& options) {
    if (options.arguments.empty()) return run(name, crashFile, keepOutput);
    Result cannot;
    cannot.ownExit = false;
    cannot.ending = "could not be run with options";
    return cannot;
  }
  // The output kept up to `limit` bytes only, the rest read and dropped (an
  // output cut there is none).
  virtual Result runKeepingAtMost(std::string_view name, std::string_view crashFile, std::size_t limit) {
    (void)limit;
    return run(name, crashFile, true);
  }
};

// The scripts of a bundle: the resource "<name>.rb", run as
// /bin/bash -l -c "printf '%s' '<marker>' && { printf '%s' '<marker>' >&3;
// exec '<script>' '<crash log>' 3>&-; }" (both paths quoted for the shell;
// the shell's descriptor 3 is a pipe of ours, closed for the script). The
// answer is what the script writes after the marker: what the login shell's
// start-up files print before it is dropped. When they end the shell before
// the marker (exit, exec sh), the script runs again with
// /bin/bash --noprofile -l -c (logged once); when the marker comes on
// descriptor 3 only, they took the shell's output (exec >/dev/null) and the
// script ran: it is not run again, and its output is absent (logged once). With
// the run loop's default mode served meanwhile, killed with its process group
// after the bundle's "HelperScriptTimeLimit" (default 5 minutes). Each child
// gets the agent's environment plus `environment` ("NAME=value") and
// CRASHWATCHER_SCRIPT_TIME_LIMIT (that limit in seconds); the agent's own
// stays as it is.
class BundleHelperScripts final : public HelperScripts {
public:
  BundleHelperScripts(const Bundle& bundle, std::vector<std::string> environment);
  Result run(std::string_view name, std::string_view crashFile, bool keepOutput) override;
  Result run(std::string_view name, std::string_view crashFile, bool keepOutput, const Options& options) override;
  Result runKeepingAtMost(std::string_view name, std::string_view crashFile, std::size_t limit) override;

private:
  Result run(std::string_view name, std::string_view crashFile, bool keepOutput, std::size_t outputLimit,
             const Options& options);
  std::chrono::milliseconds timeLimit() const;

  const Bundle& bundle_;
  std::vector<std::string> environment_;
  bool startupFilesFailureLogged_ = false;
  bool outputTakenLogged_ = false;
  // A start-up file took a script's output once: the scripts whose answer
  // is needed run without the start-up files from then on.
  bool startupFilesTakeOutput_ = false;
};

}  // namespace cw

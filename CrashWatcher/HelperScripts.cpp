#include "HelperScripts.h"

#include <cstdio>
#include <cstring>
#include <random>

#include "Platform/ShellQuote.h"
#include "Platform/SystemLog.h"
#include "Platform/Task.h"
#include "Platform/Utf8.h"

namespace cw {
namespace {

// Info.plist key: seconds after which a helper script is killed. A script that
// never ends must not freeze us.
constexpr std::string_view kScriptTimeLimitKey = "HelperScriptTimeLimit";

// The statuses by which the shell says it could not run the script: found
// but not executable, and not found (nor its interpreter).
constexpr int kCannotExecuteStatus = 126;
constexpr int kNotFoundStatus = 127;

std::string secondsText(std::chrono::milliseconds limit) {
  const auto count = limit.count();
  if (count % 1000 == 0) return std::to_string(count / 1000);
  return std::to_string(count / 1000) + "." + std::to_string(count % 1000 / 100);
}

// Whether the script reached an exit of its own, and how the run ended.
void describeEnding(const Task& task, const SystemResult<void>& started, std::chrono::milliseconds limit,
                    HelperScripts::Result& result) {
  result.ownExit = false;
  if (!started) {
    result.ending = "could not be started (" + started.reason() + ")";
  } else if (task.interrupted()) {
    result.ending = "was cut short by the shutdown";
  } else if (task.timedOut()) {
    result.ending = "was killed after its time limit of " + secondsText(limit) + " s";
  } else if (task.terminationSignal() != 0) {
    result.ending = "was ended by signal " + std::to_string(task.terminationSignal()) + " (" +
                    ::strsignal(task.terminationSignal()) + ")";
  } else if (result.status == kCannotExecuteStatus) {
    result.ending = "could not be run (status 126: it is not executable)";
  } else if (result.status == kNotFoundStatus) {
    result.ending = "could not be run (status 127: it or its interpreter was not found)";
  } else {
    result.ending = "exited with status " + std::to_string(result.status);
    result.ownExit = true;
  }
}

// The descriptor on which the shell says that it reached the command line:
// what a start-up file does to standard output leaves it alone.
constexpr int kReachedDescriptor = 3;

// A word no start-up file prints, fresh for every run, and the command that
// prints it. The command holds it in two pieces, so that a start-up file that
// echoes the command line ($BASH_EXECUTION_STRING) does not print it.
struct StartMarker {
  std::string word;
  std::string printCommand;
};

StartMarker newStartMarker() {
  static std::mt19937_64 generator{std::random_device{}()};
  constexpr std::string_view prefix = "CrashWatcher-script-";
  char number[24];
  std::snprintf(number, sizeof number, "%016llx", static_cast<unsigned long long>(generator()));
  return {std::string(prefix) + number, "printf '%s%s' " + shellQuote(prefix) + " " + shellQuote(number)};
}

}  // namespace

BundleHelperScripts::BundleHelperScripts(const Bundle& bundle, std::vector<std::string> environment)
    : bundle_(bundle), environment_(std::move(environment)) {}

std::chrono::milliseconds BundleHelperScripts::timeLimit() const {
  const PlistValue* value = bundle_.objectForInfoDictionaryKey(kScriptTimeLimitKey);
  const double seconds = value ? value->floatValue() : 0;
  if (!(seconds > 0) || seconds > 24 * 3600) return Task::kDefaultTimeLimit;
  return std::chrono::milliseconds(static_cast<long long>(seconds * 1000));
}

HelperScripts::Result BundleHelperScripts::run(std::string_view name, std::string_view crashFile, bool keepOutput) {
  return run(name, crashFile, keepOutput, Task::kDefaultOutputLimit, Options{});
}

HelperScripts::Result BundleHelperScripts::run(std::string_view name, std::string_view crashFile, bool keepOutput,
                                               const Options& options) {
  return run(name, crashFile, keepOutput, Task::kDefaultOutputLimit, options);
}

HelperScripts::Result BundleHelperScripts::runKeepingAtMost(std::string_view name, std::string_view crashFile,
                                                            std::size_t limit) {
  return run(name, crashFile, true, limit, Options{});
}

HelperScripts::Result BundleHelperScripts::run(std::string_view name, std::string_view crashFile, bool keepOutput,
                                               std::size_t outputLimit, const Options& options) {
  // Looked up anew for every run. A missing script goes into the command line
  // as "(null)": the shell then answers 127 and writes nothing.
  const std::optional<std::string> script = bundle_.pathForResource(name, "rb");
  // The marker on standard output tells the script's answer from what the
  // login shell's start-up files print before it. Once it is out, the shell
  // says the same on its own descriptor, which it closes for the script:
  // when only that one comes, a start-up file took standard output
  // (exec >/dev/null) and the script ran all the same. A failure there (a
  // start-up file closed it) changes nothing. exec: nothing the start-up
  // files set up (an EXIT trap) runs after the script.
  const StartMarker marker = newStartMarker();
  const std::string reached = std::to_string(kReachedDescriptor);
  std::string commandLine = marker.printCommand + " && { { " + marker.printCommand + " >&" + reached +
                            "; } 2>/dev/null; exec " + shellQuote(script ? *script : "(null)");
  for (const std::string& argument : options.arguments) commandLine += " " + shellQuote(argument);
  commandLine += " " + shellQuote(crashFile) + " " + reached + ">&-; }";
  const std::chrono::milliseconds limit = timeLimit();
  std::optional<Task> task;
  SystemResult<void> started;
  const auto runShell = [&](std::vector<std::string> arguments) {
    task.emplace();
    task->setLaunchPath("/bin/bash");
    arguments.push_back(commandLine);
    task->setArguments(std::move(arguments));
    // The script learns the limit, so that it can end (and say why) in time.
    std::vector<std::string> environment = environment_;
    environment.push_back("CRASHWATCHER_SCRIPT_TIME_LIMIT=" + secondsText(limit));
    task->setEnvironment(std::move(environment));
    task->setTimeLimit(limit);
    task->setOutputLimit(outputLimit);
    task->setOutputStartMarker(marker.word);
    task->setSideMarker(kReachedDescriptor, marker.word);
    task->setRunMode(options.mode);
    if (options.stop) {
      *options.stop = RunLoop::RunHandle();
      task->setStopHandle(*options.stop);
    }
    started = task->run(keepOutput ? Task::Output::Keep : Task::Output::Discard);
  };

  if (keepOutput && startupFilesTakeOutput_)
    runShell({"--noprofile", "-l", "-c"});
  else
    runShell({"-l", "-c"});
  // How the login shell ended, for the lines below.
  const auto shellEnding = [&] {
    Result shell;
    shell.status = task->terminationStatus();
    describeEnding(*task, started, limit, shell);
    return shell.ending;
  };
  const bool markerMissing = started && !task->interrupted() && !task->outputStartMarkerSeen();
  const bool outputTaken = markerMissing && task->sideMarkerSeen();
  if (outputTaken) {
    // Run again, the script would do its work twice (a second upload): its
    // status stands, its output is lost.
    startupFilesTakeOutput_ = true;
    if (!outputTakenLogged_) {
      outputTakenLogged_ = true;
      systemLog(
          "The login shell ran the helper script %@ (it %@), but a start-up file (/etc/profile, ~/.bash_profile, "
          "~/.bash_login or ~/.profile) sends its output elsewhere: the script's answer is lost; it is not run "
          "again, and helper scripts whose answer is needed run without the start-up files from now on",
          name, shellEnding());
    }
  } else if (markerMissing) {
    // The start-up files ended the shell (exit, exec sh), held it past the
    // time limit, or took its output before the marker was out (closed it,
    // or took the marker's own descriptor as well): the script never ran, as
    // far as we can tell. It runs again without them, so that a verdict is
    // still made.
    if (!startupFilesFailureLogged_) {
      startupFilesFailureLogged_ = true;
      systemLog(
          "The login shell never reached the helper script %@ (it %@): a start-up file (/etc/profile, "
          "~/.bash_profile, ~/.bash_login or ~/.profile) ends it or takes its output; helper scripts then run "
          "without the start-up files",
          name, shellEnding());
    }
    runShell({"--noprofile", "-l", "-c"});
  }

  Result result;
  result.status = task->terminationStatus();
  result.interrupted = task->interrupted();
  result.timedOut = task->timedOut();
  result.outputTaken = outputTaken;
  describeEnding(*task, started, limit, result);
  // Output cut at the task's memory bound is not the script's answer.
  if (keepOutput && !outputTaken && !task->interrupted() && !task->outputTruncated() && isValidUtf8(task->output()))
    result.output = task->output();
  return result;
}

}  // namespace cw

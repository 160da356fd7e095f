#include "HelperScripts.h"

#include <cstring>

#include "Platform/ShellQuote.h"
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
void describeEnding(const Task& task, bool started, std::chrono::milliseconds limit, HelperScripts::Result& result) {
  if (!started) {
    result.ending = std::string("could not be started (") + std::strerror(task.spawnError()) + ")";
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
  // Looked up anew for every run. A missing script goes into the command line
  // as "(null)": the shell then answers 127 and writes nothing.
  const std::optional<std::string> script = bundle_.pathForResource(name, "rb");
  Task task;
  task.setLaunchPath("/bin/bash");
  task.setArguments({"-l", "-c", shellQuote(script ? *script : "(null)") + " " + shellQuote(crashFile)});
  task.setEnvironment(environment_);
  const std::chrono::milliseconds limit = timeLimit();
  task.setTimeLimit(limit);
  const bool started = task.run(keepOutput ? Task::Output::Keep : Task::Output::Discard);

  Result result;
  result.status = task.terminationStatus();
  result.interrupted = task.interrupted();
  result.timedOut = task.timedOut();
  describeEnding(task, started, limit, result);
  // Output cut at the task's memory bound is not the script's answer.
  if (keepOutput && !task.interrupted() && !task.outputTruncated() && isValidUtf8(task.output()))
    result.output = task.output();
  return result;
}

}  // namespace cw

#include "HelperScripts.h"

#include "Platform/ShellQuote.h"
#include "Platform/Task.h"
#include "Platform/Utf8.h"

namespace cw {
namespace {

// Info.plist key: seconds after which a helper script is killed. A script that
// never ends must not freeze us.
constexpr std::string_view kScriptTimeLimitKey = "HelperScriptTimeLimit";

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
  task.setTimeLimit(timeLimit());
  task.run(keepOutput ? Task::Output::Keep : Task::Output::Discard);

  Result result;
  result.status = task.terminationStatus();
  result.interrupted = task.interrupted();
  // Output cut at the task's memory bound is not the script's answer.
  if (keepOutput && !task.interrupted() && !task.outputTruncated() && isValidUtf8(task.output()))
    result.output = task.output();
  return result;
}

}  // namespace cw

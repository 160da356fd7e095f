#include "Reporter.h"

#include "Platform/Bundle.h"
#include "Platform/ShellQuote.h"
#include "Platform/Task.h"
#include "Platform/UserDefaults.h"
#include "Platform/Utf8.h"

namespace cw {
namespace {

constexpr std::string_view kExcludeAllSyncKeys = "com.apple.PreferenceSync.ExcludeAllSyncKeys";
// Info.plist key: seconds after which a helper script is killed (default: the
// task's own generous bound). A script that never ends must not freeze us.
constexpr std::string_view kScriptTimeLimitKey = "HelperScriptTimeLimit";

std::chrono::milliseconds scriptTimeLimit() {
  const PlistValue* value = Bundle::mainBundle().objectForInfoDictionaryKey(kScriptTimeLimitKey);
  const double seconds = value ? value->floatValue() : 0;
  if (!(seconds > 0) || seconds > 24 * 3600) return Task::kDefaultTimeLimit;
  return std::chrono::milliseconds(static_cast<long long>(seconds * 1000));
}

// Describes the run of a helper script on a crash log.
void describeScript(Task& task, std::string_view command, std::string_view crashFile) {
  const std::optional<std::string> script = Bundle::mainBundle().pathForResource(command, "rb");
  // A missing script goes into the command line as "(null)": the shell then
  // answers 127 and writes nothing to standard output.
  const std::string commandLine = shellQuote(script ? *script : "(null)") + " " + shellQuote(crashFile);
  task.setLaunchPath("/bin/bash");
  task.setArguments({"-l", "-c", commandLine});
  task.setTimeLimit(scriptTimeLimit());
}

}  // namespace

std::shared_ptr<Reporter> Reporter::alloc() {
  return std::make_shared<Reporter>(PrivateTag{});
}

std::shared_ptr<Reporter> Reporter::init() {
  remainingDialogTime_ = 0;
  UserDefaults& defaults = UserDefaults::standardUserDefaults();
  if (!defaults.boolForKey(kExcludeAllSyncKeys)) defaults.setBoolForKey(kExcludeAllSyncKeys, true);
  return shared_from_this();
}

bool Reporter::readConfigurationData() {
  parameters_ = &Bundle::mainBundle().infoDictionary();
  return true;
}

std::optional<std::string> Reporter::runShellCommandWithCrashFile(std::string_view command,
                                                                  std::string_view crashFile) {
  Task task;
  describeScript(task, command, crashFile);
  task.run(Task::Output::Keep);
  // Output cut at the task's memory bound is not the script's answer.
  if (task.interrupted() || task.outputTruncated() || !isValidUtf8(task.output())) return std::nullopt;
  return task.output();
}

std::int32_t Reporter::askShellCommandWithCrashFile(std::string_view command, std::string_view crashFile) {
  Task task;
  describeScript(task, command, crashFile);
  task.run(Task::Output::Discard);
  return task.terminationStatus();
}

}  // namespace cw

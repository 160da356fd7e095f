#include "stress/StressSupport.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <thread>

namespace cw::test::stress {
namespace {

// RAII for the spawn descriptions, so that no early return leaks them.
class SpawnSetup {
public:
  explicit SpawnSetup(const std::string& logPath) {
    ::posix_spawn_file_actions_init(&actions_);
    ::posix_spawnattr_init(&attributes_);
    ::posix_spawn_file_actions_addopen(&actions_, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    ::posix_spawn_file_actions_addopen(&actions_, STDOUT_FILENO, logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    ::posix_spawn_file_actions_adddup2(&actions_, STDOUT_FILENO, STDERR_FILENO);
    // Whatever the test runner blocks or ignores, the child starts clean.
    sigset_t none, all;
    ::sigemptyset(&none);
    ::sigfillset(&all);
    ::posix_spawnattr_setsigmask(&attributes_, &none);
    ::posix_spawnattr_setsigdefault(&attributes_, &all);
    ::posix_spawnattr_setflags(&attributes_, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  }
  ~SpawnSetup() {
    ::posix_spawn_file_actions_destroy(&actions_);
    ::posix_spawnattr_destroy(&attributes_);
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;
  const posix_spawn_file_actions_t* actions() const { return &actions_; }
  const posix_spawnattr_t* attributes() const { return &attributes_; }

private:
  posix_spawn_file_actions_t actions_;
  posix_spawnattr_t attributes_;
};

std::vector<char*> pointers(std::vector<std::string>& words) {
  std::vector<char*> out;
  for (std::string& word : words) out.push_back(word.data());
  out.push_back(nullptr);
  return out;
}

int decode(int waitStatus) {
  return WIFEXITED(waitStatus) ? WEXITSTATUS(waitStatus) : -WTERMSIG(waitStatus);
}

std::string replacePlaceholder(std::string text, std::string_view placeholder, const std::string& value) {
  text.replace(text.find(placeholder), placeholder.size(), value);
  return text;
}

}  // namespace

Child::Child(const std::vector<std::string>& argv, const std::vector<std::string>& env, std::string logPath)
    : logPath_(std::move(logPath)) {
  std::vector<std::string> args = argv;
  std::vector<std::string> environment = env;
  std::vector<char*> argp = pointers(args);
  std::vector<char*> envp = pointers(environment);
  SpawnSetup setup(logPath_);
  if (::posix_spawn(&pid_, argp[0], setup.actions(), setup.attributes(), argp.data(), envp.data()) != 0) pid_ = -1;
}

Child::~Child() {
  if (pid_ > 0 && !reaped_) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
}

std::string Child::log() const {
  return readFile(logPath_);
}

void Child::signal(int sig) const {
  if (pid_ > 0 && !reaped_) ::kill(pid_, sig);
}

bool Child::ended() {
  if (reaped_ || pid_ <= 0) return true;
  if (::waitpid(pid_, &waitStatus_, WNOHANG) == pid_) reaped_ = true;
  return reaped_;
}

std::optional<int> Child::status() const {
  if (!reaped_) return std::nullopt;
  return decode(waitStatus_);
}

std::optional<int> Child::waitForExit(std::chrono::milliseconds guard) {
  if (pid_ <= 0) return std::nullopt;
  waitUntil([this] { return ended(); }, guard);
  return status();
}

std::string agentExecutable(const AgentSandbox& sandbox) {
  return sandbox.prefix() + "/bin/CrashWatcher";
}
std::string infoPlistPath(const AgentSandbox& sandbox) {
  return sandbox.prefix() + "/share/crashwatcher/Info.plist";
}
std::string preferencesFolder(const AgentSandbox& sandbox) {
  return sandbox.home() + "/Library/Preferences";
}
std::string preferencesPath(const AgentSandbox& sandbox) {
  return preferencesFolder(sandbox) + "/com.vellumdrift.CrashWatcher.plist";
}

void writeInfoPlist(const AgentSandbox& sandbox, std::string_view extraEntries) {
  std::string xml =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<plist version=\"1.0\">\n<dict>\n"
      "<key>CFBundleIdentifier</key><string>com.vellumdrift.CrashWatcher</string>\n"
      "<key>ConfirmTimeout</key><real>5</real>\n";
  xml.append(extraEntries);
  xml.append("</dict>\n</plist>\n");
  writeFile(infoPlistPath(sandbox), xml);
}

void limitScriptTime(const AgentSandbox& sandbox, int seconds) {
  writeInfoPlist(sandbox, "<key>HelperScriptTimeLimit</key><integer>" + std::to_string(seconds) + "</integer>\n");
}

void installRecordingScript(const AgentSandbox& sandbox, const std::string& record, int status) {
  sandbox.installScript("related-crash-report",
                        "#!/bin/sh\nprintf '%s\\0' \"$1\" >> '" + record + "'\nexit " + std::to_string(status) + "\n");
}

std::vector<std::string> recordedPaths(const std::string& record) {
  std::vector<std::string> out;
  const std::string text = readFile(record);
  std::size_t start = 0;
  for (std::size_t nul = text.find('\0'); nul != std::string::npos; nul = text.find('\0', start)) {
    out.push_back(text.substr(start, nul - start));
    start = nul + 1;
  }
  return out;
}

long residentKiB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  return -1;
}

int openDescriptorCount(pid_t pid) {
  std::error_code error;
  int count = 0;
  for (std::filesystem::directory_iterator it("/proc/" + std::to_string(pid) + "/fd", error), end; !error && it != end;
       it.increment(error))
    ++count;
  return error ? -1 : count;
}

bool holdsDeletedFile(pid_t pid, const std::string& path) {
  std::error_code error;
  for (std::filesystem::directory_iterator it("/proc/" + std::to_string(pid) + "/fd", error), end; !error && it != end;
       it.increment(error)) {
    std::error_code linkError;
    const std::string target = std::filesystem::read_symlink(it->path(), linkError).string();
    if (!linkError && target == path + " (deleted)") return true;
  }
  return false;
}

std::optional<int> runProgram(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                              std::string* output, std::chrono::milliseconds guard) {
  TempDir logDir;
  Child child(argv, env, logDir / "output");
  if (!child.started()) return std::nullopt;
  const std::optional<int> status = child.waitForExit(guard);
  if (output) *output = child.log();
  return status;
}

std::optional<long long> loggedAt(const std::string& log, std::string_view text) {
  const std::size_t at = log.find(text);
  if (at == std::string::npos) return std::nullopt;
  const std::size_t lineStart = log.rfind('\n', at);
  const std::string line = log.substr(lineStart == std::string::npos ? 0 : lineStart + 1, 23);
  std::tm fields{};
  int millis = 0;
  if (std::sscanf(line.c_str(), "%4d-%2d-%2d %2d:%2d:%2d.%3d", &fields.tm_year, &fields.tm_mon, &fields.tm_mday,
                  &fields.tm_hour, &fields.tm_min, &fields.tm_sec, &millis) != 7)
    return std::nullopt;
  fields.tm_year -= 1900;
  fields.tm_mon -= 1;
  // Local wall-clock fields read as if they were UTC: only their order counts.
  return static_cast<long long>(::timegm(&fields)) * 1000 + millis;
}

std::string lockMessage(const std::string& lockPath) {
  return replacePlaceholder(
      "Unable to obtain lock '%s' - exiting to prevent multiple VellumdriftCrashWatcher instances", "%s", lockPath);
}

std::string notRelated(const std::string& path) {
  return "'" + path + std::string(kNotRelatedSuffix);
}

std::string related(const std::string& path) {
  return "'" + path + "' crash report was related to Vellumdrift -> open Crash Reporting Dialog";
}

}  // namespace cw::test::stress

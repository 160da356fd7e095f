#include "process/AgentProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <sstream>
#include <thread>

extern char** environ;

namespace cw::test {

AgentSandbox::AgentSandbox() : prefix_(root_ / "prefix") {
  namespace fs = std::filesystem;
  fs::create_directories(prefix() + "/bin");
  fs::create_directories(resources());
  fs::copy_file(CW_AGENT_EXE, prefix() + "/bin/CrashWatcher");
  fs::copy_file(std::string(CW_BUNDLE_DIR) + "/Info.plist", prefix() + "/share/crashwatcher/Info.plist");
  makeHome();
  installRelatedScript();
}

AgentSandbox::AgentSandbox(std::string installedPrefix) : prefix_(std::move(installedPrefix)) {
  makeHome();
}

void AgentSandbox::makeHome() const {
  namespace fs = std::filesystem;
  fs::create_directories(home() + "/Library/Application Support");
  fs::create_directories(watchedFolder());
  fs::create_directories(root_ / "local");
}

void AgentSandbox::installScript(const std::string& name, const std::string& body) const {
  writeFile(resources() + "/" + name + ".rb", body, 0755);
}

void AgentSandbox::installRelatedScript() const {
  installScript("related-crash-report",
                "#!/bin/sh\n"
                "printf '%s\\n' \"$1\" >> \"$HOME/asked.txt\"\n"
                "read -r status pause < \"$1\"\n"
                "[ -n \"$pause\" ] && sleep \"$pause\"\n"
                "exit \"$status\"\n");
}

void AgentSandbox::useBuiltResources() const {
  namespace fs = std::filesystem;
  fs::copy(std::string(CW_BUNDLE_DIR) + "/Resources", resources(),
           fs::copy_options::recursive | fs::copy_options::overwrite_existing);
}

void AgentSandbox::installDialogHelper() const {
  namespace fs = std::filesystem;
  fs::create_directories(prefix() + "/libexec/crashwatcher");
  fs::copy_file(CW_DIALOG_HELPER, prefix() + "/libexec/crashwatcher/crashwatcher-dialog");
}

std::string AgentSandbox::crashLog(const std::string& folder, const std::string& name, int status,
                                   int sleepSeconds) const {
  const std::string path = folder + "/" + name;
  writeFile(path, std::to_string(status) + " " + std::to_string(sleepSeconds) + "\nProcess: Finder\n");
  return path;
}

std::vector<std::string> AgentSandbox::askedPaths() const {
  std::vector<std::string> out;
  std::istringstream in(readFile(askedFile()));
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

std::vector<std::string> AgentSandbox::environment() const {
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) {
    const std::string entry = *e;
    // No display: a dialog can only end as a refusal here.
    if (entry.rfind("HOME=", 0) == 0 || entry.rfind("DISPLAY=", 0) == 0 || entry.rfind("WAYLAND_DISPLAY=", 0) == 0 ||
        entry.rfind("CRASHWATCHER_", 0) == 0)
      continue;
    env.push_back(entry);
  }
  env.push_back("HOME=" + home());
  env.push_back("CRASHWATCHER_LOCAL_LIBRARY=" + (root_ / "local"));
  env.insert(env.end(), extraEnvironment_.begin(), extraEnvironment_.end());
  return env;
}

AgentProcess::AgentProcess(const AgentSandbox& sandbox, const std::vector<std::string>& arguments) {
  const std::string exe = sandbox.prefix() + "/bin/CrashWatcher";
  const std::string logPath = logDir_ / "agent.log", outputPath = logDir_ / "output";
  std::vector<std::string> env = sandbox.environment();
  std::vector<char*> envp;
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::vector<char*> argv{const_cast<char*>(exe.c_str())};
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outputPath.c_str(), O_WRONLY | O_CREAT, 0644);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &all);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  if (posix_spawn(&pid_, exe.c_str(), &actions, &attr, argv.data(), envp.data()) != 0) pid_ = -1;
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
}

AgentProcess::~AgentProcess() {
  if (pid_ > 0 && !reaped_) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
}

std::string AgentProcess::log() const {
  return readFile(logDir_ / "agent.log");
}

std::string AgentProcess::output() const {
  return readFile(logDir_ / "output");
}

bool AgentProcess::waitForLog(const std::string& text, std::chrono::seconds guard) const {
  const auto deadline = std::chrono::steady_clock::now() + guard;
  while (std::chrono::steady_clock::now() < deadline) {
    if (log().find(text) != std::string::npos) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

bool AgentProcess::scanUntilLogged(const std::string& text, std::chrono::seconds guard) const {
  const auto deadline = std::chrono::steady_clock::now() + guard;
  for (int polls = 0; std::chrono::steady_clock::now() < deadline; ++polls) {
    if (polls % 50 == 0) signal(SIGUSR1);
    if (log().find(text) != std::string::npos) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

void AgentProcess::signal(int sig) const {
  if (pid_ > 0 && !reaped_) ::kill(pid_, sig);
}

std::optional<int> AgentProcess::waitForExit(std::chrono::seconds guard) {
  if (reaped_) return WIFEXITED(status_) ? WEXITSTATUS(status_) : -WTERMSIG(status_);
  const auto deadline = std::chrono::steady_clock::now() + guard;
  while (std::chrono::steady_clock::now() < deadline) {
    const pid_t r = ::waitpid(pid_, &status_, WNOHANG);
    if (r == pid_) {
      reaped_ = true;
      return WIFEXITED(status_) ? WEXITSTATUS(status_) : -WTERMSIG(status_);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return std::nullopt;
}

bool AgentProcess::running() {
  if (reaped_) return false;
  const pid_t r = ::waitpid(pid_, &status_, WNOHANG);
  if (r == pid_) {
    reaped_ = true;
    return false;
  }
  return r == 0;
}

int countOccurrences(const std::string& haystack, const std::string& text) {
  int n = 0;
  for (size_t at = haystack.find(text); at != std::string::npos; at = haystack.find(text, at + text.size())) ++n;
  return n;
}

}  // namespace cw::test

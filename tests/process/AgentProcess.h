#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "support/TestSupport.h"

namespace cw::test {

// A staged copy of the agent: its executable and a bundle of test scripts in
// a temporary prefix, a temporary HOME with the agent's two folders, and a
// local library folder. The agent finds its bundle from its own location, so
// the copy uses the staged one.
class AgentSandbox {
public:
  AgentSandbox();
  // An agent installed below `installedPrefix` (bin/CrashWatcher and its
  // bundle, as a package installs them), run as it is: nothing is staged or
  // replaced, only HOME and the local library folder are the sandbox's.
  explicit AgentSandbox(std::string installedPrefix);

  std::string home() const { return root_ / "home"; }
  const std::string& prefix() const { return prefix_; }
  std::string resources() const { return prefix() + "/share/crashwatcher/Resources"; }
  std::string lockFile() const { return home() + "/Library/Application Support/.VellumdriftCrashWatcher.lock"; }
  std::string watchedFolder() const { return home() + "/Library/Logs/DiagnosticReports"; }
  std::string userCrashReporter() const { return home() + "/Library/Logs/CrashReporter"; }
  std::string localCrashReporter() const { return root_ / "local/Logs/CrashReporter"; }
  std::string askedFile() const { return home() + "/asked.txt"; }

  // A script resource of type "rb".
  void installScript(const std::string& name, const std::string& body) const;
  // The stand-in relatedness script: exits with the number on the crash log's
  // first line after sleeping the optional second number, and records the path.
  void installRelatedScript() const;
  // A crash log whose first line is "<status> <sleep>".
  std::string crashLog(const std::string& folder, const std::string& name, int status, int sleepSeconds = 0) const;
  std::vector<std::string> askedPaths() const;

  std::vector<std::string> environment() const;
  // "NAME=value" entries the agent gets beyond the filtered environment.
  void addEnvironment(std::string entry) { extraEnvironment_.push_back(std::move(entry)); }
  // The build's real resources (scripts, layout, strings) and dialog helper.
  void useBuiltResources() const;
  void installDialogHelper() const;

private:
  void makeHome() const;

  TempDir root_;
  std::string prefix_;
  std::vector<std::string> extraEnvironment_;
};

// One running agent, its standard output and error in files. Killed on
// destruction.
class AgentProcess {
public:
  explicit AgentProcess(const AgentSandbox& sandbox, const std::vector<std::string>& arguments = {});
  ~AgentProcess();
  AgentProcess(const AgentProcess&) = delete;
  AgentProcess& operator=(const AgentProcess&) = delete;

  pid_t pid() const { return pid_; }
  std::string log() const;
  std::string output() const;
  // Waits (hang guard, not a timing check) until the log holds `text`.
  bool waitForLog(const std::string& text, std::chrono::seconds guard = std::chrono::seconds(30)) const;
  bool waitUntilWatching() const { return waitForLog("Watching '"); }
  // Asks for a scan (user-signal-1) until `text` is logged: one that comes
  // while an earlier scan still runs is dropped, so it is sent again.
  bool scanUntilLogged(const std::string& text, std::chrono::seconds guard = std::chrono::seconds(30)) const;
  void signal(int sig) const;
  // Waits for the end; the exit status, or -signal.
  std::optional<int> waitForExit(std::chrono::seconds guard = std::chrono::seconds(30));
  bool running();

private:
  TempDir logDir_;
  pid_t pid_ = -1;
  bool reaped_ = false;
  int status_ = 0;
};

// Counts log lines holding `text`.
int countOccurrences(const std::string& haystack, const std::string& text);

}  // namespace cw::test

// The built agent as a process: lock, signals, scans, messages.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <sstream>
#include <thread>

#include "process/AgentProcess.h"

namespace cw::test {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::UnorderedElementsAre;
using namespace std::chrono_literals;

constexpr const char* kLockMessage =
    "Unable to obtain lock '%s' - exiting to prevent multiple VellumdriftCrashWatcher instances";

std::string lockMessage(const std::string& path) {
  std::string text = kLockMessage;
  text.replace(text.find("%s"), 2, path);
  return text;
}

std::string notRelated(const std::string& path) {
  return "'" + path + "' crash report was not related to Vellumdrift";
}
std::string related(const std::string& path) {
  return "'" + path + "' crash report was related to Vellumdrift -> open Crash Reporting Dialog";
}

// The signals whose disposition is "ignore" in the process's status: the
// kernel drops such a signal when it is sent, so it can start nothing.
bool inSignalSet(pid_t pid, const std::string& set, int sig) {
  std::istringstream status(readFile("/proc/" + std::to_string(pid) + "/status"));
  for (std::string line; std::getline(status, line);)
    if (line.rfind(set, 0) == 0) return (std::stoull(line.substr(set.size()), nullptr, 16) >> (sig - 1)) & 1u;
  return false;
}
bool ignores(pid_t pid, int sig) {
  return inSignalSet(pid, "SigIgn:", sig);
}

// The positive marker that every scan asked for before it has ended: a new
// crash log, and user-signal-1 until a scan has asked about it (one sent
// while an earlier scan still runs is dropped, so it is sent again).
void scanUntilAsked(const AgentProcess& agent, const std::string& log) {
  EXPECT_TRUE(agent.scanUntilLogged(notRelated(log))) << agent.log();
}

class AgentProcessTest : public ::testing::Test {
protected:
  AgentSandbox sandbox_;
};

// Arguments are answered before anything else: the lock file is never even
// created, and only "--help" and "--version" alone succeed.
TEST_F(AgentProcessTest, ArgumentsAreAnsweredWithoutTouchingTheLock) {
  struct Case {
    std::vector<std::string> arguments;
    int status;
    std::string output, errorStart;
  };
  const std::string usage = "Usage: CrashWatcher [--help | --version]\n";
  const std::vector<Case> cases = {
      {{"--help"}, 0, usage, ""},
      {{"--version"}, 0, "CrashWatcher 1.0.0\n", ""},
      {{"-h"}, 64, "", "CrashWatcher: unexpected argument '-h'\n" + usage},
      {{""}, 64, "", "CrashWatcher: unexpected argument ''\n" + usage},
      {{"--help", "now"}, 64, "", "CrashWatcher: unexpected argument 'now'\n" + usage},
      {{"--verbose\x1b[2J"}, 64, "", "CrashWatcher: unexpected argument '--verbose\\x1b[2J'\n" + usage},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.arguments.front());
    AgentProcess agent(sandbox_, c.arguments);
    EXPECT_EQ(agent.waitForExit(), c.status) << agent.log();
    EXPECT_TRUE(c.output.empty() ? agent.output().empty() : agent.output().starts_with(c.output)) << agent.output();
    EXPECT_TRUE(agent.log().starts_with(c.errorStart)) << agent.log();
    EXPECT_EQ(agent.log().empty(), c.errorStart.empty()) << agent.log();
  }
  AgentProcess help(sandbox_, {"--help"});
  help.waitForExit();
  EXPECT_THAT(help.output(), HasSubstr("journalctl --user -u crashwatcher.service"));
  EXPECT_FALSE(pathExists(sandbox_.lockFile()));
}

TEST_F(AgentProcessTest, SecondInstanceExitsWithStatusOneAndLeavesTheLockAlone) {
  AgentProcess first(sandbox_);
  ASSERT_TRUE(first.waitUntilWatching()) << first.log();
  struct stat before {};
  ASSERT_EQ(::stat(sandbox_.lockFile().c_str(), &before), 0);

  AgentProcess second(sandbox_);
  EXPECT_EQ(second.waitForExit(), 1);
  EXPECT_THAT(second.log(), HasSubstr(lockMessage(sandbox_.lockFile())));
  EXPECT_THAT(second.log(), Not(HasSubstr("Unable to open lock file")));

  struct stat after {};
  ASSERT_EQ(::stat(sandbox_.lockFile().c_str(), &after), 0);
  EXPECT_EQ(before.st_ino, after.st_ino);
  // Still locked by the first.
  const int fd = ::open(sandbox_.lockFile().c_str(), O_RDONLY | O_CLOEXEC);
  EXPECT_NE(::flock(fd, LOCK_EX | LOCK_NB), 0);
  ::close(fd);
  EXPECT_TRUE(first.running());
}

TEST_F(AgentProcessTest, StaleLockFileOfAKilledInstanceDoesNotBlock) {
  {
    AgentProcess killed(sandbox_);
    ASSERT_TRUE(killed.waitUntilWatching());
    killed.signal(SIGKILL);
    killed.waitForExit();
  }
  ASSERT_TRUE(pathExists(sandbox_.lockFile()));
  AgentProcess next(sandbox_);
  EXPECT_TRUE(next.waitUntilWatching()) << next.log();
}

// A lock file that cannot be opened is no other instance: the reason comes
// first, in a line of its own, then the usual line, and the exit status 1.
TEST_F(AgentProcessTest, LockFileThatCannotBeOpenedSaysWhyAndRefusesToStart) {
  namespace fs = std::filesystem;
  struct Case {
    const char* what;
    std::function<void(const AgentSandbox&)> make;
    const char* reason;
  };
  const std::vector<Case> cases = {
      {"folder missing", [](const AgentSandbox& s) { fs::remove_all(s.home() + "/Library/Application Support"); },
       "No such file or directory"},
      {"a file in the folder's place",
       [](const AgentSandbox& s) {
         fs::remove_all(s.home() + "/Library/Application Support");
         writeFile(s.home() + "/Library/Application Support", "");
       },
       "Not a directory"},
      {"a folder at the lock path", [](const AgentSandbox& s) { fs::create_directory(s.lockFile()); },
       "Is a directory"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    AgentSandbox sandbox;
    c.make(sandbox);
    AgentProcess agent(sandbox);
    EXPECT_EQ(agent.waitForExit(), 1);
    const std::string log = agent.log();
    const std::size_t reason =
        log.find("Unable to open lock file '" + sandbox.lockFile() + "': " + std::string(c.reason) + "\n");
    const std::size_t usual = log.find(lockMessage(sandbox.lockFile()));
    EXPECT_NE(reason, std::string::npos) << log;
    EXPECT_NE(usual, std::string::npos) << log;
    EXPECT_LT(reason, usual) << log;
  }
  // It does not make the folder itself.
  AgentSandbox sandbox;
  fs::remove_all(sandbox.home() + "/Library/Application Support");
  AgentProcess agent(sandbox);
  EXPECT_EQ(agent.waitForExit(), 1);
  EXPECT_FALSE(pathExists(sandbox.home() + "/Library/Application Support"));
}

// Whether `pid` is gone or only a zombie left for init to collect.
bool ended(pid_t pid) {
  const std::string status = readFile("/proc/" + std::to_string(pid) + "/status");
  return status.empty() || status.find("State:\tZ") != std::string::npos;
}

// SIGINT and SIGTERM end the agent in an orderly way at once, whatever it is
// doing: idle, waiting for a helper script that would run for ten minutes, or
// for a dialog helper that never answers. A bound far below the script's own
// length, and below the 5 s the dialog helper's reply is waited for, shows
// that neither was waited for.
TEST_F(AgentProcessTest, InterruptAndTerminateEndTheAgentPromptlyInEveryState) {
  enum class State { Idle, Script, DialogHelper };
  struct Case {
    int signal;
    const char* line;
    State state;
  };
  for (const Case& c : {Case{SIGINT, "caught SIGINT - exiting...", State::Idle},
                        Case{SIGTERM, "caught SIGTERM - exiting...", State::Idle},
                        Case{SIGINT, "caught SIGINT - exiting...", State::Script},
                        Case{SIGTERM, "caught SIGTERM - exiting...", State::Script},
                        Case{SIGINT, "caught SIGINT - exiting...", State::DialogHelper},
                        Case{SIGTERM, "caught SIGTERM - exiting...", State::DialogHelper}}) {
    SCOPED_TRACE(std::string(c.line) + " in state " + std::to_string(static_cast<int>(c.state)));
    AgentSandbox sandbox;
    const std::string pids = sandbox.home() + "/pids";
    // The script, or the dialog helper, records its own process and one it
    // started, then hangs.
    const std::string hang =
        "#!/bin/sh\nsleep 600 &\necho $$ $! > '" + pids + ".tmp'\nmv '" + pids + ".tmp' '" + pids + "'\nwait\n";
    if (c.state == State::DialogHelper) {
      sandbox.useBuiltResources();
      sandbox.installRelatedScript();
      sandbox.installDialogHelper();
      writeFile(sandbox.prefix() + "/libexec/crashwatcher/crashwatcher-dialog", hang, 0755);
    } else {
      sandbox.installScript("related-crash-report", hang);
    }
    const std::string crash = sandbox.crashLog(sandbox.userCrashReporter(), "Finder_hang.crash", 1);
    AgentProcess agent(sandbox);
    ASSERT_TRUE(agent.waitUntilWatching()) << agent.log();
    if (c.state != State::Idle) {
      agent.signal(SIGUSR1);
      ASSERT_TRUE(waitUntil([&] { return pathExists(pids); })) << agent.log();
    }
    agent.signal(c.signal);
    EXPECT_EQ(agent.waitForExit(c.state == State::DialogHelper ? 3s : 10s), 0) << agent.log();
    EXPECT_EQ(countOccurrences(agent.log(), c.line), 1) << agent.log();
    EXPECT_EQ(countOccurrences(agent.log(), "crash report was"), c.state == State::DialogHelper ? 1 : 0) << agent.log();
    EXPECT_THAT(agent.log(), Not(HasSubstr("given up")));
    EXPECT_FALSE(pathExists(sandbox.lockFile()));
    std::istringstream numbers(readFile(pids));
    for (pid_t pid; numbers >> pid;) EXPECT_TRUE(waitUntil([&] { return ended(pid); })) << "left behind: " << pid;
  }
}

TEST_F(AgentProcessTest, HangUpAndUserSignalTwoChangeNothing) {
  sandbox_.crashLog(sandbox_.userCrashReporter(), "Finder_a.crash", 0);
  AgentProcess agent(sandbox_);
  ASSERT_TRUE(agent.waitUntilWatching());
  const std::string before = agent.log();
  ASSERT_TRUE(ignores(agent.pid(), SIGHUP));
  ASSERT_TRUE(ignores(agent.pid(), SIGUSR2));
  agent.signal(SIGHUP);
  agent.signal(SIGUSR2);
  EXPECT_TRUE(agent.running());
  EXPECT_EQ(agent.log(), before);
  EXPECT_TRUE(sandbox_.askedPaths().empty());
  agent.signal(SIGINT);
  EXPECT_EQ(agent.waitForExit(), 0);
}

TEST_F(AgentProcessTest, UserSignalOneWithoutCrashLogsLogsNothing) {
  AgentProcess agent(sandbox_);
  ASSERT_TRUE(agent.waitUntilWatching());
  const std::string before = agent.log();
  agent.signal(SIGUSR1);
  const std::string marker = sandbox_.crashLog(sandbox_.userCrashReporter(), "Finder_marker.crash", 0);
  scanUntilAsked(agent, marker);
  // The marker's line is the only one any scan wrote.
  EXPECT_EQ(countOccurrences(agent.log().substr(before.size()), "crash report"), 1) << agent.log();
  EXPECT_EQ(sandbox_.askedPaths(), std::vector<std::string>{marker});
}

// The scan asks oldest first and ends at the first related log; the logs
// after it are asked about before the scan returns. Each log once in a run:
// later changes in the watched folder ask nothing again, whatever the answer,
// nor does a log dated in the future. But there is no display here, so no
// dialog is ever answered: a related log is not used up, and every later scan
// asks about it again (why is logged once). Each later scan's own line (a
// new log's) shows that it ran.
TEST_F(AgentProcessTest, EachCrashLogIsAskedAboutOnceOldestFirstUnlessItsDialogNeverShowed) {
  sandbox_.useBuiltResources();
  sandbox_.installRelatedScript();
  sandbox_.installDialogHelper();
  const std::string future = sandbox_.crashLog(sandbox_.userCrashReporter(), "Finder_future.crash", 1);
  const std::string second = sandbox_.crashLog(sandbox_.userCrashReporter(), "Finder_second.crash", 0);
  const std::string first = sandbox_.crashLog(sandbox_.localCrashReporter(), "Finder_first.crash", 1);
  setModificationTime(first, -3);
  setModificationTime(second, -2);
  setModificationTime(future, 24 * 3600);
  AgentProcess agent(sandbox_);
  ASSERT_TRUE(agent.waitUntilWatching());
  agent.signal(SIGUSR1);
  ASSERT_TRUE(agent.waitForLog(related(future))) << agent.log();
  EXPECT_THAT(sandbox_.askedPaths(), ElementsAre(first, second, future));

  for (int change = 0; change < 3; ++change) {
    const std::string later =
        sandbox_.crashLog(sandbox_.userCrashReporter(), "Finder_later" + std::to_string(change) + ".crash", 0);
    writeFile(sandbox_.watchedFolder() + "/change" + std::to_string(change), "");
    ASSERT_TRUE(agent.waitForLog(notRelated(later))) << agent.log();
    ASSERT_TRUE(waitUntil([&] { return countOccurrences(agent.log(), related(future)) == change + 2; })) << agent.log();
    EXPECT_EQ(countOccurrences(agent.log(), notRelated(later)), 1);
  }
  const std::vector<std::string> asked = sandbox_.askedPaths();
  EXPECT_EQ(std::count(asked.begin(), asked.end(), second), 1);
  for (const std::string& path : {first, future}) {
    EXPECT_EQ(std::count(asked.begin(), asked.end(), path), 4);
    EXPECT_EQ(countOccurrences(agent.log(), "'" + path + "' crash report was not offered: the dialog was not answered"),
              1)
        << agent.log();
  }
  EXPECT_EQ(countOccurrences(agent.log(), notRelated(second)), 1);
}

// A symbolic link on the way to the watched folder, re-pointed: the new
// place is watched, whether the link is the folder itself or one above it.
TEST_F(AgentProcessTest, ALinkOnTheWayToTheReportsFolderThatIsRepointedIsFollowed) {
  namespace fs = std::filesystem;
  const std::string watched = sandbox_.watchedFolder();
  const std::string logs = sandbox_.home() + "/Library/Logs";
  struct Case {
    std::string link;      // pointed from link.a to link.b
    std::string newPlace;  // where the watched folder then is
  };
  for (const Case& c : {Case{watched, watched + ".b"}, Case{logs, logs + ".b/DiagnosticReports"}}) {
    SCOPED_TRACE(c.link);
    fs::rename(c.link, c.link + ".a");
    fs::create_directories(c.newPlace);
    fs::create_directories(logs + ".b/CrashReporter");  // the user's crash logs, when Logs itself moves
    fs::create_directory_symlink(c.link + ".a", c.link);
    AgentProcess agent(sandbox_);
    ASSERT_TRUE(agent.waitUntilWatching()) << agent.log();
    fs::create_directory_symlink(c.link + ".b", c.link + ".new");
    fs::rename(c.link + ".new", c.link);
    for (int attempt = 0;; ++attempt) {
      // The re-pointing is noticed on its own schedule; each try is a new log.
      const std::string log =
          sandbox_.crashLog(sandbox_.userCrashReporter(), "Finder_b" + std::to_string(attempt) + ".crash", 0);
      writeFile(c.newPlace + "/change" + std::to_string(attempt), "");
      if (agent.waitForLog(notRelated(log), std::chrono::seconds(2))) break;
      ASSERT_LT(attempt, 15) << "a change in the new place started no scan\n" << agent.log();
    }
    agent.signal(SIGINT);
    EXPECT_EQ(agent.waitForExit(), 0);
    // The next case starts from real folders again.
    fs::remove(c.link);
    fs::rename(c.link + ".a", c.link);
  }
}

// Only status 1 means related; a status outside the script's contract (0, 1)
// adds a line that names it, and one by which the shell says it could not
// run the script leaves the log to be asked again.
TEST_F(AgentProcessTest, OnlyStatusOneMeansRelatedAndOtherStatusesAreNamed) {
  struct Case {
    int status;
    const char* line;  // the extra line's end, or empty for none
  };
  const std::vector<Case> cases = {{0, ""},
                                   {2, "related-crash-report exited with status 2\n"},
                                   {255, "related-crash-report exited with status 255\n"},
                                   {127,
                                    "related-crash-report could not be run (status 127: it or its interpreter was not "
                                    "found); it is asked about again at the next scan\n"}};
  std::vector<std::string> paths;
  for (const Case& c : cases)
    paths.push_back(sandbox_.crashLog(sandbox_.userCrashReporter(),
                                      "Finder_status" + std::to_string(c.status) + ".crash", c.status));
  AgentProcess agent(sandbox_);
  ASSERT_TRUE(agent.waitUntilWatching());
  agent.signal(SIGUSR1);
  for (const auto& path : paths) EXPECT_TRUE(agent.waitForLog(notRelated(path))) << agent.log();
  const std::string log = agent.log();
  for (std::size_t i = 0; i < cases.size(); ++i) {
    if (*cases[i].line) {
      EXPECT_THAT(log, HasSubstr("'" + paths[i] + "': " + cases[i].line));
    }
    EXPECT_EQ(countOccurrences(log, "'" + paths[i] + "': "), *cases[i].line ? 1 : 0) << log;
  }
  EXPECT_THAT(log, Not(HasSubstr("was related")));
}

// A login profile that ends the shell before the script ran (as `exit` or
// `exec sh` in ~/.bash_profile do) keeps no verdict from being made; one that
// sends the shell's output elsewhere lets the script run once, and its
// verdict stands; one that closes or redirects descriptor 3 changes nothing.
// The script's own record shows that each log was asked about once.
TEST_F(AgentProcessTest, LoginProfilesKeepNoVerdictFromBeingMadeAndRunNoScriptTwice) {
  const std::string neverReached = "The login shell never reached the helper script related-crash-report";
  const std::string outputTaken = "The login shell ran the helper script related-crash-report";
  struct Case {
    const char* profile;
    std::string logged;  // the one line about the profile, or empty for none
  };
  for (const Case& c :
       {Case{"echo hello\nexit\n", neverReached}, Case{"exec sh\n", neverReached},
        Case{"exec >/dev/null\n", outputTaken}, Case{"exec 3>&-\n", ""}, Case{"exec 3>/dev/null\n", ""}}) {
    SCOPED_TRACE(c.profile);
    AgentSandbox sandbox;
    writeFile(sandbox.home() + "/.bash_profile", c.profile);
    const std::string crash = sandbox.crashLog(sandbox.userCrashReporter(), "Finder_a.crash", 1);
    const std::string other = sandbox.crashLog(sandbox.userCrashReporter(), "Finder_b.crash", 0);
    AgentProcess agent(sandbox);
    ASSERT_TRUE(agent.waitUntilWatching());
    agent.signal(SIGUSR1);
    EXPECT_TRUE(agent.waitForLog(related(crash))) << agent.log();
    EXPECT_TRUE(agent.waitForLog(notRelated(other))) << agent.log();
    EXPECT_THAT(sandbox.askedPaths(), UnorderedElementsAre(crash, other));
    for (const std::string& line : {neverReached, outputTaken})
      EXPECT_EQ(countOccurrences(agent.log(), line), line == c.logged ? 1 : 0) << agent.log();
  }
}

// The reader of the agent's standard error goes away before its first line
// (a closed terminal, a restarted log pipe): it runs on, scans, and ends in
// order. The stand-in script's own record shows the scans.
TEST_F(AgentProcessTest, AgentRunsOnWhenTheReaderOfItsStandardErrorIsGone) {
  int ends[2];
  ASSERT_EQ(::pipe2(ends, O_CLOEXEC), 0);
  const std::string exe = sandbox_.prefix() + "/bin/CrashWatcher";
  std::vector<std::string> env = sandbox_.environment();
  std::vector<char*> envp;
  for (auto& entry : env) envp.push_back(entry.data());
  envp.push_back(nullptr);
  char* argv[] = {const_cast<char*>(exe.c_str()), nullptr};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, ends[1], STDERR_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  pid_t pid = -1;
  ASSERT_EQ(posix_spawn(&pid, exe.c_str(), &actions, nullptr, argv, envp.data()), 0);
  posix_spawn_file_actions_destroy(&actions);
  ::close(ends[0]);
  ::close(ends[1]);
  // Signals are sent once it handles them: before, user-signal-1 would end it.
  ASSERT_TRUE(waitUntil([&] { return inSignalSet(pid, "SigCgt:", SIGUSR1); }));
  const auto exited = [pid] {
    int status = 0;
    return ::waitpid(pid, &status, WNOHANG) == pid ? std::optional<int>(status) : std::nullopt;
  };

  for (const char* name : {"Finder_1.crash", "Finder_2.crash"}) {
    const std::string crash = sandbox_.crashLog(sandbox_.userCrashReporter(), name, 0);
    int polls = 0;
    ASSERT_TRUE(waitUntil([&] {
      if (polls++ % 50 == 0) ::kill(pid, SIGUSR1);
      const std::vector<std::string> asked = sandbox_.askedPaths();
      return std::find(asked.begin(), asked.end(), crash) != asked.end();
    }));
  }
  ::kill(pid, SIGINT);
  std::optional<int> status;
  ASSERT_TRUE(waitUntil([&] { return (status = exited()).has_value(); }));
  EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << *status;
  EXPECT_FALSE(pathExists(sandbox_.lockFile()));
}

TEST_F(AgentProcessTest, AnyChangeInTheWatchedFolderStartsAScan) {
  AgentProcess agent(sandbox_);
  ASSERT_TRUE(agent.waitUntilWatching());
  const std::string log = sandbox_.crashLog(sandbox_.userCrashReporter(), "Finder_event.crash", 0);
  writeFile(sandbox_.watchedFolder() + "/unrelated.txt", "anything");
  EXPECT_TRUE(agent.waitForLog(notRelated(log))) << agent.log();
}

TEST_F(AgentProcessTest, UserSignalOneDuringAScanHasNoEffect) {
  const std::string slow = sandbox_.crashLog(sandbox_.userCrashReporter(), "Finder_slow.crash", 0, 2);
  AgentProcess agent(sandbox_);
  ASSERT_TRUE(agent.waitUntilWatching());
  agent.signal(SIGUSR1);
  // The script has started: the scan is under way.
  const auto deadline = std::chrono::steady_clock::now() + 30s;
  while (sandbox_.askedPaths().empty() && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(10ms);
  ASSERT_EQ(sandbox_.askedPaths().size(), 1u);
  agent.signal(SIGUSR1);
  agent.signal(SIGUSR1);
  ASSERT_TRUE(agent.waitForLog(notRelated(slow)));
  const std::string marker = sandbox_.crashLog(sandbox_.userCrashReporter(), "Finder_marker.crash", 0);
  scanUntilAsked(agent, marker);
  EXPECT_EQ(sandbox_.askedPaths(), (std::vector<std::string>{slow, marker}));
  EXPECT_EQ(countOccurrences(agent.log(), notRelated(slow)), 1);
}

TEST_F(AgentProcessTest, HostileCrashLogNamesReachTheScriptUnchanged) {
  const std::string name = "Finder_\"q\" $(touch $HOME/pwned) `touch $HOME/pwned2` back\\slash 'single'.crash";
  const std::string path = sandbox_.crashLog(sandbox_.userCrashReporter(), name, 0);
  AgentProcess agent(sandbox_);
  ASSERT_TRUE(agent.waitUntilWatching());
  agent.signal(SIGUSR1);
  // The log names it printably: a backslash is doubled.
  const std::string logged = sandbox_.userCrashReporter() +
                             "/Finder_\"q\" $(touch $HOME/pwned) `touch $HOME/pwned2` back\\\\slash 'single'.crash";
  ASSERT_TRUE(agent.waitForLog(notRelated(logged))) << agent.log();
  EXPECT_THAT(sandbox_.askedPaths(), ElementsAre(path));
  EXPECT_FALSE(pathExists(sandbox_.home() + "/pwned"));
  EXPECT_FALSE(pathExists(sandbox_.home() + "/pwned2"));
}

}  // namespace
}  // namespace cw::test

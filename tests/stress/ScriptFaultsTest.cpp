// Relatedness scripts that misbehave: one that hangs, one whose background
// child keeps its standard output open (in its group, or in a session of its
// own), one that writes without end, one that writes 100 MB. The agent gets
// past each within the bundle's HelperScriptTimeLimit and goes on watching.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <fstream>

#include "stress/StressSupport.h"

namespace cw::test::stress {
namespace {

using ::testing::Contains;

// The script's misbehaviour is chosen by the crash log's name; any other log
// is recorded and answered at once.
constexpr const char* kScript = R"(#!/bin/sh
case "$1" in
  *hang*) echo $$ > "$HOME/script.pid"; exec sleep 90 ;;
  *background*) sleep 90 & echo $! > "$HOME/script.pid"; exit 0 ;;
  *escape*)
    setsid sh -c 'echo $$ > "$HOME/escaped.pid"; exec sleep 90' &
    exit 0 ;;
  *endless*) echo $$ > "$HOME/script.pid"; exec yes crash ;;
  *flood*) head -c 100000000 /dev/zero; exit 1 ;;
esac
printf '%s\0' "$1" >> "$HOME/asked"
exit 0
)";

struct Fault {
  const char* name;
  int timeLimitSeconds;
  bool answersRelated;
};

void PrintTo(const Fault& fault, std::ostream* out) {
  *out << fault.name;
}

std::optional<pid_t> readPid(const std::string& path) {
  std::ifstream in(path);
  long pid = 0;
  if (in >> pid && pid > 0) return static_cast<pid_t>(pid);
  return std::nullopt;
}

// Alive and not a zombie waiting for its parent.
bool alive(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text;
  if (!std::getline(stat, text)) return false;
  const std::size_t close = text.rfind(')');
  return close != std::string::npos && close + 2 < text.size() && text[close + 2] != 'Z';
}

// A process of ours that the agent must not wait for; ended with the test.
class EscapedChild {
public:
  explicit EscapedChild(std::string pidFile) : pidFile_(std::move(pidFile)) {}
  ~EscapedChild() {
    if (const auto pid = readPid(pidFile_); pid && alive(*pid)) ::kill(*pid, SIGKILL);
  }
  EscapedChild(const EscapedChild&) = delete;
  EscapedChild& operator=(const EscapedChild&) = delete;

private:
  std::string pidFile_;
};

class ScriptFaults : public ::testing::TestWithParam<Fault> {};

TEST_P(ScriptFaults, AgentGetsPastTheScriptAndKeepsWatching) {
  const Fault& fault = GetParam();
  AgentSandbox sandbox;
  limitScriptTime(sandbox, fault.timeLimitSeconds);
  sandbox.installScript("related-crash-report", kScript);
  EscapedChild escaped(sandbox.home() + "/escaped.pid");
  const std::string faulty = sandbox.userCrashReporter() + "/Finder_" + fault.name + ".crash";
  writeFile(faulty, "Process: Finder\n");

  AgentProcess agent(sandbox);
  ASSERT_TRUE(agent.waitUntilWatching()) << agent.log();
  const long residentBefore = residentKiB(agent.pid());
  agent.signal(SIGUSR1);
  // The scripts sleep 90 s; a guard well below that shows the bound at work.
  const std::string answer = fault.answersRelated ? related(faulty) : notRelated(faulty);
  ASSERT_TRUE(agent.waitForLog(answer, std::chrono::seconds(60))) << agent.log();

  // Whatever the script left in its group is gone with it.
  if (const auto pid = readPid(sandbox.home() + "/script.pid")) {
    EXPECT_TRUE(waitUntil([&] { return !alive(*pid); }, 30s)) << "script process " << *pid << " outlived its run";
  }
  const long residentAfter = residentKiB(agent.pid());
  ASSERT_GT(residentBefore, 0);
  EXPECT_LT(residentAfter - residentBefore, 64 * 1024)
      << residentBefore << " KiB before, " << residentAfter << " after";
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
  EXPECT_LT(residentAfter, 64 * 1024) << residentAfter << " KiB resident";
#endif

  // Out of the next scan's window, so that only the new log is asked about.
  setModificationTime(faulty, -60);
  const std::string next = sandbox.userCrashReporter() + "/Finder_next.crash";
  writeFile(next, "Process: Finder\n");
  writeFile(sandbox.watchedFolder() + "/poke", "a change in the watched folder");
  EXPECT_TRUE(agent.waitForLog(notRelated(next), std::chrono::seconds(60))) << agent.log();
  EXPECT_THAT(recordedPaths(sandbox.home() + "/asked"), Contains(next));
  EXPECT_TRUE(agent.running());

  agent.signal(SIGINT);
  EXPECT_EQ(agent.waitForExit(), 0) << agent.log();
}

INSTANTIATE_TEST_SUITE_P(Stress, ScriptFaults,
                         ::testing::Values(Fault{"hang", 2, false}, Fault{"background", 2, false},
                                           Fault{"escape", 2, false}, Fault{"endless", 2, false},
                                           // Time enough to pass 100 MB on a loaded machine.
                                           Fault{"flood", 30, true}),
                         [](const ::testing::TestParamInfo<Fault>& fault) { return std::string(fault.param.name); });

}  // namespace
}  // namespace cw::test::stress

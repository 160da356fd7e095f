// scripts/simulate-crash: the crash log it writes is one that the shipped
// relatedness script calls related, and a running agent takes it from there.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <filesystem>

#include "stress/StressSupport.h"

namespace cw::test::stress {
namespace {

using ::testing::HasSubstr;
using ::testing::MatchesRegex;
using ::testing::StartsWith;

const std::string kSimulator = std::string(CW_SOURCE_DIR) + "/scripts/simulate-crash";
const std::string kRelatedScript = std::string(CW_SOURCE_DIR) + "/CrashWatcher/Resources/related-crash-report.rb";

std::vector<std::string> environmentWithHome(const std::string& home) {
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e)
    if (std::string_view(*e).rfind("HOME=", 0) != 0) env.emplace_back(*e);
  env.push_back("HOME=" + home);
  return env;
}

std::string firstLine(const std::string& text) {
  return text.substr(0, text.find('\n'));
}

TEST(SimulateCrash, WritesARelatedFinderCrashLogIntoAFreshHome) {
  TempDir home;
  const std::vector<std::string> env = environmentWithHome(home.path());
  std::string printed;
  ASSERT_EQ(runProgram({kSimulator}, env, &printed), 0) << printed;
  const std::string crash = firstLine(printed);

  const std::string reports = home.path() + "/Library/Logs/CrashReporter/";
  EXPECT_THAT(crash, StartsWith(reports));
  EXPECT_THAT(crash.substr(reports.size()),
              MatchesRegex("Finder_[0-9]{4}-[0-9]{2}-[0-9]{2}-[0-9]{6}_[A-Za-z0-9-]+\\.crash"));
  EXPECT_TRUE(std::filesystem::is_directory(home.path() + "/Library/Logs/DiagnosticReports"));
  // The date in the name is the one inside.
  const std::string date = crash.substr(reports.size() + 7, 10);
  EXPECT_THAT(readFile(crash), HasSubstr("Date/Time:             " + date + " "));

  std::string judged;
  EXPECT_EQ(runProgram({"/usr/bin/env", "ruby", kRelatedScript, crash}, env, &judged), 1) << judged;

  // A second crash in the same second does not overwrite the first.
  ASSERT_EQ(runProgram({kSimulator}, env, &printed), 0) << printed;
  const std::string second = firstLine(printed);
  EXPECT_NE(second, crash);
  EXPECT_TRUE(pathExists(crash));
  EXPECT_EQ(runProgram({"/usr/bin/env", "ruby", kRelatedScript, second}, env, &judged), 1) << judged;

  // Nothing half-written or temporary is left beside the logs.
  int entries = 0;
  for (const auto& entry : std::filesystem::directory_iterator(reports)) {
    ++entries;
    EXPECT_THAT(entry.path().filename().string(), StartsWith("Finder_"));
  }
  EXPECT_EQ(entries, 2);
}

TEST(SimulateCrash, RunningAgentFindsTheCrashRelatedWithoutBeingSignalled) {
  AgentSandbox sandbox;
  // The shipped scripts, not the sandbox's stand-ins.
  std::filesystem::copy(std::string(CW_BUNDLE_DIR) + "/Resources", sandbox.resources(),
                        std::filesystem::copy_options::recursive | std::filesystem::copy_options::overwrite_existing);
  AgentProcess agent(sandbox);
  ASSERT_TRUE(agent.waitUntilWatching()) << agent.log();

  std::string printed;
  ASSERT_EQ(runProgram({kSimulator}, sandbox.environment(), &printed), 0) << printed;
  const std::string crash = firstLine(printed);
  EXPECT_THAT(crash, StartsWith(sandbox.userCrashReporter() + "/Finder_"));
  EXPECT_TRUE(agent.waitForLog(related(crash), std::chrono::seconds(60))) << agent.log();

  agent.signal(SIGINT);
  EXPECT_EQ(agent.waitForExit(), 0) << agent.log();
}

}  // namespace
}  // namespace cw::test::stress

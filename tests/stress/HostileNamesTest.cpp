// Crash-log names that a shell would take apart or run: none of it runs, and
// the relatedness script gets each path byte for byte.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>

#include "stress/StressSupport.h"

namespace cw::test::stress {
namespace {

using ::testing::UnorderedElementsAreArray;

TEST(HostileNames, NothingRunsAndTheScriptGetsTheExactPath) {
  AgentSandbox sandbox;
  TempDir scratch;
  const std::string record = scratch / "asked";
  installRecordingScript(sandbox, record);

  // Every command below would leave a file in HOME if a shell ran it; none
  // holds a slash, which a name cannot.
  const std::vector<std::string> names = {
      "Finder_\"dq\" $(cd;touch pwned-dollar).crash",
      "Finder_`cd;touch pwned-backquote`.crash",
      "Finder_' ; cd; touch pwned-single ; '.crash",
      "Finder_back\\slash\\\\\\\".crash",
      "Finder_new\nline $(cd;touch pwned-newline)\n.crash",
      "Finder_tab\tand ${IFS}glob*?[a].crash",
      std::string("Finder_latin1_\xe9\xff\xfe_$(cd;touch pwned-bytes).crash"),
      "Finder_-n -e; cd; touch pwned-options.crash",
      // The longest name a file can have.
      "Finder_" + std::string(255 - 13, 'x') + ".crash",
  };
  ASSERT_EQ(names.back().size(), 255u);

  std::vector<std::string> expected;
  for (std::size_t i = 0; i < names.size(); ++i) {
    // Alternate between the local and the user's crash-reporter folder.
    const std::string folder = i % 2 ? sandbox.localCrashReporter() : sandbox.userCrashReporter();
    expected.push_back(folder + "/" + names[i]);
  }
  // A folder whose name starts the relative path, with a hostile name inside.
  expected.push_back(sandbox.userCrashReporter() + "/Finder $(cd;touch pwned-folder)/`cd;touch pwned-inner`.crash");
  for (const std::string& path : expected) writeFile(path, "Process: Finder\n");

  AgentProcess agent(sandbox);
  ASSERT_TRUE(agent.waitUntilWatching()) << agent.log();
  agent.signal(SIGUSR1);
  ASSERT_TRUE(waitUntil([&] { return recordedPaths(record).size() >= expected.size(); }))
      << "asked " << recordedPaths(record).size() << " of " << expected.size() << "\n"
      << agent.log();
  ASSERT_TRUE(waitUntil([&] {
    return countOccurrences(agent.log(), std::string(kNotRelatedSuffix)) == static_cast<int>(expected.size());
  })) << agent.log();

  EXPECT_THAT(recordedPaths(record), UnorderedElementsAreArray(expected));
  for (const char* marker : {"pwned-dollar", "pwned-backquote", "pwned-single", "pwned-newline", "pwned-bytes",
                             "pwned-options", "pwned-folder", "pwned-inner"}) {
    EXPECT_FALSE(pathExists(sandbox.home() + "/" + marker)) << marker;
    EXPECT_FALSE(pathExists(std::filesystem::current_path() / marker)) << marker;
  }
  for (const std::string& path : expected) EXPECT_TRUE(pathExists(path)) << path;

  agent.signal(SIGINT);
  EXPECT_EQ(agent.waitForExit(), 0) << agent.log();
}

}  // namespace
}  // namespace cw::test::stress

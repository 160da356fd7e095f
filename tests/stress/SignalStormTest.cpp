// Floods of scan requests: 10,000 user-signal-1s, and thousands of changes in
// the watched folder and in folders made below it meanwhile. No crash, no
// overlapping scans, memory and descriptors bounded, and the agent answers as
// before once the flood is over. (No display here, so no dialog opens.)
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <iostream>
#include <thread>

#include "stress/StressSupport.h"

namespace cw::test::stress {
namespace {

using ::testing::Contains;

// Records each path asked about; two scripts running at once (two scans at
// once) leave a mark.
constexpr const char* kScript = R"(#!/bin/sh
mkdir "$HOME/in-scan" 2>/dev/null || echo overlap >> "$HOME/overlap"
printf '%s\0' "$1" >> "$HOME/asked"
rmdir "$HOME/in-scan"
exit 0
)";

constexpr long kResidentBoundKiB = 64 * 1024;

class SignalStorm : public ::testing::Test {
protected:
  void SetUp() override {
    sandbox_.installScript("related-crash-report", kScript);
    crashLog_ = sandbox_.userCrashReporter() + "/Finder_storm.crash";
    writeFile(crashLog_, "Process: Finder\n");
  }

  std::string asked() const { return sandbox_.home() + "/asked"; }

  // Waits until the log has not grown for a while, so that what follows is
  // not answered by a scan left over from the flood.
  void waitForQuiet(AgentProcess& agent) {
    std::string last = agent.log();
    int quietPolls = 0;
    waitUntil(
        [&] {
          std::this_thread::sleep_for(100ms);
          const std::string now = agent.log();
          quietPolls = now == last ? quietPolls + 1 : 0;
          last = now;
          return quietPolls >= 25;
        },
        120s);
  }

  void expectBounded(AgentProcess& agent, long residentBefore, int descriptorsBefore) {
    const long residentAfter = residentKiB(agent.pid());
    std::cout << "[ stress   ] resident " << residentBefore << " KiB before, " << residentAfter << " KiB after\n";
    EXPECT_LT(residentAfter - residentBefore, kResidentBoundKiB);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    EXPECT_LT(residentAfter, kResidentBoundKiB);
#endif
    // Once idle, every pipe and process descriptor of the scans is closed.
    EXPECT_TRUE(waitUntil([&] { return openDescriptorCount(agent.pid()) == descriptorsBefore; }, 30s))
        << openDescriptorCount(agent.pid()) << " descriptors open, " << descriptorsBefore << " before";
  }

  // A new crash log is found by a fresh scan, and an interrupt still ends it.
  void expectAnswersAfterwards(AgentProcess& agent, const std::function<void()>& trigger) {
    setModificationTime(crashLog_, -60);
    const std::string after = sandbox_.userCrashReporter() + "/Finder_after.crash";
    writeFile(after, "Process: Finder\n");
    trigger();
    EXPECT_TRUE(agent.waitForLog(notRelated(after), std::chrono::seconds(60))) << agent.log();
    EXPECT_THAT(recordedPaths(asked()), Contains(after));
    EXPECT_FALSE(pathExists(sandbox_.home() + "/overlap")) << "two scans ran at once";
    agent.signal(SIGINT);
    EXPECT_EQ(agent.waitForExit(), 0) << agent.log();
  }

  AgentSandbox sandbox_;
  std::string crashLog_;
};

TEST_F(SignalStorm, TenThousandUserSignalsOne) {
  constexpr int kSignals = 10000;
  AgentProcess agent(sandbox_);
  ASSERT_TRUE(agent.waitUntilWatching()) << agent.log();
  const long residentBefore = residentKiB(agent.pid());
  const int descriptorsBefore = openDescriptorCount(agent.pid());

  for (int i = 0; i < kSignals; ++i) {
    agent.signal(SIGUSR1);
    // Now and then a pause, so that scans run between the signals too.
    if (i % 100 == 99) std::this_thread::sleep_for(1ms);
  }
  waitForQuiet(agent);
  ASSERT_TRUE(agent.running()) << agent.log();

  // One line per question asked, however many signals were dropped.
  const std::vector<std::string> paths = recordedPaths(asked());
  EXPECT_GE(paths.size(), 1u);
  EXPECT_LE(paths.size(), static_cast<std::size_t>(kSignals));
  EXPECT_EQ(countOccurrences(agent.log(), notRelated(crashLog_)), static_cast<int>(paths.size()));
  std::cout << "[ stress   ] " << kSignals << " signals, " << paths.size() << " scans\n";
  expectBounded(agent, residentBefore, descriptorsBefore);
  expectAnswersAfterwards(agent, [&] { agent.signal(SIGUSR1); });
}

TEST_F(SignalStorm, BurstOfFolderEventsInNewSubfolders) {
  namespace fs = std::filesystem;
  AgentProcess agent(sandbox_);
  ASSERT_TRUE(agent.waitUntilWatching()) << agent.log();
  const long residentBefore = residentKiB(agent.pid());
  const int descriptorsBefore = openDescriptorCount(agent.pid());

  // 40 subfolders, each three levels deep, 40 files on every level: 6,400
  // files made, half of them removed, and every other tree moved elsewhere
  // inside the watched folder.
  const std::string watched = sandbox_.watchedFolder();
  std::vector<std::string> deepest;
  for (int tree = 0; tree < 40; ++tree) {
    std::string folder = watched + "/tree" + std::to_string(tree);
    for (int level = 0; level < 4; ++level) {
      fs::create_directory(folder);
      for (int file = 0; file < 40; ++file) writeFile(folder + "/f" + std::to_string(file), "x");
      if (level < 3) folder += "/level" + std::to_string(level + 1);
    }
    deepest.push_back(folder);
  }
  for (int tree = 0; tree < 40; ++tree)
    for (int file = 0; file < 40; file += 2) fs::remove(deepest[tree] + "/f" + std::to_string(file));
  fs::create_directory(watched + "/moved");
  for (int tree = 0; tree < 40; tree += 2) {
    fs::rename(watched + "/tree" + std::to_string(tree), watched + "/moved/tree" + std::to_string(tree));
    deepest[tree] = watched + "/moved/tree" + std::to_string(tree) + "/level1/level2/level3";
  }
  waitForQuiet(agent);
  ASSERT_TRUE(agent.running()) << agent.log();
  EXPECT_GE(countOccurrences(agent.log(), notRelated(crashLog_)), 1) << "the burst started no scan";

  expectBounded(agent, residentBefore, descriptorsBefore);
  // A change deep inside a moved tree, made during the burst, is still seen.
  expectAnswersAfterwards(agent, [&] { writeFile(deepest[0] + "/late", "y"); });
}

}  // namespace
}  // namespace cw::test::stress

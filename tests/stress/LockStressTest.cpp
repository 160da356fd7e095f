// The single-instance lock under races: many agents started at once, and
// starts racing shutdowns over and over.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <iostream>
#include <memory>
#include <mutex>
#include <thread>

#include "Platform/UniqueFd.h"
#include "stress/StressSupport.h"

namespace cw::test::stress {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

bool lockedBySomeone(const std::string& path) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) return false;
  if (::flock(fd.get(), LOCK_EX | LOCK_NB) == 0) return false;
  return errno == EWOULDBLOCK;
}

TEST(LockStress, TwentyAgentsStartedAtOnceLeaveExactlyOneRunning) {
  constexpr int kAgents = 20;
  AgentSandbox sandbox;
  TempDir scratch;
  // A gate: every agent waits in a shell that reads one line from a FIFO and
  // then becomes the agent, so that all of them are let go in the same
  // instant and race for a lock file that does not exist yet.
  const std::string gate = scratch / "gate";
  ASSERT_EQ(::mkfifo(gate.c_str(), 0600), 0);
  UniqueFd gateWriter(::open(gate.c_str(), O_RDWR | O_CLOEXEC));  // never blocks on Linux
  ASSERT_TRUE(gateWriter);
  ASSERT_FALSE(pathExists(sandbox.lockFile()));

  std::vector<std::unique_ptr<Child>> agents;
  for (int i = 0; i < kAgents; ++i) {
    agents.push_back(std::make_unique<Child>(
        std::vector<std::string>{"/bin/sh", "-c", "touch \"$1.ready.$$\"; read -r _ < \"$1\"; exec \"$2\"", "sh", gate,
                                 agentExecutable(sandbox)},
        sandbox.environment(), scratch / ("agent" + std::to_string(i) + ".log")));
    ASSERT_TRUE(agents.back()->started());
  }
  ASSERT_TRUE(waitUntil([&] {
    return std::all_of(agents.begin(), agents.end(),
                       [&](const auto& a) { return pathExists(gate + ".ready." + std::to_string(a->pid())); });
  }));
  std::this_thread::sleep_for(100ms);  // let the shells reach the read
  const std::string release(kAgents, '\n');
  ASSERT_EQ(::write(gateWriter.get(), release.data(), release.size()), static_cast<ssize_t>(release.size()));

  ASSERT_TRUE(waitUntil([&] {
    return std::all_of(agents.begin(), agents.end(),
                       [](const auto& a) { return a->hasLogged(kWatching) || a->ended(); });
  })) << "an agent neither started watching nor ended";

  std::vector<Child*> running;
  int refused = 0;
  for (const auto& agent : agents) {
    if (agent->ended()) {
      EXPECT_EQ(agent->status(), 1) << agent->log();
      EXPECT_THAT(agent->log(), HasSubstr(lockMessage(sandbox.lockFile())));
      EXPECT_THAT(agent->log(), Not(HasSubstr(kWatching)));
      ++refused;
    } else {
      running.push_back(agent.get());
    }
  }
  ASSERT_EQ(running.size(), 1u);
  EXPECT_EQ(refused, kAgents - 1);

  Child& winner = *running.front();
  EXPECT_TRUE(lockedBySomeone(sandbox.lockFile()));
  EXPECT_FALSE(holdsDeletedFile(winner.pid(), sandbox.lockFile()));
  winner.signal(SIGINT);
  EXPECT_EQ(winner.waitForExit(), 0) << winner.log();
  EXPECT_FALSE(pathExists(sandbox.lockFile()));
}

// One start of the race: how it ended and what its log says.
struct Start {
  pid_t pid = -1;
  std::optional<int> status;
  bool watched = false;
  bool lockFileWasDeleted = false;
  std::string log;
};

// Loops that each start an agent, wait for it to watch or to end, and
// interrupt it, until 1,000 agents have watched and been interrupted; the
// other loops' starts race every start-up and every shutdown.
TEST(LockStress, StartsRacingShutdownsNeverLeaveTwoInstancesWatching) {
  constexpr int kInterrupted = 1000;
  constexpr int kMaxStarts = 50000;  // a bound, far above what it takes
  constexpr int kLoops = 3;
  AgentSandbox sandbox;
  TempDir logs;
  std::atomic<int> starts{0};
  std::atomic<int> interrupted{0};
  std::mutex mutex;
  std::vector<Start> runs;

  const auto began = std::chrono::steady_clock::now();
  auto loop = [&] {
    while (interrupted < kInterrupted) {
      const int i = starts++;
      if (i >= kMaxStarts) return;
      Start run;
      {
        Child agent({agentExecutable(sandbox)}, sandbox.environment(), logs / ("agent" + std::to_string(i) + ".log"));
        run.pid = agent.pid();
        if (waitUntil([&] { return agent.hasLogged(kWatching) || agent.ended(); }) && !agent.ended()) {
          run.watched = true;
          // An instance that holds its lock on a file no longer at the lock
          // path can be joined by another that makes a new one.
          run.lockFileWasDeleted = holdsDeletedFile(agent.pid(), sandbox.lockFile());
          agent.signal(SIGINT);
          ++interrupted;
        }
        run.status = agent.waitForExit();
        run.log = agent.log();
      }
      ::unlink((logs / ("agent" + std::to_string(i) + ".log")).c_str());
      std::lock_guard lock(mutex);
      runs.push_back(std::move(run));
    }
  };
  std::vector<std::thread> threads;
  for (int i = 0; i < kLoops; ++i) threads.emplace_back(loop);
  for (auto& thread : threads) thread.join();
  const auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();

  ASSERT_GE(interrupted, kInterrupted) << "only " << interrupted << " of " << runs.size() << " starts watched";
  // Each instance's watch, from its "Watching" line to its SIGINT line, lies
  // inside the time it held the lock; no two may overlap.
  struct Interval {
    long long from, to;
    pid_t pid;
  };
  std::vector<Interval> watches;
  int refused = 0;
  for (const Start& run : runs) {
    if (run.watched) {
      EXPECT_EQ(run.status, 0) << run.log;
      EXPECT_FALSE(run.lockFileWasDeleted) << "agent " << run.pid << " watched with its lock file gone\n" << run.log;
      const auto from = loggedAt(run.log, kWatching);
      const auto to = loggedAt(run.log, kCaughtSIGINT);
      EXPECT_TRUE(from && to) << run.log;
      if (from && to) watches.push_back({*from, *to, run.pid});
    } else {
      EXPECT_EQ(run.status, 1) << run.log;
      EXPECT_THAT(run.log, HasSubstr(lockMessage(sandbox.lockFile())));
      ++refused;
    }
  }
  std::sort(watches.begin(), watches.end(), [](const Interval& a, const Interval& b) { return a.from < b.from; });
  int overlaps = 0;
  for (std::size_t i = 1, latest = 0; i < watches.size(); ++i) {
    if (watches[i].from < watches[latest].to) {
      ++overlaps;
      ADD_FAILURE() << "agents " << watches[latest].pid << " and " << watches[i].pid << " watched at the same time";
    }
    if (watches[i].to > watches[latest].to) latest = i;
  }
  EXPECT_EQ(overlaps, 0);
  EXPECT_FALSE(watches.empty());
  std::cout << "[ stress   ] " << runs.size() << " starts in " << kLoops << " loops: " << watches.size()
            << " watched and interrupted, " << refused << " refused, " << seconds << " s\n";

  // Nothing left behind blocks the next start.
  AgentProcess last(sandbox);
  EXPECT_TRUE(last.waitUntilWatching()) << last.log();
  last.signal(SIGINT);
  EXPECT_EQ(last.waitForExit(), 0);
}

}  // namespace
}  // namespace cw::test::stress

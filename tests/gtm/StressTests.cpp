// Many threads through one logger; these also run under ThreadSanitizer.

#include <gtest/gtest.h>

#include <atomic>
#include <barrier>
#include <regex>
#include <set>
#include <thread>

#include "gtm/GTMTestHelpers.h"

namespace cw::test {
namespace {

constexpr const char* kPayload = "payload with 100% of its text: ünïcödé, tabs\tand %d %@";

TEST(GTMLoggerStress, EightThreadsIntoOneFileKeepEveryLineWhole) {
  constexpr int kThreads = 8;
  constexpr int kLines = 20000;
  TempDir dir;
  const std::string path = dir / "stress.log";
  auto logger = GTMLogger::standardLoggerWithPath(path);
  ASSERT_TRUE(logger);

  std::barrier start(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      start.arrive_and_wait();
      for (int i = 0; i < kLines; ++i) logger->logFuncError("worker", "thread %d line %d %@", t, i, kPayload);
    });
  }
  for (auto& thread : threads) thread.join();

  const auto lines = readLines(path);
  ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kLines));
  const std::regex messagePattern(R"(^thread (\d+) line (\d+) (.*)$)");
  std::vector<int> nextLine(kThreads, 0);
  std::set<std::string> threadIds;
  for (const std::string& line : lines) {
    const auto parts = parseStandardLine(line);
    ASSERT_TRUE(parts) << line;
    std::smatch m;
    ASSERT_TRUE(std::regex_match(parts->message, m, messagePattern)) << line;
    const int t = std::stoi(m[1]);
    const int i = std::stoi(m[2]);
    ASSERT_TRUE(t >= 0 && t < kThreads) << line;
    // Each thread's lines arrive whole and in its own order, none missing.
    ASSERT_EQ(i, nextLine[t]) << line;
    ++nextLine[t];
    ASSERT_EQ(m[3], kPayload) << line;
    ASSERT_EQ(parts->level, 3);
    ASSERT_EQ(parts->func, "worker");
    threadIds.insert(parts->thread);
  }
  EXPECT_EQ(nextLine, std::vector<int>(kThreads, kLines));
  EXPECT_EQ(threadIds.size(), static_cast<size_t>(kThreads));
}

TEST(GTMLoggerStress, ComponentsReplacedWhileThreadsLog) {
  constexpr int kThreads = 4;
  constexpr int kLines = 5000;
  TempDir dir;
  auto fileA = GTMFileHandleLogWriter::fileHandleForLoggingAtPathMode(dir / "a.log", 0644);
  auto fileB = GTMFileHandleLogWriter::fileHandleForLoggingAtPathMode(dir / "b.log", 0644);
  ASSERT_TRUE(fileA && fileB);
  auto logger = GTMLogger::loggerWithWriterFormatterFilter(fileA, std::make_shared<GTMLogStandardFormatter>(),
                                                           std::make_shared<GTMLogLevelFilter>());
  std::weak_ptr<GTMLogFormatter> firstFormatter = logger->formatter();

  std::atomic<int> running{kThreads};
  std::barrier start(kThreads + 1);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      start.arrive_and_wait();
      for (int i = 0; i < kLines; ++i) logger->logAssert("t%d i%d", t, i);
      running.fetch_sub(1);
    });
  }
  int replacements = 0;
  start.arrive_and_wait();
  while (running.load() > 0 || replacements < 100) {
    const bool even = replacements % 2 == 0;
    logger->setWriter(even ? fileB : fileA);
    if (even)
      logger->setFormatter(std::make_shared<GTMLogBasicFormatter>());
    else
      logger->setFormatter(std::make_shared<GTMLogStandardFormatter>());
    if (even)
      logger->setFilter(std::make_shared<GTMLogNoFilter>());
    else
      logger->setFilter(std::make_shared<GTMLogLevelFilter>());
    ++replacements;
  }
  for (auto& thread : threads) thread.join();

  // Every message went through one formatter and one writer, whole.
  std::vector<std::vector<bool>> seen(kThreads, std::vector<bool>(kLines, false));
  std::size_t total = 0;
  const std::regex messagePattern(R"(^t(\d+) i(\d+)$)");
  for (const char* name : {"a.log", "b.log"}) {
    for (const std::string& line : readLines(dir / name)) {
      const auto parts = parseStandardLine(line);
      const std::string message = parts ? parts->message : line;
      std::smatch m;
      ASSERT_TRUE(std::regex_match(message, m, messagePattern)) << line;
      const int t = std::stoi(m[1]);
      const int i = std::stoi(m[2]);
      ASSERT_FALSE(seen[t][i]) << "twice: " << line;
      seen[t][i] = true;
      ++total;
    }
  }
  EXPECT_EQ(total, static_cast<size_t>(kThreads * kLines));
  // Replaced components die when their last user lets go.
  EXPECT_TRUE(firstFormatter.expired());
}

TEST(GTMLoggerStress, SharedLoggerCreatedOnceAndReplacedWhileInUse) {
  GTMLogger::setSharedLogger(nullptr);
  constexpr int kThreads = 8;
  std::barrier start(kThreads);
  std::vector<std::shared_ptr<GTMLogger>> got(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      start.arrive_and_wait();
      got[t] = GTMLogger::sharedLogger();
    });
  }
  for (auto& thread : threads) thread.join();
  for (const auto& logger : got) EXPECT_EQ(logger, got[0]);
  got.clear();

  TempDir dir;
  auto one = GTMLogger::loggerWithWriterFormatterFilter(
      GTMFileHandleLogWriter::fileHandleForLoggingAtPathMode(dir / "one.log", 0644), nullptr, nullptr);
  auto two = GTMLogger::loggerWithWriterFormatterFilter(
      GTMFileHandleLogWriter::fileHandleForLoggingAtPathMode(dir / "two.log", 0644), nullptr, nullptr);
  GTMLogger::setSharedLogger(one);
  constexpr int kLoggers = 4;
  constexpr int kLines = 2000;
  std::atomic<int> running{kLoggers};
  threads.clear();
  for (int t = 0; t < kLoggers; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kLines; ++i) GTMLogger::sharedLogger()->logError("t%d i%d", t, i);
      running.fetch_sub(1);
    });
  }
  for (int swaps = 0; running.load() > 0 || swaps < 100; ++swaps) GTMLogger::setSharedLogger(swaps % 2 ? one : two);
  for (auto& thread : threads) thread.join();
  GTMLogger::setSharedLogger(nullptr);

  EXPECT_EQ(readLines(dir / "one.log").size() + readLines(dir / "two.log").size(),
            static_cast<size_t>(kLoggers * kLines));
}

TEST(GTMLoggerStress, FailedWriteThrowsToTheCallerAndTheLoggerGoesOn) {
  constexpr int kThreads = 4;
  constexpr int kCalls = 200;
  auto logger = GTMLogger::standardLoggerWithPath("/dev/full");
  ASSERT_TRUE(logger);
  std::atomic<int> failures{0};
  const auto logFromThreads = [&](std::atomic<int>& failed) {
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        for (int i = 0; i < kCalls; ++i) {
          try {
            logger->logError("t%d i%d", t, i);
          } catch (const std::system_error& e) {
            if (e.code().value() == ENOSPC) failed.fetch_add(1);
          }
        }
      });
    }
    for (auto& thread : threads) thread.join();
  };
  logFromThreads(failures);
  EXPECT_EQ(failures.load(), kThreads * kCalls);

  TempDir dir;
  logger->setWriter(GTMFileHandleLogWriter::fileHandleForLoggingAtPathMode(dir / "after.log", 0644));
  std::atomic<int> laterFailures{0};
  logFromThreads(laterFailures);
  EXPECT_EQ(laterFailures.load(), 0);
  const auto lines = readLines(dir / "after.log");
  EXPECT_EQ(lines.size(), static_cast<size_t>(kThreads * kCalls));
  for (const auto& line : lines) ASSERT_TRUE(parseStandardLine(line)) << line;
}

}  // namespace
}  // namespace cw::test

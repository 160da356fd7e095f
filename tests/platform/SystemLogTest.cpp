#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <regex>
#include <string>

#include "Platform/SystemLog.h"
#include "Platform/UniqueFd.h"
#include "support/TestSupport.h"

namespace cw {
namespace {

// Runs `body` with standard error sent to a file and answers what it wrote.
template <typename Body>
std::string captureStandardError(Body body) {
  test::TempDir dir;
  const std::string path = dir / "stderr";
  UniqueFd file(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
  UniqueFd saved(::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 0));
  if (!file || !saved) return "<capture failed>";
  ::dup2(file.get(), STDERR_FILENO);
  body();
  ::dup2(saved.get(), STDERR_FILENO);
  return test::readFile(path);
}

std::string linePrefixPattern() {
  return "\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2}\\.\\d{3} CrashWatcher\\[" + std::to_string(::getpid()) + ":" +
         std::to_string(::syscall(SYS_gettid)) + "\\] ";
}

TEST(SystemLog, OneLineWithTimeProcessAndThread) {
  const std::string out = captureStandardError([] { systemLogMessage("Watching folder /x/y"); });
  EXPECT_TRUE(std::regex_match(out, std::regex(linePrefixPattern() + "Watching folder /x/y\n"))) << out;
}

TEST(SystemLog, FormatsPlaceholdersAndFallsBackToTheBareFormat) {
  const std::string out = captureStandardError([] {
    systemLog("Found %@ (%d)", std::string("Finder_x.crash"), 3);
    systemLog(RuntimeFormat{"Missing %@ argument"});
    systemLog("Error while fetching file attributes: %@", nullptr);
    systemLogMessage("already ends\n");
  });
  const std::string prefix = linePrefixPattern();
  EXPECT_TRUE(std::regex_match(
      out, std::regex(prefix + "Found Finder_x\\.crash \\(3\\)\n" + prefix + "Missing %@ argument\n" + prefix +
                      "Error while fetching file attributes: \\(null\\)\n" + prefix + "already ends\n")))
      << out;
}

TEST(SystemLog, EachLineIsOneWrite) {
  // A pipe delivers each write(2) of at most PIPE_BUF bytes whole, so every
  // read of a quiet pipe returns exactly one call's line.
  int fds[2];
  ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
  UniqueFd readEnd(fds[0]), writeEnd(fds[1]);
  UniqueFd saved(::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 0));
  ASSERT_TRUE(saved);
  ::dup2(writeEnd.get(), STDERR_FILENO);
  systemLogMessage("first");
  const std::string longMessage(1000, 'x');
  systemLogMessage(longMessage);
  ::dup2(saved.get(), STDERR_FILENO);
  writeEnd.reset();
  std::string all;
  char buffer[8192];
  for (ssize_t n; (n = ::read(readEnd.get(), buffer, sizeof buffer)) > 0;) all.append(buffer, static_cast<size_t>(n));
  const std::string prefix = linePrefixPattern();
  EXPECT_TRUE(std::regex_match(all, std::regex(prefix + "first\n" + prefix + "x{1000}\n"))) << all.size();
}

}  // namespace
}  // namespace cw

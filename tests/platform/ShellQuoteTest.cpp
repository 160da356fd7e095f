#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <optional>
#include <string>

#include "Platform/ShellQuote.h"
#include "Platform/UniqueFd.h"

namespace cw {
namespace {

// Standard output of `bash -c <command>`; absent when bash could not be run
// or did not end normally with status 0.
std::optional<std::string> outputOfBash(const std::string& command) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return std::nullopt;
  UniqueFd readEnd(fds[0]), writeEnd(fds[1]);
  const pid_t child = ::fork();
  if (child < 0) return std::nullopt;
  if (child == 0) {
    ::dup2(writeEnd.get(), STDOUT_FILENO);
    ::execl("/bin/bash", "bash", "--noprofile", "--norc", "-c", command.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  writeEnd.reset();
  std::string output;
  char buffer[4096];
  while (true) {
    const ssize_t n = ::read(readEnd.get(), buffer, sizeof buffer);
    if (n > 0)
      output.append(buffer, static_cast<size_t>(n));
    else if (n == 0 || errno != EINTR)
      break;
  }
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return std::nullopt;
  return output;
}

TEST(ShellQuote, HostileStringsSurviveARealBash) {
  const std::string hostile[] = {
      "",
      "plain",
      "with space",
      "it's",
      "''",
      "'\\''",
      "\"double\" quotes",
      "$(touch /tmp/cw-quote-pwned)",
      "`touch /tmp/cw-quote-pwned`",
      "$HOME ${HOME} $1 $@ $$",
      "back\\slash\\",
      "line\nbreak\n",
      "tab\tand\r",
      "semi; colon && or || pipe | amp & done",
      "glob * ? [a-z] ~ ~/x",
      "!history !! ^a^b",
      "# comment",
      "-n",
      "--",
      "\xFF\xFE non-UTF-8 \xC3",
      "Gr\xC3\xB6\xC3\x9F"
      "e/Finder_2010-05-01-101500_host.crash",
  };
  for (const std::string& text : hostile) {
    const std::string quoted = shellQuote(text);
    EXPECT_EQ(outputOfBash("printf %s " + quoted), text) << "quoted as " << quoted;
  }
  EXPECT_EQ(::access("/tmp/cw-quote-pwned", F_OK), -1);
}

TEST(ShellQuote, QuotedWordsStaySeparate) {
  // Two quoted paths in one command line are two arguments, as the script
  // runner builds them.
  EXPECT_EQ(outputOfBash("printf '<%s>' " + shellQuote("a b") + " " + shellQuote("c'd")), "<a b><c'd>");
}

}  // namespace
}  // namespace cw

// The verbose setting is read from the environment once per process, so each
// case runs in a fresh child: this binary again, with only the probe below.

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <barrier>
#include <cstdlib>
#include <regex>
#include <thread>

#include "Platform/UserDefaults.h"
#include "gtm/GTMTestHelpers.h"

namespace cw::test {
namespace {

constexpr const char* kProbeFilter = "GTMVerboseProbe.InChild";

// Runs only in a child started by runProbe(). It reports on standard output:
// the first answer (asked by several threads at once) and the second answer of IsVerboseLoggingEnabled (the variable
// changed in between when CW_GTM_PROBE_CHANGE is set), and what the level
// filter says to debug and info.
TEST(GTMVerboseProbe, InChild) {
  if (!std::getenv("CW_GTM_PROBE")) GTEST_SKIP() << "runs only as the child of the verbose-setting tests";
  if (std::getenv("CW_GTM_PROBE_DEFAULT")) {
    ASSERT_TRUE(UserDefaults::standardUserDefaults().setBoolForKey("GTMVerboseLogging", true));
  }

  // First use from several threads at once: all must read the same setting.
  constexpr int kThreads = 4;
  std::barrier start(kThreads);
  std::vector<char> answers(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      start.arrive_and_wait();
      answers[t] = IsVerboseLoggingEnabled();
    });
  }
  for (auto& thread : threads) thread.join();
  ASSERT_EQ(std::count(answers.begin(), answers.end(), answers[0]), kThreads);
  const bool first = answers[0];
  if (const char* change = std::getenv("CW_GTM_PROBE_CHANGE")) {
    if (*change == '-')
      ::unsetenv("GTMVerboseLogging");
    else
      ::setenv("GTMVerboseLogging", change, 1);
  }
  const bool second = IsVerboseLoggingEnabled();
  GTMLogLevelFilter filter;
  const bool debug = filter.filterAllowsMessageLevel("d", GTMLogLevelDebug);
  const bool info = filter.filterAllowsMessageLevel("i", GTMLogLevelInfo);

  if (const char* path = std::getenv("CW_GTM_PROBE_LOG")) {
    auto logger = GTMLogger::standardLoggerWithPath(std::string_view(path));
    ASSERT_TRUE(logger);
    logger->logDebug("debug line");
    logger->logInfo("info line");
    logger->logError("error line");
    logger->logAssert("assert line");
  }
  const std::string report = "probe first=" + std::to_string(first) + " second=" + std::to_string(second) +
                             " debug=" + std::to_string(debug) + " info=" + std::to_string(info) + "\n";
  ASSERT_EQ(::write(STDOUT_FILENO, report.data(), report.size()), static_cast<ssize_t>(report.size()));
}

struct ProbeResult {
  bool first = false;
  bool second = false;
  bool debug = false;
  bool info = false;
};

struct ProbeCase {
  std::optional<std::string> variable;  // nullopt: unset
  bool userDefault = false;
  std::optional<std::string> change = std::nullopt;  // "-" unsets
  std::optional<std::string> logPath = std::nullopt;
};

ProbeResult runProbe(const ProbeCase& c) {
  TempDir home;
  std::map<std::string, std::optional<std::string>> env{
      {"CW_GTM_PROBE", "1"},
      {"HOME", home.path()},
      {"GTMVerboseLogging", c.variable},
      {"CW_GTM_PROBE_DEFAULT", c.userDefault ? std::optional<std::string>("1") : std::nullopt},
      {"CW_GTM_PROBE_CHANGE", c.change},
      {"CW_GTM_PROBE_LOG", c.logPath},
  };
  const ChildResult child = runThisBinary(kProbeFilter, env);
  EXPECT_EQ(child.status, 0) << child.output;
  std::smatch m;
  static const std::regex report(R"(probe first=(\d) second=(\d) debug=(\d) info=(\d))");
  if (!std::regex_search(child.output, m, report)) {
    ADD_FAILURE() << "no report from the child:\n" << child.output;
    return {};
  }
  return {m[1] == "1", m[2] == "1", m[3] == "1", m[4] == "1"};
}

TEST(GTMVerboseLogging, EnvironmentVariableReadAsANumber) {
  struct Case {
    const char* text;
    bool verbose;
  };
  // yes, true and 0x10 read as 0; leading blanks, a sign and trailing letters
  // do not stop a number.
  const Case cases[] = {{"1", true},
                        {"0", false},
                        {"yes", false},
                        {"true", false},
                        {"  7", true},
                        {"12abc", true},
                        {"-3", true},
                        {"0x10", false},
                        {"\t+2 x", true},
                        {"000", false},
                        {"99999999999999999999999", true}};
  for (const Case& c : cases) {
    // The user default is on throughout: a non-empty variable alone decides.
    const ProbeResult r = runProbe({.variable = c.text, .userDefault = true});
    EXPECT_EQ(r.first, c.verbose) << '"' << c.text << '"';
    EXPECT_EQ(r.info, c.verbose) << '"' << c.text << '"';
    EXPECT_FALSE(r.debug) << "debug passed with \"" << c.text << '"';
  }
}

TEST(GTMVerboseLogging, UserDefaultDecidesWhenTheVariableIsUnsetOrEmpty) {
  for (const std::optional<std::string>& variable : {std::optional<std::string>(), std::optional<std::string>("")}) {
    const char* shown = variable ? "empty" : "unset";
    ProbeResult r = runProbe({.variable = variable, .userDefault = true});
    EXPECT_TRUE(r.first) << shown;
    EXPECT_TRUE(r.info) << shown;
    EXPECT_FALSE(r.debug) << shown;
    r = runProbe({.variable = variable, .userDefault = false});
    EXPECT_FALSE(r.first) << shown;
    EXPECT_FALSE(r.info) << shown;
  }
}

TEST(GTMVerboseLogging, FoundVariableIsKeptForTheProcess) {
  // A value once found is kept, also through a later unset.
  ProbeResult r = runProbe({.variable = "1", .change = "0"});
  EXPECT_TRUE(r.first);
  EXPECT_TRUE(r.second);
  r = runProbe({.variable = "0", .userDefault = true, .change = "-"});
  EXPECT_FALSE(r.first);
  EXPECT_FALSE(r.second);
  // An empty text is remembered too: from then on the user default alone decides.
  r = runProbe({.variable = "", .change = "1"});
  EXPECT_FALSE(r.first);
  EXPECT_FALSE(r.second);
  // An unset variable is looked up again on the next call.
  r = runProbe({.variable = std::nullopt, .change = "1"});
  EXPECT_FALSE(r.first);
  EXPECT_TRUE(r.second);
}

TEST(GTMVerboseLogging, StandardLoggerWritesInfoOnlyWhenVerbose) {
  TempDir dir;
  for (const bool verbose : {true, false}) {
    const std::string path = dir / (verbose ? "verbose.log" : "quiet.log");
    runProbe({.variable = verbose ? "1" : "0", .logPath = path});
    std::vector<std::string> messages;
    for (const std::string& line : readLines(path)) {
      const auto parts = parseStandardLine(line);
      ASSERT_TRUE(parts) << line;
      messages.push_back(std::to_string(parts->level) + " " + parts->message);
    }
    if (verbose)
      EXPECT_EQ(messages, (std::vector<std::string>{"2 info line", "3 error line", "4 assert line"}));
    else
      EXPECT_EQ(messages, (std::vector<std::string>{"3 error line", "4 assert line"}));
  }
}

}  // namespace
}  // namespace cw::test

#include <gtest/gtest.h>
#include <unistd.h>

#include <barrier>
#include <climits>
#include <thread>

#include "gtm/GTMTestHelpers.h"

namespace cw::test {
namespace {

std::optional<std::string> basic(std::string_view format, std::initializer_list<FormatArg> args,
                                 std::optional<std::string_view> func = std::nullopt,
                                 GTMLogLevel level = GTMLogLevelError) {
  GTMLogBasicFormatter formatter;
  return formatter.stringForFuncWithFormatValistLevel(func, format, FormatArgs(args.begin(), args.size()), level);
}

std::string standard(GTMLogStandardFormatter& formatter, std::optional<std::string_view> func, std::string_view format,
                     std::initializer_list<FormatArg> args, GTMLogLevel level) {
  return formatter.stringForFuncWithFormatValistLevel(func, format, FormatArgs(args.begin(), args.size()), level)
      .value_or("<absent>");
}

// The formatting itself is the platform's (tested there); the formatter adds
// nothing to it, and its refusals stay refusals.
TEST(GTMLogBasicFormatter, MessageIsTheFormattedTextAloneOrAbsent) {
  EXPECT_EQ(basic("plain text", {}, "someFunction", GTMLogLevelDebug), "plain text");
  EXPECT_EQ(basic("%d apples, %@", {5, "pears"}), "5 apples, pears");
  EXPECT_EQ(basic("%@", {"100% %d %@ %n"}), "100% %d %@ %n");
  EXPECT_EQ(basic("%d and %d", {1}), std::nullopt);
  EXPECT_EQ(basic("count%n", {1}), std::nullopt);
}

TEST(GTMLogStandardFormatter, LineCarriesDateProcessThreadLevelFunctionAndMessage) {
  GTMLogStandardFormatter formatter;
  const std::string before = localTimestampNow();
  const std::string line = standard(formatter, "main", "value %d", {5}, GTMLogLevelError);
  const std::string after = localTimestampNow();

  const auto parts = parseStandardLine(line);
  ASSERT_TRUE(parts) << line;
  EXPECT_EQ(parts->process, program_invocation_short_name);
  EXPECT_EQ(parts->pid, ::getpid());
  EXPECT_EQ(parts->thread, currentThreadText());
  EXPECT_EQ(parts->level, 3);
  EXPECT_EQ(parts->func, "main");
  EXPECT_EQ(parts->message, "value 5");
  EXPECT_LE(before, parts->date);
  EXPECT_LE(parts->date, after);
  EXPECT_EQ(line.find('\n'), std::string::npos);
  EXPECT_NE(line.find("] [lvl=3] main value 5"), std::string::npos) << line;
}

TEST(GTMLogStandardFormatter, FunctionNameAndMessageEdgeCases) {
  GTMLogStandardFormatter formatter;

  auto parts = parseStandardLine(standard(formatter, std::nullopt, "no function", {}, GTMLogLevelError));
  ASSERT_TRUE(parts);
  EXPECT_EQ(parts->func, "(no func)");
  EXPECT_EQ(parts->message, "no function");

  parts = parseStandardLine(standard(formatter, "f%d%@%n", "%@", {"50% off %s"}, GTMLogLevelInfo));
  ASSERT_TRUE(parts);
  EXPECT_EQ(parts->func, "f%d%@%n");
  EXPECT_EQ(parts->message, "50% off %s");

  // No message can be made: the line is still whole, with "(null)" for it.
  parts = parseStandardLine(standard(formatter, "g", "%d", {"not a number"}, GTMLogLevelAssert));
  ASSERT_TRUE(parts);
  EXPECT_EQ(parts->message, "(null)");
  EXPECT_EQ(parts->level, 4);

  for (const GTMLogLevel level : {0, 5, -7, INT32_MIN}) {
    parts = parseStandardLine(standard(formatter, "h", "x", {}, level));
    ASSERT_TRUE(parts);
    EXPECT_EQ(parts->level, level);
  }
}

TEST(GTMLogStandardFormatter, ThreadsFormattingAtOnceGetCompleteDatedLines) {
  GTMLogStandardFormatter formatter;
  constexpr int kLines = 500;
  std::barrier start(2);
  const auto work = [&](std::string name, std::vector<std::string>& lines, std::string& thread) {
    thread = currentThreadText();
    start.arrive_and_wait();
    for (int i = 0; i < kLines; ++i) {
      const std::string before = localTimestampNow();
      std::string line = standard(formatter, name, "line %d of %@", {i, name}, GTMLogLevelError);
      lines.push_back(before + "|" + localTimestampNow() + "|" + line);
    }
  };
  std::vector<std::string> linesA, linesB;
  std::string threadA, threadB;
  std::thread a(work, "alpha", std::ref(linesA), std::ref(threadA));
  std::thread b(work, "beta", std::ref(linesB), std::ref(threadB));
  a.join();
  b.join();

  for (const auto& [name, lines, thread] : {std::tuple{"alpha", &linesA, &threadA}, {"beta", &linesB, &threadB}}) {
    ASSERT_EQ(lines->size(), static_cast<size_t>(kLines));
    for (int i = 0; i < kLines; ++i) {
      const std::string& record = (*lines)[i];
      const std::string before = record.substr(0, 23);
      const std::string after = record.substr(24, 23);
      const auto parts = parseStandardLine(record.substr(48));
      ASSERT_TRUE(parts) << record;
      EXPECT_EQ(parts->thread, *thread);
      EXPECT_EQ(parts->func, name);
      EXPECT_EQ(parts->message, "line " + std::to_string(i) + " of " + name);
      EXPECT_LE(before, parts->date);
      EXPECT_LE(parts->date, after);
    }
  }
}

TEST(GTMLogFilters, LevelFilterDropsDebugAndPassesEveryLevelButInfo) {
  // Info depends on the verbose setting; its cases run in child processes.
  GTMLogLevelFilter filter;
  EXPECT_FALSE(filter.filterAllowsMessageLevel("debug", GTMLogLevelDebug));
  for (const GTMLogLevel level : {GTMLogLevelError, GTMLogLevelAssert, 0, 5, -1, INT32_MIN, INT32_MAX}) {
    EXPECT_TRUE(filter.filterAllowsMessageLevel("m", level)) << level;
  }
}

// The compile-time check must agree with what the formatter does at run time,
// or a call that compiles would lose its message.
template <typename... Args>
void expectCheckAgreesWithFormatter(std::string_view format, const Args&... args) {
  EXPECT_EQ(GTMLogFormatMatches<Args...>(format), cw::format(format, args...).has_value()) << format;
}

TEST(GTMLogFormatCheck, CompileTimeCheckFollowsTheFormatter) {
  static_assert(GTMLogFormatMatches<int>("%d"));
  static_assert(GTMLogFormatMatches<>("100%% plain"));
  static_assert(GTMLogFormatMatches<std::string, std::shared_ptr<GTMLogger>, std::nullptr_t>("%@ %@ %@"));
  static_assert(GTMLogFormatMatches<int, double>("%*.2f"));
  static_assert(GTMLogFormatMatches<const char*, int>("%2$d %1$s"));
  static_assert(GTMLogFormatMatches<long long, unsigned, char>("%lld %#x %c"));
  static_assert(GTMLogFormatMatches<void*, const Object*>("%p %p"));
  static_assert(!GTMLogFormatMatches<const char*>("%d"));
  static_assert(!GTMLogFormatMatches<int>("%@"));
  static_assert(!GTMLogFormatMatches<int>("%s"));
  static_assert(!GTMLogFormatMatches<double>("%d"));
  static_assert(!GTMLogFormatMatches<>("%d"));
  static_assert(!GTMLogFormatMatches<int, int>("%d"));  // an unused argument, as printf checking warns
  static_assert(!GTMLogFormatMatches<int>("%n"));
  static_assert(!GTMLogFormatMatches<>("50%"));
  static_assert(!GTMLogFormatMatches<int>("%llld"));
  static_assert(!GTMLogFormatMatches<std::string>("%p"));

  const std::string text = "text";
  const auto object = std::make_shared<GTMLogNoFilter>();
  expectCheckAgreesWithFormatter("%d", 5);
  expectCheckAgreesWithFormatter("%d", "five");
  expectCheckAgreesWithFormatter("%@ and %s", text, "c string");
  expectCheckAgreesWithFormatter("%s", object);
  expectCheckAgreesWithFormatter("%@ %p", object, object);
  expectCheckAgreesWithFormatter("%*d|%-*.*s", 4, 7, 6, 2, "abc");
  expectCheckAgreesWithFormatter("%2$@ %1$.3f", 2.5, "x");
  expectCheckAgreesWithFormatter("%5%", 1);
  expectCheckAgreesWithFormatter("%f", 3);
  expectCheckAgreesWithFormatter("%hhu %zd %jx", 1, 2L, 3ULL);
  expectCheckAgreesWithFormatter("%q", 1);
  expectCheckAgreesWithFormatter("%3$d", 1, 2);
}

// The check reads formats with the formatter's own grammar, so formats that
// the formatter refuses no longer compile: positional and sequential
// arguments mixed, and runs of length modifiers that name no type.
TEST(GTMLogFormatCheck, CompileTimeCheckRefusesWhatTheFormatterRefuses) {
  static_assert(!GTMLogFormatMatches<int, int>("%2$d %d"));
  static_assert(!GTMLogFormatMatches<int, int>("%*2$d"));
  static_assert(!GTMLogFormatMatches<int>("%hld"));
  static_assert(!GTMLogFormatMatches<double>("%Lqf"));
  static_assert(GTMLogFormatMatches<int, int>("%2$*1$d"));
  expectCheckAgreesWithFormatter("%2$d %d", 1, 2);
  expectCheckAgreesWithFormatter("%hld", 1);
  expectCheckAgreesWithFormatter("%2$*1$d", 3, 4);
}

}  // namespace
}  // namespace cw::test

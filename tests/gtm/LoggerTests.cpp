#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <typeinfo>

#include "gtm/GTMTestHelpers.h"

namespace cw::test {
namespace {

struct FormatterCall {
  std::optional<std::string> func;
  std::string format;
  GTMLogLevel level;
  bool operator==(const FormatterCall&) const = default;
};

// Formats like the basic formatter (or gives absent when told to) and records
// each call, in the journal too, so that the order of the stages shows.
class RecordingFormatter : public GTMLogFormatter {
public:
  explicit RecordingFormatter(std::shared_ptr<Journal> journal = nullptr) : journal_(std::move(journal)) {}
  std::optional<std::string> stringForFuncWithFormatValistLevel(std::optional<std::string_view> func,
                                                                std::string_view format, FormatArgs valist,
                                                                GTMLogLevel level) override {
    calls.push_back({func ? std::optional<std::string>(*func) : std::nullopt, std::string(format), level});
    if (journal_) journal_->add({"formatter", std::string(format), level});
    if (giveAbsent) return std::nullopt;
    return formatWithArgs(format, valist);
  }
  std::vector<FormatterCall> calls;
  bool giveAbsent = false;

private:
  std::shared_ptr<Journal> journal_;
};

class RecordingFilter : public GTMLogFilter {
public:
  explicit RecordingFilter(std::shared_ptr<Journal> journal) : journal_(std::move(journal)) {}
  bool filterAllowsMessageLevel(std::string_view message, GTMLogLevel level) override {
    journal_->add({"filter", std::string(message), level});
    return allow;
  }
  bool allow = true;

private:
  std::shared_ptr<Journal> journal_;
};

TEST(GTMLogger, DeliveryFormatsThenFiltersThenWrites) {
  auto journal = std::make_shared<Journal>();
  auto formatter = std::make_shared<RecordingFormatter>(journal);
  auto filter = std::make_shared<RecordingFilter>(journal);
  auto writer = std::make_shared<RecordingWriter>("writer", journal);
  auto logger = GTMLogger::loggerWithWriterFormatterFilter(writer, formatter, filter);

  logger->logError("%d%% of %@", 50, "100%");
  EXPECT_EQ(journal->entries(),
            (std::vector<Delivery>{
                {"formatter", "%d%% of %@", 3}, {"filter", "50% of 100%", 3}, {"writer", "50% of 100%", 3}}));

  // A refusing filter leaves the writer uncalled, but the call was formatted.
  filter->allow = false;
  logger->logDebug("dropped %d", 1);
  EXPECT_EQ(journal->entries().size(), 5u);
  EXPECT_EQ(journal->entries().back(), (Delivery{"filter", "dropped 1", 1}));

  // No message: neither filter nor writer hears of it.
  filter->allow = true;
  formatter->giveAbsent = true;
  logger->logAssert("never formatted");
  EXPECT_EQ(journal->entries().size(), 6u);
  EXPECT_EQ(writer->received().size(), 1u);
}

// A message that the framework's own filter drops may skip formatting, but
// only where nothing could tell: a foreign formatter or filter still sees
// every message, and so does the description of an object argument.
TEST(GTMLogger, ForeignStagesStillSeeEveryDroppedMessage) {
  TempHome home;                                   // no user default turns verbose logging on
  const bool verbose = IsVerboseLoggingEnabled();  // only the environment could
  class CountedObject : public Object {
  public:
    std::string description() const override {
      ++described;
      return "object";
    }
    mutable int described = 0;
  };
  auto journal = std::make_shared<Journal>();
  auto object = std::make_shared<CountedObject>();
  const auto logEveryLevel = [&](GTMLogger& logger) {
    logger.logDebug("debug %d", 1);
    logger.logInfo("info %@", "text");
    logger.logError("error");
    logger.logDebug("debug %@", object);
  };

  auto formatter = std::make_shared<RecordingFormatter>(journal);
  auto writer = std::make_shared<RecordingWriter>("writer", journal);
  logEveryLevel(*GTMLogger::loggerWithWriterFormatterFilter(writer, formatter, std::make_shared<GTMLogLevelFilter>()));
  const std::vector<GTMLogLevel> everyCall{1, 2, 3, 1};
  std::vector<GTMLogLevel> levels;
  for (const FormatterCall& call : formatter->calls) levels.push_back(call.level);
  EXPECT_EQ(levels, everyCall);
  EXPECT_EQ(writer->received().back(), (Delivery{"writer", "error", 3}));
  EXPECT_EQ(writer->received().size(), verbose ? 2u : 1u);
  EXPECT_EQ(object->described, 1);

  auto filter = std::make_shared<RecordingFilter>(journal);
  filter->allow = false;
  for (const auto& own : std::vector<std::shared_ptr<GTMLogFormatter>>{std::make_shared<GTMLogBasicFormatter>(),
                                                                       std::make_shared<GTMLogStandardFormatter>()}) {
    const std::size_t before = journal->entries().size();
    logEveryLevel(*GTMLogger::loggerWithWriterFormatterFilter(writer, own, filter));
    std::vector<Delivery> seen = journal->entries();
    seen.erase(seen.begin(), seen.begin() + static_cast<std::ptrdiff_t>(before));
    ASSERT_EQ(seen.size(), everyCall.size());
    for (std::size_t i = 0; i < seen.size(); ++i) {
      EXPECT_EQ(seen[i].writer, "filter");
      EXPECT_EQ(seen[i].level, everyCall[i]);
    }
    EXPECT_NE(seen[0].message.find("debug 1"), std::string::npos) << "the filter judges the finished text";
  }
  EXPECT_EQ(object->described, 3);

  // Both stages the framework's own: an object argument is still described
  // before its message is dropped; anything else is not formatted at all.
  auto standard = GTMLogger::loggerWithWriterFormatterFilter(writer, std::make_shared<GTMLogStandardFormatter>(),
                                                             std::make_shared<GTMLogLevelFilter>());
  logEveryLevel(*standard);
  EXPECT_EQ(object->described, 4);
  EXPECT_EQ(writer->received().size(), verbose ? 4u : 2u);
}

TEST(GTMLogger, LevelOperationsPassTheirLevelAndFunctionName) {
  auto formatter = std::make_shared<RecordingFormatter>();
  auto writer = std::make_shared<RecordingWriter>();
  auto logger = GTMLogger::loggerWithWriterFormatterFilter(writer, formatter, nullptr);
  logger->logDebug("d");
  logger->logInfo("i");
  logger->logError("e");
  logger->logAssert("a");
  logger->logFuncDebug("fd", "d");
  logger->logFuncInfo("fi", "i");
  logger->logFuncError("fe", "e");
  logger->logFuncAssert("fa", "a");
  logger->logFuncError(nullptr, "none");
  logger->logFuncError("bad\xff\xfeutf8", "invalid");
  const std::vector<FormatterCall> expected{
      {std::nullopt, "d", 1},
      {std::nullopt, "i", 2},
      {std::nullopt, "e", 3},
      {std::nullopt, "a", 4},
      {"fd", "d", 1},
      {"fi", "i", 2},
      {"fe", "e", 3},
      {"fa", "a", 4},
      {std::nullopt, "none", 3},
      {std::nullopt, "invalid", 3},
  };
  EXPECT_EQ(formatter->calls, expected);
  EXPECT_EQ(writer->received().size(), expected.size()) << "the default filter passes every level";
}

TEST(GTMLogger, RuntimeFormatThatDoesNotFitItsArgumentsGivesNoMessage) {
  auto writer = std::make_shared<RecordingWriter>();
  auto logger = GTMLogger::loggerWithWriterFormatterFilter(writer, nullptr, nullptr);
  logger->logError(GTMRuntimeFormat{"%d and %d"}, 1);
  logger->logError(GTMRuntimeFormat{"%s"}, 2);
  EXPECT_TRUE(writer->received().empty());
  logger->logError(GTMRuntimeFormat{"%d and %d"}, 1, 2);
  EXPECT_EQ(writer->received(), (std::vector<Delivery>{{"writer", "1 and 2", 3}}));

  // The standard formatter still makes a whole line, with "(null)" for the text.
  logger->setFormatter(std::make_shared<GTMLogStandardFormatter>());
  logger->logFuncError("f", GTMRuntimeFormat{"%@"}, 3.0);
  const auto parts = parseStandardLine(writer->received().back().message);
  ASSERT_TRUE(parts);
  EXPECT_EQ(parts->message, "(null)");
}

TEST(GTMLogger, PlainLoggerWritesBasicMessagesToStandardOutputAtEveryLevel) {
  auto plain = GTMLogger::logger();
  auto fromNones = GTMLogger::loggerWithWriterFormatterFilter(nullptr, nullptr, nullptr);
  // Absent set in place of components: the defaults again, and the replaced
  // ones are let go.
  auto writer = std::make_shared<RecordingWriter>();
  auto reset = GTMLogger::loggerWithWriterFormatterFilter(writer, std::make_shared<GTMLogStandardFormatter>(),
                                                          std::make_shared<GTMLogLevelFilter>());
  reset->setWriter(nullptr);
  reset->setFormatter(nullptr);
  reset->setFilter(nullptr);
  const std::weak_ptr<GTMLogWriter> replaced = writer;
  writer.reset();
  EXPECT_TRUE(replaced.expired());
  for (const auto& logger : {plain, std::make_shared<GTMLogger>(), fromNones, reset}) {
    EXPECT_EQ(logger->writer(), GTMFileHandleLogWriter::fileHandleWithStandardOutput());
    EXPECT_EQ(typeid(*logger->formatter()), typeid(GTMLogBasicFormatter));
    EXPECT_EQ(typeid(*logger->filter()), typeid(GTMLogNoFilter));
  }
  CaptureFd out(STDOUT_FILENO);
  plain->logDebug("debug %d", 1);
  plain->logInfo("info");
  plain->logFuncError("main", "error %@", "50%");
  plain->logAssert("assert");
  EXPECT_EQ(out.text(), "debug 1\ninfo\nerror 50%\nassert\n");
}

TEST(GTMLogger, StandardLoggersPrefixLinesAndDropDebug) {
  {
    CaptureFd out(STDOUT_FILENO);
    auto logger = GTMLogger::standardLogger();
    logger->logDebug("hidden");
    logger->logError("shown");
    logger->logFuncAssert("check", "asserted %d", 4);
    const std::string text = out.text();
    ASSERT_FALSE(text.empty());
    ASSERT_EQ(text.back(), '\n');
    std::vector<std::string> lines;
    for (std::size_t start = 0; start < text.size();) {
      const std::size_t end = text.find('\n', start);
      lines.push_back(text.substr(start, end - start));
      start = end + 1;
    }
    ASSERT_EQ(lines.size(), 2u) << text;
    const auto error = parseStandardLine(lines[0]);
    const auto assertion = parseStandardLine(lines[1]);
    ASSERT_TRUE(error && assertion) << text;
    EXPECT_EQ(error->level, 3);
    EXPECT_EQ(error->func, "(no func)");
    EXPECT_EQ(error->message, "shown");
    EXPECT_EQ(assertion->level, 4);
    EXPECT_EQ(assertion->func, "check");
    EXPECT_EQ(assertion->message, "asserted 4");
  }
  {
    CaptureFd err(STDERR_FILENO);
    auto logger = GTMLogger::standardLoggerWithStderr();
    EXPECT_EQ(logger->writer(), GTMFileHandleLogWriter::fileHandleWithStandardError());
    logger->logDebug("hidden");
    logger->logError("on standard error");
    const std::string text = err.text();
    ASSERT_FALSE(text.empty());
    const auto parts = parseStandardLine(text.substr(0, text.size() - 1));
    ASSERT_TRUE(parts) << text;
    EXPECT_EQ(parts->message, "on standard error");
    EXPECT_EQ(text.find("hidden"), std::string::npos);
  }
}

TEST(GTMLogger, StandardLoggerWithPathAppendsToTheFile) {
  TempDir dir;
  const std::string path = dir / "app.log";
  const mode_t oldMask = ::umask(0);
  auto first = GTMLogger::standardLoggerWithPath(path);
  ::umask(oldMask);
  ASSERT_TRUE(first);
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0644u) << "created with 0644";
  EXPECT_EQ(GTMLogger::standardLoggerWithPath(dir / "no/such/dir.log"), nullptr);
  EXPECT_EQ(GTMLogger::standardLoggerWithPath(std::nullopt), nullptr);

  first->logFuncError("main", "count %d", 5);
  first->logDebug("dropped");
  auto second = GTMLogger::standardLoggerWithPath(path);
  ASSERT_TRUE(second);
  second->logError("from the second logger");
  first->logError("first again");

  const auto lines = readLines(path);
  ASSERT_EQ(lines.size(), 3u);
  const auto one = parseStandardLine(lines[0]);
  ASSERT_TRUE(one) << lines[0];
  EXPECT_EQ(one->level, 3);
  EXPECT_EQ(one->func, "main");
  EXPECT_EQ(one->message, "count 5");
  EXPECT_NE(lines[0].find("[lvl=3] main count 5"), std::string::npos);
  EXPECT_EQ(parseStandardLine(lines[1])->message, "from the second logger");
  EXPECT_EQ(parseStandardLine(lines[2])->message, "first again");
}

TEST(GTMLogger, LoggerAsWriterLogsTheMessageAgainAsAnArgument) {
  auto sink = std::make_shared<RecordingWriter>("sink");
  auto inner = GTMLogger::loggerWithWriterFormatterFilter(sink, std::make_shared<GTMLogStandardFormatter>(),
                                                          std::make_shared<GTMLogLevelFilter>());
  auto outer = GTMLogger::loggerWithWriterFormatterFilter(inner, std::make_shared<GTMLogStandardFormatter>(), nullptr);

  outer->logFuncError("caller", "%d%% of %@", 50, "100% %d %@");
  outer->logDebug("the inner filter drops this");
  outer->logFuncAssert("caller", "asserted");
  const auto received = sink->received();
  ASSERT_EQ(received.size(), 2u);

  const auto line = parseStandardLine(received[0].message);
  ASSERT_TRUE(line) << received[0].message;
  EXPECT_EQ(line->level, 3);
  EXPECT_EQ(line->func, "(no func)");
  const auto outerLine = parseStandardLine(line->message);
  ASSERT_TRUE(outerLine) << line->message;
  EXPECT_EQ(outerLine->level, 3);
  EXPECT_EQ(outerLine->func, "caller");
  EXPECT_EQ(outerLine->message, "50% of 100% %d %@");
  EXPECT_EQ(received[1].level, 4);

  // Levels pass unchanged; any level outside 1 to 4 is dropped.
  auto plainSink = std::make_shared<RecordingWriter>("plain");
  auto plain = GTMLogger::loggerWithWriterFormatterFilter(plainSink, nullptr, nullptr);
  for (const GTMLogLevel level : {0, 1, 2, 3, 4, 5, -1}) plain->logMessageLevel("level %@ message", level);
  EXPECT_EQ(plainSink->received(), (std::vector<Delivery>{{"plain", "level %@ message", 1},
                                                          {"plain", "level %@ message", 2},
                                                          {"plain", "level %@ message", 3},
                                                          {"plain", "level %@ message", 4}}));
}

TEST(GTMLogger, LoggerThatReachesItselfDropsTheMessageThatComesBack) {
  // Directly its own writer: the call returns instead of recursing for ever.
  auto self = GTMLogger::logger();
  self->setWriter(self);
  self->logError("round and round");
  self->setWriter(nullptr);  // breaks the reference cycle

  // Through a composite: the other elements still get the message, once.
  auto sink = std::make_shared<RecordingWriter>("sink");
  auto looped = GTMLogger::logger();
  looped->setWriter(std::make_shared<GTMArrayCompositeLogWriter>(std::vector<std::shared_ptr<Object>>{looped, sink}));
  looped->logError("once");
  looped->logError("twice");
  EXPECT_EQ(sink->received(), (std::vector<Delivery>{{"sink", "once", 3}, {"sink", "twice", 3}}));
  looped->setWriter(nullptr);

  // Through a chain of two loggers that write to each other.
  auto sinkA = std::make_shared<RecordingWriter>("a");
  auto sinkB = std::make_shared<RecordingWriter>("b");
  auto a = GTMLogger::logger();
  auto b = GTMLogger::logger();
  a->setWriter(std::make_shared<GTMArrayCompositeLogWriter>(std::vector<std::shared_ptr<Object>>{b, sinkA}));
  b->setWriter(std::make_shared<GTMArrayCompositeLogWriter>(std::vector<std::shared_ptr<Object>>{a, sinkB}));
  a->logError("chained");
  EXPECT_EQ(sinkA->received(), (std::vector<Delivery>{{"a", "chained", 3}}));
  EXPECT_EQ(sinkB->received(), (std::vector<Delivery>{{"b", "chained", 3}}));
  a->setWriter(nullptr);
  b->setWriter(nullptr);

  // A failure on the way out leaves the guard clear for the next message.
  auto failing = std::make_shared<RecordingWriter>("failing");
  failing->failWith(EIO);
  auto logger = GTMLogger::loggerWithWriterFormatterFilter(failing, nullptr, nullptr);
  EXPECT_THROW(logger->logError("fails"), std::system_error);
  logger->setWriter(sink);
  logger->logError("after the failure");
  EXPECT_EQ(sink->received().back(), (Delivery{"sink", "after the failure", 3}));
}

TEST(GTMLogger, SharedLoggerLifecycle) {
  GTMLogger::setSharedLogger(nullptr);
  const auto first = GTMLogger::sharedLogger();
  ASSERT_TRUE(first);
  EXPECT_EQ(GTMLogger::sharedLogger(), first);
  EXPECT_EQ(typeid(*first->formatter()), typeid(GTMLogStandardFormatter));
  EXPECT_EQ(typeid(*first->filter()), typeid(GTMLogLevelFilter));
  EXPECT_EQ(first->writer(), GTMFileHandleLogWriter::fileHandleWithStandardOutput());

  auto mine = GTMLogger::logger();
  GTMLogger::setSharedLogger(mine);
  EXPECT_EQ(GTMLogger::sharedLogger(), mine);
  std::weak_ptr<GTMLogger> replaced = mine;
  GTMLogger::setSharedLogger(nullptr);
  EXPECT_FALSE(replaced.expired()) << "the caller's reference keeps the old shared logger";
  mine.reset();
  EXPECT_TRUE(replaced.expired());

  const auto fresh = GTMLogger::sharedLogger();
  ASSERT_TRUE(fresh);
  EXPECT_NE(fresh, first);
  EXPECT_EQ(typeid(*fresh->formatter()), typeid(GTMLogStandardFormatter));
  GTMLogger::setSharedLogger(nullptr);
}

}  // namespace
}  // namespace cw::test

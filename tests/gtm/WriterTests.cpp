#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <thread>

#include "gtm/GTMTestHelpers.h"

namespace cw::test {
namespace {

bool descriptorIsOpen(int fd) {
  return ::fcntl(fd, F_GETFD) != -1;
}

mode_t permissionsOf(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
  return st.st_mode & 07777;
}

class ScopedUmask {
public:
  explicit ScopedUmask(mode_t mask) : old_(::umask(mask)) {}
  ~ScopedUmask() { ::umask(old_); }

private:
  mode_t old_;
};

TEST(GTMFileHandleLogWriter, EachMessageIsWrittenWithOneLineFeed) {
  TempDir dir;
  const std::string path = dir / "lines.log";
  auto handle = GTMFileHandleLogWriter::fileHandleForLoggingAtPathMode(path, 0644);
  ASSERT_TRUE(handle);
  handle->logMessageLevel("first", GTMLogLevelDebug);
  handle->logMessageLevel("", GTMLogLevelError);
  handle->logMessageLevel("ends in a line feed\n", GTMLogLevelInfo);
  handle->logMessageLevel("Grüße, 日本語 and 🙂", GTMLogLevelAssert);
  handle->logMessageLevel("first", GTMLogLevelError);
  // The level adds nothing: the debug and the error "first" are the same bytes.
  EXPECT_EQ(readFile(path),
            "first\n\nends in a line feed\n\n"
            "Gr\xC3\xBC\xC3\x9F"
            "e, \xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E and \xF0\x9F\x99\x82\nfirst\n");
}

TEST(GTMFileHandleLogWriter, OpensForAppendingAndCreatesWithTheMode) {
  TempDir dir;
  const ScopedUmask noMask(0);

  const std::string fresh = dir / "fresh.log";
  auto handle = GTMFileHandleLogWriter::fileHandleForLoggingAtPathMode(fresh, 0644);
  ASSERT_TRUE(handle);
  EXPECT_EQ(permissionsOf(fresh), 0644u);
  EXPECT_EQ(::fcntl(handle->fileDescriptor(), F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);

  const std::string existing = dir / "existing.log";
  writeFile(existing, "kept line\n", 0600);
  handle = GTMFileHandleLogWriter::fileHandleForLoggingAtPathMode(existing, 0644);
  ASSERT_TRUE(handle);
  handle->logMessageLevel("appended", GTMLogLevelError);
  EXPECT_EQ(readFile(existing), "kept line\nappended\n");
  EXPECT_EQ(permissionsOf(existing), 0600u) << "an existing file keeps its mode";

  // Two handles on one path: neither overwrites the other's lines.
  const std::string shared = dir / "shared.log";
  auto one = GTMFileHandleLogWriter::fileHandleForLoggingAtPathMode(shared, 0644);
  auto two = GTMFileHandleLogWriter::fileHandleForLoggingAtPathMode(shared, 0644);
  ASSERT_TRUE(one && two);
  one->logMessageLevel("one a", GTMLogLevelError);
  two->logMessageLevel("two a", GTMLogLevelError);
  one->logMessageLevel("one b", GTMLogLevelError);
  EXPECT_EQ(readFile(shared), "one a\ntwo a\none b\n");
}

TEST(GTMFileHandleLogWriter, AbsentWhenThePathCannotBeOpened) {
  TempDir dir;
  EXPECT_EQ(GTMFileHandleLogWriter::fileHandleForLoggingAtPathMode(dir / "missing/dir/x.log", 0644), nullptr);
  EXPECT_FALSE(pathExists(dir / "missing"));
  EXPECT_EQ(GTMFileHandleLogWriter::fileHandleForLoggingAtPathMode(std::nullopt, 0644), nullptr);
  EXPECT_EQ(GTMFileHandleLogWriter::fileHandleForLoggingAtPathMode("", 0644), nullptr);
  EXPECT_EQ(GTMFileHandleLogWriter::fileHandleForLoggingAtPathMode(dir.path(), 0644), nullptr) << "a directory";
  // The part before a NUL byte must not be opened in its place.
  EXPECT_EQ(GTMFileHandleLogWriter::fileHandleForLoggingAtPathMode(dir / std::string("cut\0.log", 8), 0644), nullptr);
  EXPECT_FALSE(pathExists(dir / "cut"));
}

TEST(GTMFileHandleLogWriter, LastReferenceClosesTheDescriptorButStandardHandlesNeverClose) {
  TempDir dir;
  auto handle = GTMFileHandleLogWriter::fileHandleForLoggingAtPathMode(dir / "closed.log", 0644);
  ASSERT_TRUE(handle);
  const int fd = handle->fileDescriptor();
  auto logger = GTMLogger::loggerWithWriterFormatterFilter(handle, nullptr, nullptr);
  handle.reset();
  EXPECT_TRUE(descriptorIsOpen(fd)) << "the logger still holds the handle";
  logger.reset();
  EXPECT_FALSE(descriptorIsOpen(fd));

  const int borrowed = ::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
  std::make_shared<GTMFileHandleLogWriter>(borrowed, false).reset();
  EXPECT_TRUE(descriptorIsOpen(borrowed)) << "a handle without close-on-destruction closed its descriptor";
  ::close(borrowed);

  auto out = GTMFileHandleLogWriter::fileHandleWithStandardOutput();
  auto err = GTMFileHandleLogWriter::fileHandleWithStandardError();
  EXPECT_EQ(out->fileDescriptor(), STDOUT_FILENO);
  EXPECT_EQ(err->fileDescriptor(), STDERR_FILENO);
  EXPECT_EQ(out, GTMFileHandleLogWriter::fileHandleWithStandardOutput());
  out.reset();
  err.reset();
  EXPECT_TRUE(descriptorIsOpen(STDOUT_FILENO));
  EXPECT_TRUE(descriptorIsOpen(STDERR_FILENO));

  CaptureFd captured(STDERR_FILENO);
  GTMFileHandleLogWriter::fileHandleWithStandardError()->logMessageLevel("to standard error", GTMLogLevelError);
  EXPECT_EQ(captured.text(), "to standard error\n");
}

TEST(GTMFileHandleLogWriter, FailedWriteThrowsAndReleasesTheLock) {
  auto handle = GTMFileHandleLogWriter::fileHandleForLoggingAtPathMode("/dev/full", 0644);
  ASSERT_TRUE(handle);
  try {
    handle->logMessageLevel("no space", GTMLogLevelError);
    ADD_FAILURE() << "a write to /dev/full did not throw";
  } catch (const std::system_error& e) {
    EXPECT_EQ(e.code().value(), ENOSPC);
  }
  // Another thread can take the handle's lock again: it was not left held.
  bool threwAgain = false;
  std::thread([&] {
    try {
      handle->logMessageLevel("again", GTMLogLevelError);
    } catch (const std::system_error&) {
      threwAgain = true;
    }
  }).join();
  EXPECT_TRUE(threwAgain);
}

TEST(GTMArrayCompositeLogWriter, DeliversInOrderWithDuplicatesAndSkipsNonWriters) {
  auto journal = std::make_shared<Journal>();
  auto a = std::make_shared<RecordingWriter>("a", journal);
  auto b = std::make_shared<RecordingWriter>("b", journal);
  auto c = std::make_shared<RecordingWriter>("c", journal);
  GTMArrayCompositeLogWriter composite({a, std::make_shared<Object>(), b, nullptr, c, a});
  composite.logMessageLevel("hello %@", GTMLogLevelInfo);
  composite.logMessageLevel("bye", 7);
  const std::vector<Delivery> expected{
      {"a", "hello %@", 2}, {"b", "hello %@", 2}, {"c", "hello %@", 2}, {"a", "hello %@", 2},
      {"a", "bye", 7},      {"b", "bye", 7},      {"c", "bye", 7},      {"a", "bye", 7},
  };
  EXPECT_EQ(journal->entries(), expected);

  GTMArrayCompositeLogWriter empty;
  empty.logMessageLevel("nobody hears this", GTMLogLevelError);
  GTMArrayCompositeLogWriter onlyObjects({std::make_shared<Object>(), std::make_shared<GTMLogNoFilter>()});
  onlyObjects.logMessageLevel("nor this", GTMLogLevelError);
  EXPECT_EQ(journal->entries().size(), expected.size());
}

TEST(GTMArrayCompositeLogWriter, NestsCompositesFileHandlesAndLoggers) {
  TempDir dir;
  auto journal = std::make_shared<Journal>();
  auto first = std::make_shared<RecordingWriter>("first", journal);
  auto inner1 = std::make_shared<RecordingWriter>("inner1", journal);
  auto inner2 = std::make_shared<RecordingWriter>("inner2", journal);
  auto last = std::make_shared<RecordingWriter>("last", journal);
  auto file = GTMFileHandleLogWriter::fileHandleForLoggingAtPathMode(dir / "nested.log", 0644);
  auto viaLogger = std::make_shared<RecordingWriter>("viaLogger", journal);
  auto logger = GTMLogger::loggerWithWriterFormatterFilter(viaLogger, nullptr, nullptr);
  auto inner = std::make_shared<GTMArrayCompositeLogWriter>(std::vector<std::shared_ptr<Object>>{inner1, inner2});
  GTMArrayCompositeLogWriter outer({first, inner, file, logger, last});

  outer.logMessageLevel("50% done", GTMLogLevelError);
  const std::vector<Delivery> expected{{"first", "50% done", 3},
                                       {"inner1", "50% done", 3},
                                       {"inner2", "50% done", 3},
                                       {"viaLogger", "50% done", 3},
                                       {"last", "50% done", 3}};
  EXPECT_EQ(journal->entries(), expected);
  EXPECT_EQ(readFile(dir / "nested.log"), "50% done\n");
}

TEST(GTMArrayCompositeLogWriter, RaisingElementEndsThePass) {
  auto journal = std::make_shared<Journal>();
  auto before = std::make_shared<RecordingWriter>("before", journal);
  auto failing = std::make_shared<RecordingWriter>("failing", journal);
  auto after = std::make_shared<RecordingWriter>("after", journal);
  failing->failWith(EIO);
  auto composite =
      std::make_shared<GTMArrayCompositeLogWriter>(std::vector<std::shared_ptr<Object>>{before, failing, after});
  EXPECT_THROW(composite->logMessageLevel("m", GTMLogLevelError), std::system_error);
  EXPECT_EQ(journal->entries(), (std::vector<Delivery>{{"before", "m", 3}}));

  // The composite's lock was released: another thread gets through it.
  std::thread([&] { EXPECT_THROW(composite->logMessageLevel("n", GTMLogLevelError), std::system_error); }).join();
  EXPECT_EQ(journal->entries().size(), 2u);
}

}  // namespace
}  // namespace cw::test

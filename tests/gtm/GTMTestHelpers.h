#pragma once

#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "GTM/GTMLogger.h"
#include "support/TestSupport.h"

namespace cw::test {

// One delivered message.
struct Delivery {
  std::string writer;
  std::string message;
  GTMLogLevel level;
  bool operator==(const Delivery&) const = default;
};

// Shared, ordered record of the messages several writers received.
class Journal {
public:
  void add(Delivery delivery);
  std::vector<Delivery> entries() const;

private:
  mutable std::mutex mutex_;
  std::vector<Delivery> entries_;
};

// A writer that records what it receives; it can be made to throw instead.
class RecordingWriter : public GTMLogWriter {
public:
  explicit RecordingWriter(std::string name = "writer", std::shared_ptr<Journal> journal = nullptr);
  void logMessageLevel(std::string_view message, GTMLogLevel level) override;
  std::vector<Delivery> received() const;
  void failWith(int error) { failure_ = error; }

private:
  std::string name_;
  std::shared_ptr<Journal> journal_;
  std::vector<Delivery> own_;
  mutable std::mutex mutex_;
  int failure_ = 0;
};

// Redirects descriptor 1 or 2 into a file for the scope; text() reads it.
class CaptureFd {
public:
  explicit CaptureFd(int fd);
  ~CaptureFd();
  CaptureFd(const CaptureFd&) = delete;
  CaptureFd& operator=(const CaptureFd&) = delete;
  std::string text() const;

private:
  TempDir dir_;
  int fd_;
  int saved_ = -1;
};

// Lines of a file, each without its line feed; a last line without one is
// returned with the marker "<unterminated>" appended.
std::vector<std::string> readLines(const std::string& path);

// Runs this test binary again with only the given test and the environment
// changes (a value of nullopt removes the variable). The child's standard
// output and its exit status.
struct ChildResult {
  int status = -1;
  std::string output;
};
ChildResult runThisBinary(const std::string& gtestFilter,
                          const std::map<std::string, std::optional<std::string>>& environment);

// The parts of a standard formatter's line.
struct StandardLine {
  std::string date;
  std::string process;
  long pid = 0;
  std::string thread;
  int level = 0;
  std::string func;
  std::string message;
};
std::optional<StandardLine> parseStandardLine(const std::string& line);

// The current local time as "yyyy-MM-dd HH:mm:ss.SSS", rendered independently
// of the framework.
std::string localTimestampNow();
// This thread's id as "%p" prints it.
std::string currentThreadText();

}  // namespace cw::test

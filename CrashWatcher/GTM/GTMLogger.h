#pragma once

// The logging framework: a logger with an exchangeable formatter, filter and
// writer, a process-wide shared logger, and writers for file descriptors and
// for lists of writers. It depends on the platform layer only.

#include <sys/types.h>

#include <atomic>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "Platform/CheckedFormat.h"
#include "Platform/Format.h"
#include "Platform/Object.h"
#include "Platform/UniqueFd.h"

namespace cw {

using GTMLogLevel = std::int32_t;

inline constexpr GTMLogLevel GTMLogLevelDebug = 1;
inline constexpr GTMLogLevel GTMLogLevelInfo = 2;
inline constexpr GTMLogLevel GTMLogLevelError = 3;
inline constexpr GTMLogLevel GTMLogLevelAssert = 4;

// ---------------------------------------------------------------------------
// Component interfaces. Each is an Object, so that a composite writer can hold
// any object and find its writers by a type test.

class GTMLogFormatter : public Object {
public:
  // The message text for one call, or absent when none can be made. The
  // arguments are read once; the function name is absent when none was given.
  virtual std::optional<std::string> stringForFuncWithFormatValistLevel(std::optional<std::string_view> func,
                                                                        std::string_view format, FormatArgs valist,
                                                                        GTMLogLevel level) = 0;
};

class GTMLogFilter : public Object {
public:
  // True lets the formatted message go on to the writer.
  virtual bool filterAllowsMessageLevel(std::string_view message, GTMLogLevel level) = 0;
};

class GTMLogWriter : public Object {
public:
  // Stores one formatted message (without a line end).
  virtual void logMessageLevel(std::string_view message, GTMLogLevel level) = 0;
};

// ---------------------------------------------------------------------------
// Formatters and filters.

// The formatted text alone; the function name and the level are not used.
class GTMLogBasicFormatter : public GTMLogFormatter {
public:
  std::optional<std::string> stringForFuncWithFormatValistLevel(std::optional<std::string_view> func,
                                                                std::string_view format, FormatArgs valist,
                                                                GTMLogLevel level) override;
};

class GTMLogDateFormatter;

// "date pname[pid/thread] [lvl=N] func message", the date in local time as
// "yyyy-MM-dd HH:mm:ss.SSS". Name and id of the process are taken once, here.
class GTMLogStandardFormatter : public GTMLogBasicFormatter {
public:
  GTMLogStandardFormatter();
  ~GTMLogStandardFormatter() override;

  std::optional<std::string> stringForFuncWithFormatValistLevel(std::optional<std::string_view> func,
                                                                std::string_view format, FormatArgs valist,
                                                                GTMLogLevel level) override;
  // The same line, appended to out: no allocation once out has room.
  void appendLine(std::string& out, std::optional<std::string_view> func, std::string_view format, FormatArgs valist,
                  GTMLogLevel level);

private:
  std::unique_ptr<GTMLogDateFormatter> dateFormatter_;
  std::string pname_;
  std::int32_t pid_;
  std::string processText_;  // "pname[pid/", made once
};

// Drops debug messages, passes info messages only with verbose logging on, and
// passes every other level.
class GTMLogLevelFilter : public GTMLogFilter {
public:
  bool filterAllowsMessageLevel(std::string_view message, GTMLogLevel level) override;
};

class GTMLogNoFilter : public GTMLogFilter {
public:
  bool filterAllowsMessageLevel(std::string_view message, GTMLogLevel level) override;
};

// Whether info messages are wanted: the environment variable
// "GTMVerboseLogging" read as a number (kept for the rest of the process once
// found, even when empty); when it is unset or empty, the user default of the
// same name.
bool IsVerboseLoggingEnabled();

// ---------------------------------------------------------------------------
// Writers.

// A file handle: a descriptor and whether the handle closes it when destroyed.
// As a writer it appends each message and a line feed in one locked write.
class GTMFileHandleLogWriter : public GTMLogWriter {
public:
  // A handle over fd; with closeOnDealloc the handle owns and closes it.
  GTMFileHandleLogWriter(int fd, bool closeOnDealloc);
  explicit GTMFileHandleLogWriter(UniqueFd fd);
  ~GTMFileHandleLogWriter() override;
  GTMFileHandleLogWriter(const GTMFileHandleLogWriter&) = delete;
  GTMFileHandleLogWriter& operator=(const GTMFileHandleLogWriter&) = delete;

  // Process-wide handles over descriptors 1 and 2; they never close them.
  static std::shared_ptr<GTMFileHandleLogWriter> fileHandleWithStandardOutput();
  static std::shared_ptr<GTMFileHandleLogWriter> fileHandleWithStandardError();

  // Opens path write-only, appending, created with mode (less the umask) when
  // missing. Absent for an absent path or when open fails.
  static std::shared_ptr<GTMFileHandleLogWriter> fileHandleForLoggingAtPathMode(std::optional<std::string_view> path,
                                                                                mode_t mode);

  int fileDescriptor() const { return fd_.get(); }

  // Writes all bytes under the handle's lock, retrying partial writes and
  // interruptions. Throws std::system_error once the lock is released.
  void writeData(std::string_view bytes);

  void logMessageLevel(std::string_view message, GTMLogLevel level) override;
  std::string description() const override;

private:
  UniqueFd fd_;
  bool closeOnDealloc_;
  std::recursive_mutex lock_;
};

// Hands each message to its elements in order, skipping those that are not
// writers. The elements are fixed at construction, so a pass never sees the
// list change.
class GTMArrayCompositeLogWriter : public GTMLogWriter {
public:
  explicit GTMArrayCompositeLogWriter(std::vector<std::shared_ptr<Object>> elements = {});

  const std::vector<std::shared_ptr<Object>>& elements() const { return elements_; }

  // A failure raised by an element ends the pass and goes on to the caller.
  void logMessageLevel(std::string_view message, GTMLogLevel level) override;

private:
  std::recursive_mutex lock_;
  const std::vector<std::shared_ptr<Object>> elements_;
};

// ---------------------------------------------------------------------------
// Format strings checked at compile time.

// True when a format fits the argument types, as the log operations check it.
template <typename... Args>
constexpr bool GTMLogFormatMatches(std::string_view format) {
  return formatMatchesArguments<Args...>(format);
}

// A format known only at run time; it is checked as it is used, and a format
// that does not fit its arguments gives no message.
using GTMRuntimeFormat = RuntimeFormat;

// The format of a log call. A constant format is checked against the
// argument types at compile time; a GTMRuntimeFormat passes unchecked.
template <typename... Args>
using GTMLogFormatString = CheckedFormatString<Args...>;

template <typename... Args>
using GTMLogFormat = GTMLogFormatString<std::type_identity_t<Args>...>;

// ---------------------------------------------------------------------------
// The logger.

namespace gtm_detail {

// A shared reference that may be replaced while other threads take counted
// copies of it. std::atomic<std::shared_ptr> of g++ 12 releases its internal
// lock with relaxed order after a load, a data race under the memory model
// that ThreadSanitizer reports; this holds the same short lock as a mutex.
template <typename T>
class SharedRef {
public:
  std::shared_ptr<T> load() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return value_;
  }
  // Stores value and hands back the previous one, to be let go by the caller
  // outside every lock.
  [[nodiscard]] std::shared_ptr<T> exchange(std::shared_ptr<T> value) {
    std::lock_guard<std::mutex> guard(mutex_);
    value_.swap(value);
    return value;
  }

private:
  mutable std::mutex mutex_;
  std::shared_ptr<T> value_;
};

}  // namespace gtm_detail

class GTMLogger : public GTMLogWriter {
public:
  // The process-wide logger, a standard logger made on first use.
  static std::shared_ptr<GTMLogger> sharedLogger();
  // Absent makes the next sharedLogger() create a new standard logger.
  static void setSharedLogger(std::shared_ptr<GTMLogger> logger);

  // Standard output, GTMLogStandardFormatter, GTMLogLevelFilter.
  static std::shared_ptr<GTMLogger> standardLogger();
  static std::shared_ptr<GTMLogger> standardLoggerWithStderr();
  // Appends to the file (created 0644); absent when it cannot be opened.
  static std::shared_ptr<GTMLogger> standardLoggerWithPath(std::optional<std::string_view> path);
  static std::shared_ptr<GTMLogger> loggerWithWriterFormatterFilter(std::shared_ptr<GTMLogWriter> writer,
                                                                    std::shared_ptr<GTMLogFormatter> formatter,
                                                                    std::shared_ptr<GTMLogFilter> filter);
  static std::shared_ptr<GTMLogger> logger();

  // init: standard output, a basic formatter and no filter.
  GTMLogger();
  // initWithWriterFormatterFilter: absent components get those defaults.
  GTMLogger(std::shared_ptr<GTMLogWriter> writer, std::shared_ptr<GTMLogFormatter> formatter,
            std::shared_ptr<GTMLogFilter> filter);
  // Gives up the writer, the formatter and the filter, in this order.
  ~GTMLogger() override;
  GTMLogger(const GTMLogger&) = delete;
  GTMLogger& operator=(const GTMLogger&) = delete;

  std::shared_ptr<GTMLogWriter> writer() const { return components_.load()->writer; }
  std::shared_ptr<GTMLogFormatter> formatter() const { return components_.load()->formatter; }
  std::shared_ptr<GTMLogFilter> filter() const { return components_.load()->filter; }

  // Absent puts the default in place. A replaced component lives on while a
  // call on another thread still uses it.
  void setWriter(std::shared_ptr<GTMLogWriter> writer);
  void setFormatter(std::shared_ptr<GTMLogFormatter> formatter);
  void setFilter(std::shared_ptr<GTMLogFilter> filter);

  template <typename... Args>
  void logDebug(GTMLogFormat<Args...> format, const Args&... args) {
    logPacked(nullptr, format.get(), GTMLogLevelDebug, args...);
  }
  template <typename... Args>
  void logInfo(GTMLogFormat<Args...> format, const Args&... args) {
    logPacked(nullptr, format.get(), GTMLogLevelInfo, args...);
  }
  template <typename... Args>
  void logError(GTMLogFormat<Args...> format, const Args&... args) {
    logPacked(nullptr, format.get(), GTMLogLevelError, args...);
  }
  template <typename... Args>
  void logAssert(GTMLogFormat<Args...> format, const Args&... args) {
    logPacked(nullptr, format.get(), GTMLogLevelAssert, args...);
  }

  // func: the calling function's name as zero-terminated UTF-8, or nullptr.
  template <typename... Args>
  void logFuncDebug(const char* func, GTMLogFormat<Args...> format, const Args&... args) {
    logPacked(func, format.get(), GTMLogLevelDebug, args...);
  }
  template <typename... Args>
  void logFuncInfo(const char* func, GTMLogFormat<Args...> format, const Args&... args) {
    logPacked(func, format.get(), GTMLogLevelInfo, args...);
  }
  template <typename... Args>
  void logFuncError(const char* func, GTMLogFormat<Args...> format, const Args&... args) {
    logPacked(func, format.get(), GTMLogLevelError, args...);
  }
  template <typename... Args>
  void logFuncAssert(const char* func, GTMLogFormat<Args...> format, const Args&... args) {
    logPacked(func, format.get(), GTMLogLevelAssert, args...);
  }

  // As a writer of another logger: levels 1 to 4 are logged again with "%@"
  // and the message as its argument; other levels are dropped.
  void logMessageLevel(std::string_view message, GTMLogLevel level) override;

private:
  // The three components, replaced together so that a call reads them with
  // one load; route tells which of the framework's own classes they are.
  struct Components {
    Components(std::shared_ptr<GTMLogWriter> w, std::shared_ptr<GTMLogFormatter> fo, std::shared_ptr<GTMLogFilter> fi);
    // Gives up the writer, the formatter and the filter, in this order.
    ~Components();
    std::shared_ptr<GTMLogWriter> writer;
    std::shared_ptr<GTMLogFormatter> formatter;
    std::shared_ptr<GTMLogFilter> filter;
    unsigned route;
  };
  // Stores the components that edit makes of the current ones.
  template <typename Edit>
  void replaceComponents(Edit edit);

  template <typename... Args>
  void logPacked(const char* func, std::string_view format, GTMLogLevel level, const Args&... args) {
    const FormatArg packed[] = {FormatArg(args)..., FormatArg(nullptr)};
    logInternalFuncFormatValistLevel(func, format, FormatArgs(packed, sizeof...(Args)), level);
  }

  // Formats, filters and writes one message, without taking the logger's lock.
  void logInternalFuncFormatValistLevel(const char* func, std::string_view format, FormatArgs valist,
                                        GTMLogLevel level);

  std::recursive_mutex lock_;
  gtm_detail::SharedRef<const Components> components_;
  // components_'s route, readable without a lock: a message that is certain
  // to be dropped costs no more than reading it.
  std::atomic<unsigned> route_{0};
};

}  // namespace cw

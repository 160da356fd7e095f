#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <ctime>
#include <system_error>
#include <typeinfo>

#include "GTM/GTMLogger.h"
#include "GTMLogSupport.h"
#include "Platform/Posix.h"
#include "Platform/UserDefaults.h"
#include "Platform/Utf8.h"

namespace cw {

using gtm_detail::levelFilterAllows;

// ---------------------------------------------------------------------------
// Formatters and filters.

std::optional<std::string> GTMLogBasicFormatter::stringForFuncWithFormatValistLevel(std::optional<std::string_view>,
                                                                                    std::string_view format,
                                                                                    FormatArgs valist, GTMLogLevel) {
  return formatWithArgs(format, valist);
}

// Renders a time as "yyyy-MM-dd HH:mm:ss.SSS" in the local time zone. The
// text up to the seconds is kept and made again only when the second changes.
// Not thread-safe: callers hold lock().
class GTMLogDateFormatter {
public:
  std::recursive_mutex& lock() { return lock_; }

  // Writes the text into out, which has room for kMaxLength bytes, and
  // returns its length.
  static constexpr std::size_t kMaxLength = 48;
  std::size_t stringFromDate(const timespec& date, char* out) {
    if (date.tv_sec != renderedSecond_ || secondText_.empty()) {
      tm local{};
      if (!::localtime_r(&date.tv_sec, &local)) ::gmtime_r(&date.tv_sec, &local);
      secondText_ = format("%04d-%02d-%02d %02d:%02d:%02d", local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
                           local.tm_hour, local.tm_min, local.tm_sec)
                        .value_or(std::string());
      renderedSecond_ = date.tv_sec;
    }
    const long millis = date.tv_nsec / 1000000;
    const std::size_t length = secondText_.copy(out, kMaxLength - 4);
    out[length] = '.';
    out[length + 1] = static_cast<char>('0' + millis / 100);
    out[length + 2] = static_cast<char>('0' + millis / 10 % 10);
    out[length + 3] = static_cast<char>('0' + millis % 10);
    return length + 4;
  }

private:
  std::recursive_mutex lock_;
  time_t renderedSecond_ = 0;
  std::string secondText_;
};

namespace {

// This thread's identifier as "%p" renders it, made once per thread.
std::string_view currentThreadText() {
  struct Cached {
    bool ready = false;
    unsigned char length = 0;
    char text[32];
  };
  thread_local Cached cached;
  if (!cached.ready) {
    const std::string text = format("%p", reinterpret_cast<const void*>(::pthread_self())).value_or(std::string());
    cached.length = static_cast<unsigned char>(text.copy(cached.text, sizeof cached.text));
    cached.ready = true;
  }
  return {cached.text, cached.length};
}

}  // namespace

GTMLogStandardFormatter::GTMLogStandardFormatter()
    : dateFormatter_(std::make_unique<GTMLogDateFormatter>()),
      pname_(program_invocation_short_name ? program_invocation_short_name : ""),
      pid_(static_cast<std::int32_t>(::getpid())),
      processText_(format("%@[%d/", pname_, pid_).value_or(std::string())) {}

GTMLogStandardFormatter::~GTMLogStandardFormatter() {
  dateFormatter_.reset();
  pname_.clear();
}

std::optional<std::string> GTMLogStandardFormatter::stringForFuncWithFormatValistLevel(
    std::optional<std::string_view> func, std::string_view format, FormatArgs valist, GTMLogLevel level) {
  std::string line;
  line.reserve(96 + format.size());
  appendLine(line, func, format, valist, level);
  return line;
}

void GTMLogStandardFormatter::appendLine(std::string& out, std::optional<std::string_view> func,
                                         std::string_view format, FormatArgs valist, GTMLogLevel level) {
  // The line "%@ %@[%d/%p] [lvl=%d] %@ %@": date, process name, pid, thread,
  // level, function, message. The parts that do not change from line to line
  // (process name and id, the thread's text, the date up to the second) are
  // formatted once and kept, so a line costs one formatting of its message.
  char date[GTMLogDateFormatter::kMaxLength];
  std::size_t dateLength;
  {
    std::lock_guard<std::recursive_mutex> guard(dateFormatter_->lock());
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    dateLength = dateFormatter_->stringFromDate(now, date);
  }
  // Everything before the message, written straight into out's room.
  const std::string_view thread = currentThreadText();
  const std::string_view funcText = func ? *func : std::string_view("(no func)");
  constexpr std::string_view kLevelField = "] [lvl=";
  const std::size_t start = out.size();
  out.resize(start + dateLength + 1 + processText_.size() + thread.size() + kLevelField.size() + 16 + funcText.size() +
             1);
  char* p = out.data() + start;
  const auto put = [&p](std::string_view text) { p = std::copy(text.begin(), text.end(), p); };
  put({date, dateLength});
  *p++ = ' ';
  put(processText_);
  put(thread);
  put(kLevelField);
  p = std::to_chars(p, p + 12, level).ptr;
  put("] ");
  put(funcText);
  *p++ = ' ';
  out.resize(static_cast<std::size_t>(p - out.data()));
  const std::size_t messageStart = out.size();
  if (appendFormat(out, format, valist) != FormatStatus::Ok) {
    // An absent message still makes a complete line, with "(null)" in its place.
    out.resize(messageStart);
    out.append("(null)");
  }
}

bool GTMLogLevelFilter::filterAllowsMessageLevel(std::string_view, GTMLogLevel level) {
  return levelFilterAllows(level);
}

bool GTMLogNoFilter::filterAllowsMessageLevel(std::string_view, GTMLogLevel) {
  return true;
}

bool IsVerboseLoggingEnabled() {
  // The environment variable as found once: its text is read with strtol when
  // it is found and the reading kept, so no pointer into the environment is
  // held that a later setenv or putenv could leave dangling.
  enum : int { kNotFound = 0, kEmpty, kZero, kNonZero };
  static std::atomic<int> env{kNotFound};

  int state = env.load(std::memory_order_acquire);
  if (state == kNotFound) {
    if (const char* text = std::getenv("GTMVerboseLogging")) {
      const int found = *text == '\0' ? kEmpty : std::strtol(text, nullptr, 10) != 0 ? kNonZero : kZero;
      // Threads racing on first use all found the same variable; the first
      // reading stays.
      int expected = kNotFound;
      state = env.compare_exchange_strong(expected, found, std::memory_order_acq_rel) ? found : expected;
    }
  }
  if (state == kNonZero) return true;
  if (state == kZero) return false;
  return UserDefaults::standardUserDefaults().boolForKey("GTMVerboseLogging");
}

}  // namespace cw

#include "GTM/GTMLogger.h"

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

#include "Platform/Posix.h"
#include "Platform/UserDefaults.h"
#include "Platform/Utf8.h"

namespace cw {
namespace {

// Storage for process-wide objects that must outlive every thread that may
// still log while the process exits: the value is never destroyed.
template <typename T>
union NeverDestroyed {
  template <typename... Args>
  explicit NeverDestroyed(Args&&... args) : value(std::forward<Args>(args)...) {}
  ~NeverDestroyed() {}
  T value;
};

// The loggers that are delivering a message on this thread, innermost first.
// A logger that is reached again while it delivers (it is, directly or through
// other writers, its own writer) drops the message instead of recursing.
struct ActiveDelivery {
  const GTMLogger* logger;
  const ActiveDelivery* outer;
};
thread_local const ActiveDelivery* tActiveDeliveries = nullptr;

class DeliveryGuard {
public:
  explicit DeliveryGuard(const GTMLogger* logger) : frame_{logger, tActiveDeliveries} {
    for (const ActiveDelivery* d = tActiveDeliveries; d; d = d->outer) {
      if (d->logger == logger) {
        reentered_ = true;
        return;
      }
    }
    tActiveDeliveries = &frame_;
  }
  ~DeliveryGuard() {
    if (!reentered_) tActiveDeliveries = frame_.outer;
  }
  DeliveryGuard(const DeliveryGuard&) = delete;
  DeliveryGuard& operator=(const DeliveryGuard&) = delete;

  bool reentered() const { return reentered_; }

private:
  ActiveDelivery frame_;
  bool reentered_ = false;
};

// Returns 0 when every byte was written, otherwise the errno of the failure.
int writeAll(int fd, std::string_view bytes) {
  return posix::writeAll(fd, bytes) ? 0 : errno;
}

// A per-thread buffer for the line being made, so that a line costs no
// allocation once the buffer has grown to the thread's longest line. A
// nested use on the same thread (a description that logs, a logger as the
// writer of another) gets a buffer of its own.
class ScratchLine {
public:
  ScratchLine() {
    if (!tScratch.busy) {
      tScratch.busy = true;
      text_ = &tScratch.text;
      text_->clear();
    }
  }
  ~ScratchLine() {
    if (text_ != &tScratch.text) return;
    constexpr std::size_t kKeptCapacity = 64 * 1024;  // one huge line should not pin its memory
    if (text_->capacity() > kKeptCapacity) std::string().swap(*text_);
    tScratch.busy = false;
  }
  ScratchLine(const ScratchLine&) = delete;
  ScratchLine& operator=(const ScratchLine&) = delete;

  std::string& text() { return *text_; }

private:
  struct Shared {
    // A thread that logs from a later thread-local destructor finds the
    // buffer busy and uses its own.
    ~Shared() { busy = true; }
    std::string text;
    bool busy = false;
  };
  static thread_local Shared tScratch;
  std::string own_;
  std::string* text_ = &own_;
};
thread_local ScratchLine::Shared ScratchLine::tScratch;

// Which of the framework's own classes a logger's components are, exactly:
// a subclass may override anything, so it counts as foreign.
enum Route : unsigned {
  kBasicFormatter = 1,
  kStandardFormatter = 2,
  kLevelFilter = 4,
  kNoFilter = 8,
  kFileHandleWriter = 16,
};
constexpr unsigned kOwnFormatter = kBasicFormatter | kStandardFormatter;
constexpr unsigned kOwnFilter = kLevelFilter | kNoFilter;

unsigned routeOf(const GTMLogWriter& writer, const GTMLogFormatter& formatter, const GTMLogFilter& filter) {
  unsigned route = 0;
  if (typeid(formatter) == typeid(GTMLogStandardFormatter)) route |= kStandardFormatter;
  if (typeid(formatter) == typeid(GTMLogBasicFormatter)) route |= kBasicFormatter;
  if (typeid(filter) == typeid(GTMLogLevelFilter)) route |= kLevelFilter;
  if (typeid(filter) == typeid(GTMLogNoFilter)) route |= kNoFilter;
  if (typeid(writer) == typeid(GTMFileHandleLogWriter)) route |= kFileHandleWriter;
  return route;
}

// GTMLogLevelFilter's rule: the message text plays no part.
bool levelFilterAllows(GTMLogLevel level) {
  switch (level) {
    case GTMLogLevelDebug:
      return false;
    case GTMLogLevelInfo:
      return IsVerboseLoggingEnabled();
    default:
      return true;
  }
}

// Whether the framework's own filter passes a message of this level.
bool ownFilterPasses(unsigned route, GTMLogLevel level) {
  return (route & kNoFilter) != 0 || levelFilterAllows(level);
}

// An object's description is anyone's code: a message with an object
// argument is formatted before it is filtered, as always.
bool hasObjectArgument(FormatArgs args) {
  for (const FormatArg& arg : args)
    if (arg.kind() == FormatArg::Kind::Object) return true;
  return false;
}

// True when the message is certain to be dropped and formatting it could
// make no difference: the framework's own formatter (its result depends on
// level, format and arguments only) and its own filter (which reads the level
// only), and no argument whose description could run foreign code.
bool droppedUnformatted(unsigned route, GTMLogLevel level, FormatArgs args) {
  return (route & kOwnFormatter) != 0 && (route & kOwnFilter) != 0 && !ownFilterPasses(route, level) &&
         !hasObjectArgument(args);
}

struct SharedLoggerState {
  std::recursive_mutex classLock;
  std::shared_ptr<GTMLogger> gSharedLogger;
};

SharedLoggerState& sharedLoggerState() {
  static NeverDestroyed<SharedLoggerState> state;
  return state.value;
}

}  // namespace

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

// ---------------------------------------------------------------------------
// Writers.

GTMFileHandleLogWriter::GTMFileHandleLogWriter(int fd, bool closeOnDealloc)
    : fd_(fd), closeOnDealloc_(closeOnDealloc) {}

GTMFileHandleLogWriter::GTMFileHandleLogWriter(UniqueFd fd) : fd_(std::move(fd)), closeOnDealloc_(true) {}

GTMFileHandleLogWriter::~GTMFileHandleLogWriter() {
  if (!closeOnDealloc_) (void)fd_.release();
}

std::shared_ptr<GTMFileHandleLogWriter> GTMFileHandleLogWriter::fileHandleWithStandardOutput() {
  static NeverDestroyed<std::shared_ptr<GTMFileHandleLogWriter>> handle(
      std::make_shared<GTMFileHandleLogWriter>(STDOUT_FILENO, false));
  return handle.value;
}

std::shared_ptr<GTMFileHandleLogWriter> GTMFileHandleLogWriter::fileHandleWithStandardError() {
  static NeverDestroyed<std::shared_ptr<GTMFileHandleLogWriter>> handle(
      std::make_shared<GTMFileHandleLogWriter>(STDERR_FILENO, false));
  return handle.value;
}

std::shared_ptr<GTMFileHandleLogWriter> GTMFileHandleLogWriter::fileHandleForLoggingAtPathMode(
    std::optional<std::string_view> path, mode_t mode) {
  if (!path) return nullptr;
  const std::string file(*path);
  // A path with a NUL byte would open a different, shorter path.
  if (file.find('\0') != std::string::npos) return nullptr;
  int fd;
  do {
    fd = ::open(file.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return nullptr;
  return std::make_shared<GTMFileHandleLogWriter>(UniqueFd(fd));
}

void GTMFileHandleLogWriter::writeData(std::string_view bytes) {
  int error;
  {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    error = writeAll(fd_.get(), bytes);
  }
  if (error != 0) throw std::system_error(error, std::generic_category(), "GTMFileHandleLogWriter write");
}

void GTMFileHandleLogWriter::logMessageLevel(std::string_view message, GTMLogLevel) {
  // The line is made before the lock is taken; one write per line keeps the
  // lines of threads sharing this handle whole.
  ScratchLine line;
  line.text().append(message);
  line.text().push_back('\n');
  writeData(line.text());
}

std::string GTMFileHandleLogWriter::description() const {
  return format("<GTMFileHandleLogWriter fd %d>", fd_.get()).value_or(std::string());
}

GTMArrayCompositeLogWriter::GTMArrayCompositeLogWriter(std::vector<std::shared_ptr<Object>> elements)
    : elements_(std::move(elements)) {}

void GTMArrayCompositeLogWriter::logMessageLevel(std::string_view message, GTMLogLevel level) {
  // Held for the whole pass, so every element sees messages in the same order.
  std::lock_guard<std::recursive_mutex> guard(lock_);
  for (const auto& element : elements_) {
    if (auto* writer = dynamic_cast<GTMLogWriter*>(element.get())) writer->logMessageLevel(message, level);
  }
}

// ---------------------------------------------------------------------------
// The logger.

std::shared_ptr<GTMLogger> GTMLogger::sharedLogger() {
  SharedLoggerState& state = sharedLoggerState();
  std::lock_guard<std::recursive_mutex> guard(state.classLock);
  if (!state.gSharedLogger) state.gSharedLogger = standardLogger();
  return state.gSharedLogger;
}

void GTMLogger::setSharedLogger(std::shared_ptr<GTMLogger> logger) {
  SharedLoggerState& state = sharedLoggerState();
  std::shared_ptr<GTMLogger> previous;  // let go after the lock is released
  std::lock_guard<std::recursive_mutex> guard(state.classLock);
  previous = std::exchange(state.gSharedLogger, std::move(logger));
}

std::shared_ptr<GTMLogger> GTMLogger::standardLogger() {
  return loggerWithWriterFormatterFilter(GTMFileHandleLogWriter::fileHandleWithStandardOutput(),
                                         std::make_shared<GTMLogStandardFormatter>(),
                                         std::make_shared<GTMLogLevelFilter>());
}

std::shared_ptr<GTMLogger> GTMLogger::standardLoggerWithStderr() {
  auto logger = standardLogger();
  logger->setWriter(GTMFileHandleLogWriter::fileHandleWithStandardError());
  return logger;
}

std::shared_ptr<GTMLogger> GTMLogger::standardLoggerWithPath(std::optional<std::string_view> path) {
  auto handle = GTMFileHandleLogWriter::fileHandleForLoggingAtPathMode(path, 0644);
  if (!handle) return nullptr;
  auto logger = standardLogger();
  logger->setWriter(std::move(handle));
  return logger;
}

std::shared_ptr<GTMLogger> GTMLogger::loggerWithWriterFormatterFilter(std::shared_ptr<GTMLogWriter> writer,
                                                                      std::shared_ptr<GTMLogFormatter> formatter,
                                                                      std::shared_ptr<GTMLogFilter> filter) {
  return std::make_shared<GTMLogger>(std::move(writer), std::move(formatter), std::move(filter));
}

std::shared_ptr<GTMLogger> GTMLogger::logger() {
  return std::make_shared<GTMLogger>();
}

GTMLogger::Components::Components(std::shared_ptr<GTMLogWriter> w, std::shared_ptr<GTMLogFormatter> fo,
                                  std::shared_ptr<GTMLogFilter> fi)
    : writer(w ? std::move(w) : GTMFileHandleLogWriter::fileHandleWithStandardOutput()),
      formatter(fo ? std::move(fo) : std::make_shared<GTMLogBasicFormatter>()),
      filter(fi ? std::move(fi) : std::make_shared<GTMLogNoFilter>()),
      route(routeOf(*writer, *formatter, *filter)) {}

GTMLogger::Components::~Components() {
  writer.reset();
  formatter.reset();
  filter.reset();
}

GTMLogger::GTMLogger() : GTMLogger(nullptr, nullptr, nullptr) {}

GTMLogger::GTMLogger(std::shared_ptr<GTMLogWriter> writer, std::shared_ptr<GTMLogFormatter> formatter,
                     std::shared_ptr<GTMLogFilter> filter) {
  // As setWriter, setFormatter and setFilter in this order, in one step.
  auto components = std::make_shared<const Components>(std::move(writer), std::move(formatter), std::move(filter));
  route_.store(components->route, std::memory_order_release);
  (void)components_.exchange(std::move(components));
}

GTMLogger::~GTMLogger() {
  (void)components_.exchange(nullptr);
}

template <typename Edit>
void GTMLogger::replaceComponents(Edit edit) {
  std::shared_ptr<const Components> previous;  // dies after the lock, when its last user lets go
  std::lock_guard<std::recursive_mutex> guard(lock_);
  const std::shared_ptr<const Components> current = components_.load();
  std::shared_ptr<GTMLogWriter> writer = current->writer;
  std::shared_ptr<GTMLogFormatter> formatter = current->formatter;
  std::shared_ptr<GTMLogFilter> filter = current->filter;
  edit(writer, formatter, filter);
  auto next = std::make_shared<const Components>(std::move(writer), std::move(formatter), std::move(filter));
  const unsigned route = next->route;
  previous = components_.exchange(std::move(next));
  route_.store(route, std::memory_order_release);
}

void GTMLogger::setWriter(std::shared_ptr<GTMLogWriter> writer) {
  replaceComponents([&](auto& w, auto&, auto&) { w = std::move(writer); });
}

void GTMLogger::setFormatter(std::shared_ptr<GTMLogFormatter> formatter) {
  replaceComponents([&](auto&, auto& fo, auto&) { fo = std::move(formatter); });
}

void GTMLogger::setFilter(std::shared_ptr<GTMLogFilter> filter) {
  replaceComponents([&](auto&, auto&, auto& fi) { fi = std::move(filter); });
}

void GTMLogger::logInternalFuncFormatValistLevel(const char* func, std::string_view format, FormatArgs valist,
                                                 GTMLogLevel level) {
  // Read without a lock; a replacement racing with this call may be seen or
  // not, as with the components themselves.
  if (droppedUnformatted(route_.load(std::memory_order_acquire), level, valist)) return;

  const DeliveryGuard delivery(this);
  if (delivery.reentered()) return;

  std::optional<std::string_view> funcName;
  if (func) {
    const std::string_view name(func);
    if (isValidUtf8(name)) funcName = name;
  }
  // The components are held by a counted reference for the rest of the call,
  // so a replacement on another thread cannot pull them away mid-message.
  const std::shared_ptr<const Components> components = components_.load();
  const unsigned route = components->route;
  if ((route & kOwnFormatter) == 0 || (route & kOwnFilter) == 0) {
    // Foreign stages: format, then filter the finished text, then write.
    const std::optional<std::string> message =
        components->formatter->stringForFuncWithFormatValistLevel(funcName, format, valist, level);
    if (!message) return;
    if (!components->filter->filterAllowsMessageLevel(*message, level)) return;
    components->writer->logMessageLevel(*message, level);
    return;
  }

  // The framework's own formatter and filter: the filter's answer depends on
  // the level alone, so it is asked once, and before formatting unless an
  // object's description has to run first.
  const bool objects = hasObjectArgument(valist);
  if (!objects && !ownFilterPasses(route, level)) return;
  ScratchLine line;
  std::string& text = line.text();
  if (route & kStandardFormatter) {
    static_cast<GTMLogStandardFormatter&>(*components->formatter).appendLine(text, funcName, format, valist, level);
  } else if (appendFormat(text, format, valist) != FormatStatus::Ok) {
    return;  // the basic formatter gives no message
  }
  if (objects && !ownFilterPasses(route, level)) return;
  if (route & kFileHandleWriter) {
    // What the handle's logMessageLevel does, without a copy: the message and
    // a line feed in one write under its lock.
    text.push_back('\n');
    static_cast<GTMFileHandleLogWriter&>(*components->writer).writeData(text);
  } else {
    components->writer->logMessageLevel(text, level);
  }
}

void GTMLogger::logMessageLevel(std::string_view message, GTMLogLevel level) {
  // The message is an argument, never a format: its percent signs stay.
  switch (level) {
    case GTMLogLevelDebug:
      logDebug("%@", message);
      break;
    case GTMLogLevelInfo:
      logInfo("%@", message);
      break;
    case GTMLogLevelError:
      logError("%@", message);
      break;
    case GTMLogLevelAssert:
      logAssert("%@", message);
      break;
    default:
      break;
  }
}

}  // namespace cw

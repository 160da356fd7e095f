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

#include "GTMLogSupport.h"
#include "Platform/Posix.h"
#include "Platform/UserDefaults.h"
#include "Platform/Utf8.h"

namespace cw {
namespace {

using gtm_detail::levelFilterAllows;
using gtm_detail::NeverDestroyed;
using gtm_detail::ScratchLine;

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

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
namespace {

// Returns 0 when every byte was written, otherwise the errno of the failure.
int writeAll(int fd, std::string_view bytes) {
  return posix::writeAll(fd, bytes).error();
}

}  // namespace

using gtm_detail::NeverDestroyed;
using gtm_detail::ScratchLine;

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

}  // namespace cw

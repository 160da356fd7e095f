#include "gtm/GTMTestHelpers.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <regex>
#include <stdexcept>
#include <system_error>

extern char** environ;

namespace cw::test {

void Journal::add(Delivery delivery) {
  std::lock_guard<std::mutex> guard(mutex_);
  entries_.push_back(std::move(delivery));
}

std::vector<Delivery> Journal::entries() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return entries_;
}

RecordingWriter::RecordingWriter(std::string name, std::shared_ptr<Journal> journal)
    : name_(std::move(name)), journal_(std::move(journal)) {}

void RecordingWriter::logMessageLevel(std::string_view message, GTMLogLevel level) {
  if (failure_ != 0) throw std::system_error(failure_, std::generic_category(), "RecordingWriter");
  Delivery delivery{name_, std::string(message), level};
  if (journal_) journal_->add(delivery);
  std::lock_guard<std::mutex> guard(mutex_);
  own_.push_back(std::move(delivery));
}

std::vector<Delivery> RecordingWriter::received() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return own_;
}

CaptureFd::CaptureFd(int fd) : fd_(fd) {
  std::fflush(nullptr);
  saved_ = ::fcntl(fd_, F_DUPFD_CLOEXEC, 3);
  const int file = ::open((dir_ / "captured").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (saved_ < 0 || file < 0) throw std::runtime_error("cannot capture a descriptor");
  ::dup2(file, fd_);
  ::close(file);
}

CaptureFd::~CaptureFd() {
  std::fflush(nullptr);
  ::dup2(saved_, fd_);
  ::close(saved_);
}

std::string CaptureFd::text() const {
  return readFile(dir_ / "captured");
}

std::vector<std::string> readLines(const std::string& path) {
  const std::string text = readFile(path);
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t end = text.find('\n', start);
    if (end == std::string::npos) {
      lines.push_back(text.substr(start) + "<unterminated>");
      break;
    }
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

ChildResult runThisBinary(const std::string& gtestFilter,
                          const std::map<std::string, std::optional<std::string>>& environment) {
  // Everything the child needs is made before fork: after it only
  // async-signal-safe calls are allowed.
  std::vector<std::string> envStrings;
  for (char** e = environ; *e; ++e) {
    const std::string entry(*e);
    const std::string name = entry.substr(0, entry.find('='));
    if (environment.count(name) == 0) envStrings.push_back(entry);
  }
  for (const auto& [name, value] : environment) {
    if (value) envStrings.push_back(name + "=" + *value);
  }
  std::vector<char*> envp;
  for (auto& s : envStrings) envp.push_back(s.data());
  envp.push_back(nullptr);

  std::string exe = "/proc/self/exe";
  std::string filterArg = "--gtest_filter=" + gtestFilter;
  std::string name = "test_gtm";
  std::vector<char*> argv{name.data(), filterArg.data(), nullptr};

  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
  const pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    ::dup2(pipeFds[1], STDOUT_FILENO);
    ::execve(exe.c_str(), argv.data(), envp.data());
    ::_exit(127);
  }
  ::close(pipeFds[1]);
  ChildResult result;
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(pipeFds[0], buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    result.output.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(pipeFds[0]);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

std::optional<StandardLine> parseStandardLine(const std::string& line) {
  static const std::regex pattern(
      R"(^(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3}) (\S+)\[(\d+)/(0x[0-9a-f]+)\] \[lvl=(-?\d+)\] (\(no func\)|\S+) ([\s\S]*)$)");
  std::smatch m;
  if (!std::regex_match(line, m, pattern)) return std::nullopt;
  return StandardLine{m[1], m[2], std::stol(m[3]), m[4], std::stoi(m[5]), m[6], m[7]};
}

std::string localTimestampNow() {
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  tm local{};
  ::localtime_r(&now.tv_sec, &local);
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d.%03ld", local.tm_year + 1900, local.tm_mon + 1,
                local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec, now.tv_nsec / 1000000);
  return text;
}

std::string currentThreadText() {
  char text[32];
  std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(::pthread_self()));
  return text;
}

}  // namespace cw::test

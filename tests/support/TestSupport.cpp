#include "support/TestSupport.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

namespace cw::test {

bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds guard, std::chrono::milliseconds interval) {
  const auto deadline = std::chrono::steady_clock::now() + guard;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(interval);
  }
  return true;
}

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/cwtest.XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (!::mkdtemp(buffer.data())) throw std::runtime_error("mkdtemp failed");
  path_ = buffer.data();
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::string TempDir::operator/(std::string_view relative) const {
  return path_ + "/" + std::string(relative);
}

ScopedEnv::ScopedEnv(std::string name, const char* value) : name_(std::move(name)) {
  if (const char* old = std::getenv(name_.c_str())) {
    had_ = true;
    old_ = old;
  }
  if (value)
    ::setenv(name_.c_str(), value, 1);
  else
    ::unsetenv(name_.c_str());
}

ScopedEnv::~ScopedEnv() {
  if (had_)
    ::setenv(name_.c_str(), old_.c_str(), 1);
  else
    ::unsetenv(name_.c_str());
}

TempHome::TempHome()
    : home_("HOME", dir_.path().c_str()), local_("CRASHWATCHER_LOCAL_LIBRARY", (dir_ / "LocalLibrary").c_str()) {}

void makeDirectories(const std::string& path) {
  std::filesystem::create_directories(path);
}

void writeFile(const std::string& path, std::string_view contents, unsigned mode) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) throw std::runtime_error("cannot write " + path);
    out.write(contents.data(), static_cast<std::streamsize>(contents.size()));
  }
  ::chmod(path.c_str(), mode);
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

bool pathExists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

void setModificationTime(const std::string& path, double offsetSeconds) {
  timeval now{};
  ::gettimeofday(&now, nullptr);
  const double t = static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_usec) / 1e6 + offsetSeconds;
  timespec times[2];
  times[0].tv_sec = times[1].tv_sec = static_cast<time_t>(t);
  times[0].tv_nsec = times[1].tv_nsec = static_cast<long>((t - static_cast<double>(static_cast<time_t>(t))) * 1e9);
  if (::utimensat(AT_FDCWD, path.c_str(), times, 0) != 0) throw std::runtime_error("utimensat failed");
}

}  // namespace cw::test

namespace cw::test {

CaptureStderr::CaptureStderr() {
  saved_ = ::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
  const int fd = ::open((dir_ / "stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  ::dup2(fd, STDERR_FILENO);
  ::close(fd);
}

CaptureStderr::~CaptureStderr() {
  ::dup2(saved_, STDERR_FILENO);
  ::close(saved_);
}

std::string CaptureStderr::text() const {
  return readFile(dir_ / "stderr");
}

}  // namespace cw::test

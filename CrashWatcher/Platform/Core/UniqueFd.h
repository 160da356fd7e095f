#pragma once

#include <unistd.h>

#include <cerrno>
#include <utility>

namespace cw {

// Owns one file descriptor and closes it once, on destruction or reset.
class UniqueFd {
public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) noexcept : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }

  int get() const noexcept { return fd_; }
  bool valid() const noexcept { return fd_ >= 0; }
  explicit operator bool() const noexcept { return valid(); }

  int release() noexcept { return std::exchange(fd_, -1); }
  void reset(int fd = -1) noexcept {
    const int old = std::exchange(fd_, fd);
    // close(2) must not be retried on EINTR on Linux: the descriptor is gone.
    if (old >= 0) ::close(old);
  }

private:
  int fd_ = -1;
};

}  // namespace cw

#pragma once

#include <cerrno>
#include <cstring>
#include <optional>
#include <string>
#include <utility>

namespace cw {

// What a system operation gives: its value, or the errno of its failure, kept
// until the failure is reported, so that every failure can say why.
template <typename T>
class SystemResult {
public:
  SystemResult(T value) : value_(std::move(value)) {}
  // A failure with `error`; one without a reason of its own counts as EIO.
  static SystemResult failure(int error) {
    SystemResult result;
    result.error_ = error != 0 ? error : EIO;
    return result;
  }
  // The failure of the system call just made.
  static SystemResult lastFailure() { return failure(errno); }

  explicit operator bool() const { return value_.has_value(); }
  T& operator*() { return *value_; }
  T* operator->() { return &*value_; }
  // The errno of the failure; 0 on success.
  int error() const { return error_; }
  std::string reason() const { return std::strerror(error_); }

private:
  SystemResult() = default;
  std::optional<T> value_;
  int error_ = 0;
};

}  // namespace cw

#pragma once

#include <cerrno>
#include <cstring>
#include <optional>
#include <string>
#include <utility>

namespace cw {

// The errno of a failed system operation, kept as a value until the failure
// is reported, so that no call made in between can change it.
class SystemError {
public:
  // One without a reason of its own counts as EIO.
  explicit SystemError(int code) : code_(code != 0 ? code : EIO) {}
  // The failure of the system call just made.
  static SystemError last() { return SystemError(errno); }

  int code() const { return code_; }
  std::string reason() const { return std::strerror(code_); }
  bool operator==(const SystemError&) const = default;

private:
  int code_;
};

// What a system operation gives: its value, or the errno of its failure, so
// that every failure can say why.
template <typename T>
class SystemResult {
public:
  SystemResult(T value) : value_(std::move(value)) {}
  SystemResult(SystemError failure) : error_(failure.code()) {}
  // A failure with `error` (0 counts as EIO).
  static SystemResult failure(int error) { return SystemError(error); }
  // The failure of the system call just made.
  static SystemResult lastFailure() { return SystemError::last(); }

  explicit operator bool() const { return value_.has_value(); }
  T& operator*() { return *value_; }
  const T& operator*() const { return *value_; }
  T* operator->() { return &*value_; }
  const T* operator->() const { return &*value_; }
  // The errno of the failure; 0 on success.
  int error() const { return error_; }
  std::string reason() const { return std::strerror(error_); }

private:
  std::optional<T> value_;
  int error_ = 0;
};

// An operation that gives nothing but success or the errno of its failure.
template <>
class SystemResult<void> {
public:
  // Success.
  SystemResult() = default;
  SystemResult(SystemError failure) : error_(failure.code()) {}
  static SystemResult failure(int error) { return SystemError(error); }
  static SystemResult lastFailure() { return SystemError::last(); }

  explicit operator bool() const { return error_ == 0; }
  int error() const { return error_; }
  std::string reason() const { return std::strerror(error_); }

private:
  int error_ = 0;
};

}  // namespace cw

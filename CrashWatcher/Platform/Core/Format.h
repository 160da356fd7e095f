#pragma once

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>

#include "Platform/FormatDirective.h"
#include "Platform/Object.h"

namespace cw {

// One argument of a printf-style call with "%@". It carries its own type so
// that a conversion that does not fit it is detected instead of read blindly.
// String and object arguments are borrowed: an argument pack lives only for
// the duration of the call that formats it.
class FormatArg {
public:
  enum class Kind { Signed, Unsigned, Double, String, Object, Absent, Pointer };

  FormatArg(std::nullptr_t) : kind_(Kind::Absent) {}
  FormatArg(std::nullopt_t) : kind_(Kind::Absent) {}
  FormatArg(bool v) : kind_(Kind::Signed), i_(v) {}
  FormatArg(char v) : kind_(Kind::Signed), i_(v) {}
  FormatArg(signed char v) : kind_(Kind::Signed), i_(v) {}
  FormatArg(short v) : kind_(Kind::Signed), i_(v) {}
  FormatArg(int v) : kind_(Kind::Signed), i_(v) {}
  FormatArg(long v) : kind_(Kind::Signed), i_(v) {}
  FormatArg(long long v) : kind_(Kind::Signed), i_(v) {}
  FormatArg(unsigned char v) : kind_(Kind::Unsigned), u_(v) {}
  FormatArg(unsigned short v) : kind_(Kind::Unsigned), u_(v) {}
  FormatArg(unsigned v) : kind_(Kind::Unsigned), u_(v) {}
  FormatArg(unsigned long v) : kind_(Kind::Unsigned), u_(v) {}
  FormatArg(unsigned long long v) : kind_(Kind::Unsigned), u_(v) {}
  FormatArg(float v) : kind_(Kind::Double), d_(v) {}
  FormatArg(double v) : kind_(Kind::Double), d_(v) {}
  // A null C string is absent.
  FormatArg(const char* v) : kind_(v ? Kind::String : Kind::Absent), s_(v ? std::string_view(v) : std::string_view()) {}
  FormatArg(std::string_view v) : kind_(Kind::String), s_(v) {}
  FormatArg(const std::string& v) : kind_(Kind::String), s_(v) {}
  FormatArg(const std::optional<std::string>& v)
      : kind_(v ? Kind::String : Kind::Absent), s_(v ? std::string_view(*v) : std::string_view()) {}
  FormatArg(const Object* v) : kind_(v ? Kind::Object : Kind::Absent), o_(v) {}
  template <typename T, typename = std::enable_if_t<std::is_base_of_v<Object, T>>>
  FormatArg(const std::shared_ptr<T>& v) : FormatArg(static_cast<const Object*>(v.get())) {}
  // Any other pointer is printed by "%p" only.
  template <typename T,
            typename = std::enable_if_t<!std::is_base_of_v<Object, T> && !std::is_same_v<std::remove_cv_t<T>, char>>>
  FormatArg(T* v) : kind_(Kind::Pointer), p_(static_cast<const void*>(v)) {}

  Kind kind() const { return kind_; }
  // The class a format check sees for this argument.
  FormatArgClass formatClass() const {
    switch (kind_) {
      case Kind::Signed:
      case Kind::Unsigned:
        return FormatArgClass::Integer;
      case Kind::Double:
        return FormatArgClass::Double;
      case Kind::String:
        return FormatArgClass::String;
      case Kind::Object:
        return FormatArgClass::Object;
      case Kind::Pointer:
        return FormatArgClass::Pointer;
      case Kind::Absent:
        break;
    }
    return FormatArgClass::Absent;
  }
  long long asSigned() const { return i_; }
  unsigned long long asUnsigned() const { return u_; }
  double asDouble() const { return d_; }
  std::string_view asString() const { return s_; }
  const Object* asObject() const { return o_; }
  const void* asPointer() const { return p_; }

private:
  Kind kind_;
  union {
    long long i_ = 0;
    unsigned long long u_;
    double d_;
    const Object* o_;
    const void* p_;
  };
  std::string_view s_;
};

using FormatArgs = std::span<const FormatArg>;

// Formats with the printf conversions plus "%@" (a string inserts itself, an
// object its description, absent gives "(null)"), "%n$" positions, "*" widths.
// A missing argument, an argument of the wrong kind, "%n" or a malformed
// directive give absent: never undefined behaviour.
std::optional<std::string> formatWithArgs(std::string_view format, FormatArgs args);

enum class FormatStatus {
  Ok,
  // The format is malformed or does not fit the arguments' classes (what
  // checkFormat() can tell without the values).
  DoesNotFit,
  // A value is out of range: a "*" width or precision beyond kMaxFormatField,
  // a character with no UTF-8 form.
  ValueOutOfRange,
};

// Appends the formatted text to out, which keeps its capacity: the way to
// format without allocating. On failure out holds an unspecified part of the
// text after its earlier contents; cut it back to the size it had.
FormatStatus appendFormat(std::string& out, std::string_view format, FormatArgs args);

template <typename... Args>
std::optional<std::string> format(std::string_view fmt, const Args&... args) {
  const FormatArg packed[] = {FormatArg(args)..., FormatArg(nullptr)};
  return formatWithArgs(fmt, FormatArgs(packed, sizeof...(Args)));
}

}  // namespace cw

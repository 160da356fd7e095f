#pragma once

// Formats checked against their argument types while compiling: a call whose
// constant format does not fit its arguments does not compile, so that no
// log line is found wrong only when it runs.

#include <concepts>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>

#include "Platform/FormatDirective.h"
#include "Platform/Object.h"

namespace cw {
namespace checked_format {

template <typename T>
struct IsObjectSharedPtr : std::false_type {};
template <typename T>
struct IsObjectSharedPtr<std::shared_ptr<T>> : std::is_base_of<Object, T> {};

// The class of an argument in a format, decided by its C++ type.
template <typename T>
consteval FormatArgClass argClassOf() {
  using U = std::remove_cvref_t<T>;
  if constexpr (std::is_same_v<U, std::nullptr_t>) {
    return FormatArgClass::Absent;
  } else if constexpr (std::is_integral_v<U>) {
    return FormatArgClass::Integer;
  } else if constexpr (std::is_floating_point_v<U>) {
    return FormatArgClass::Double;
  } else if constexpr (std::is_array_v<U> || std::is_pointer_v<U>) {
    using Pointee = std::remove_cv_t<std::remove_pointer_t<std::decay_t<U>>>;
    if constexpr (std::is_same_v<Pointee, char>)
      return FormatArgClass::String;
    else if constexpr (std::is_base_of_v<Object, Pointee>)
      return FormatArgClass::Object;
    else
      return FormatArgClass::Pointer;
  } else if constexpr (std::is_convertible_v<const U&, std::string_view> ||
                       std::is_same_v<U, std::optional<std::string>>) {
    return FormatArgClass::String;
  } else if constexpr (IsObjectSharedPtr<U>::value) {
    return FormatArgClass::Object;
  } else {
    return FormatArgClass::Other;
  }
}

// Not constexpr: a format that reaches it at compile time does not compile.
void formatDoesNotMatchItsArguments();

}  // namespace checked_format

// The formatter's own grammar decides: every directive finds an argument of a
// fitting class, and, as printf checking warns, every argument is used.
template <typename... Args>
constexpr bool formatMatchesArguments(std::string_view format) {
  constexpr FormatArgClass classes[] = {checked_format::argClassOf<Args>()..., FormatArgClass::Other};
  const FormatVerdict verdict = checkFormat(format, classes, sizeof...(Args));
  return verdict.fits && verdict.everyArgumentUsed;
}

// A format known only at run time; it is checked as it is used.
struct RuntimeFormat {
  std::string_view text;
};

// A format for arguments of the types Args. A constant one is checked against
// them while compiling; a RuntimeFormat passes unchecked.
template <typename... Args>
class CheckedFormatString {
public:
  template <typename Text>
  requires std::convertible_to<const Text&, std::string_view>
  consteval CheckedFormatString(const Text& text) : text_(text) {
    if (!formatMatchesArguments<Args...>(text_)) checked_format::formatDoesNotMatchItsArguments();
  }
  constexpr CheckedFormatString(RuntimeFormat format) : text_(format.text) {}

  constexpr std::string_view get() const { return text_; }

private:
  std::string_view text_;
};

// As a parameter, so that the arguments alone decide the types.
template <typename... Args>
using CheckedFormat = CheckedFormatString<std::type_identity_t<Args>...>;

}  // namespace cw

#pragma once

// The grammar of a printf + "%@" format, in one place and usable at compile
// time: the formatter reads formats with it at run time, and the logging
// framework checks constant formats against their argument types with it
// while compiling, so that a call that compiles cannot lose its message.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace cw {

// What an argument can stand for in a format.
enum class FormatArgClass : unsigned char { Integer, Double, String, Object, Pointer, Absent, Other };

// Length modifiers: hh, h, l, ll, L, q, j, z, t.
enum class FormatLength : unsigned char { None, Char, Short, Long, LongLong, LongDouble, Quad, IntMax, Size, PtrDiff };

enum FormatFlag : unsigned {
  kFormatFlagMinus = 1,
  kFormatFlagPlus = 2,
  kFormatFlagSpace = 4,
  kFormatFlagHash = 8,
  kFormatFlagZero = 16,
  kFormatFlagQuote = 32,
};

// A width or precision beyond this comes from a broken format, not from a
// wish for a megabyte of padding.
inline constexpr long kMaxFormatField = 1 << 16;

// A width or a precision: none, digits in the format, or "*" ("*n$") that
// takes an integer argument.
struct FormatField {
  enum class Source : unsigned char { None, Digits, Argument };
  Source source = Source::None;
  long value = 0;     // the digits
  long position = 0;  // n of "*n$"; 0 for a plain "*"
};

struct FormatDirective {
  long position = 0;  // n of "%n$"; 0 when the argument is the next one
  unsigned flags = 0;
  FormatField width;
  bool hasPrecision = false;
  FormatField precision;  // "%.f" has Digits 0
  FormatLength length = FormatLength::None;
  char conversion = 0;
};

namespace format_grammar {

constexpr bool isDigit(char c) {
  return c >= '0' && c <= '9';
}

constexpr unsigned flagOf(char c) {
  switch (c) {
    case '-':
      return kFormatFlagMinus;
    case '+':
      return kFormatFlagPlus;
    case ' ':
      return kFormatFlagSpace;
    case '#':
      return kFormatFlagHash;
    case '0':
      return kFormatFlagZero;
    case '\'':
      return kFormatFlagQuote;
    default:
      return 0;
  }
}

// "n$" at i: n, and i past the '$'; 0 (i unchanged) when there is none; -1
// when n is out of range.
constexpr long position(std::string_view format, std::size_t& i) {
  std::size_t j = i;
  long n = 0;
  while (j < format.size() && isDigit(format[j])) {
    n = n * 10 + (format[j] - '0');
    if (n > kMaxFormatField) return -1;
    ++j;
  }
  if (j > i && j < format.size() && format[j] == '$' && n > 0) {
    i = j + 1;
    return n;
  }
  return 0;
}

constexpr bool field(std::string_view format, std::size_t& i, FormatField& out) {
  if (i < format.size() && format[i] == '*') {
    ++i;
    out.source = FormatField::Source::Argument;
    out.position = position(format, i);
    return out.position >= 0;
  }
  const std::size_t start = i;
  long n = 0;
  while (i < format.size() && isDigit(format[i])) {
    n = n * 10 + (format[i] - '0');
    if (n > kMaxFormatField) return false;
    ++i;
  }
  if (i > start) {
    out.source = FormatField::Source::Digits;
    out.value = n;
  }
  return true;
}

constexpr bool isLengthModifier(char c) {
  return c == 'h' || c == 'l' || c == 'L' || c == 'q' || c == 'j' || c == 'z' || c == 't';
}

constexpr bool length(std::string_view format, std::size_t& i, FormatLength& out) {
  const auto at = [&](std::size_t k) { return i + k < format.size() ? format[i + k] : '\0'; };
  const char c = at(0);
  if (c == 'h' || c == 'l') {
    const bool doubled = at(1) == c;
    out = c == 'h' ? (doubled ? FormatLength::Char : FormatLength::Short)
                   : (doubled ? FormatLength::LongLong : FormatLength::Long);
    i += doubled ? 2 : 1;
  } else if (c == 'L' || c == 'q' || c == 'j' || c == 'z' || c == 't') {
    out = c == 'L'   ? FormatLength::LongDouble
          : c == 'q' ? FormatLength::Quad
          : c == 'j' ? FormatLength::IntMax
          : c == 'z' ? FormatLength::Size
                     : FormatLength::PtrDiff;
    ++i;
  }
  // Modifiers run together ("hl", "lll", "zz") name no type.
  return !isLengthModifier(at(0));
}

}  // namespace format_grammar

// Reads the directive whose '%' is just before i; on success i is past its
// conversion character. False for a malformed directive: a number out of
// range, a run of length modifiers, or the end of the format. "%%" is not a
// directive: callers take it as a percent sign before asking.
constexpr bool scanFormatDirective(std::string_view format, std::size_t& i, FormatDirective& d) {
  d = FormatDirective{};
  // The common "%d", "%@": a character that can start no other part is the
  // conversion itself.
  if (i < format.size()) {
    const char c = format[i];
    if (!format_grammar::isDigit(c) && format_grammar::flagOf(c) == 0 && c != '*' && c != '.' &&
        !format_grammar::isLengthModifier(c)) {
      d.conversion = c;
      ++i;
      return true;
    }
  }
  d.position = format_grammar::position(format, i);
  if (d.position < 0) return false;
  while (i < format.size() && format_grammar::flagOf(format[i]) != 0) d.flags |= format_grammar::flagOf(format[i++]);
  if (!format_grammar::field(format, i, d.width)) return false;
  if (i < format.size() && format[i] == '.') {
    ++i;
    d.hasPrecision = true;
    if (!format_grammar::field(format, i, d.precision)) return false;
    if (d.precision.source == FormatField::Source::None) d.precision = {FormatField::Source::Digits, 0, 0};
  }
  if (!format_grammar::length(format, i, d.length) || i >= format.size()) return false;
  d.conversion = format[i++];
  return true;
}

// Whether a conversion takes an argument of a class. Unknown conversions and
// "%n" (which would write through a pointer) take none.
constexpr bool conversionAccepts(char conversion, FormatArgClass c) {
  using C = FormatArgClass;
  switch (conversion) {
    case 'd':
    case 'i':
    case 'D':
    case 'o':
    case 'u':
    case 'x':
    case 'X':
    case 'U':
    case 'O':
    case 'c':
    case 'C':
      return c == C::Integer;
    case 'e':
    case 'E':
    case 'f':
    case 'F':
    case 'g':
    case 'G':
    case 'a':
    case 'A':
      return c == C::Double;
    case 's':
    case 'S':
      return c == C::String || c == C::Absent;
    case '@':
      return c == C::String || c == C::Absent || c == C::Object;
    case 'p':
      return c == C::Pointer || c == C::Object || c == C::Absent;
    default:
      return false;
  }
}

// Hands out the argument indexes of a format in the order its directives ask
// for them. Positional ("%2$@") and sequential ("%@") arguments in one format
// have no agreed meaning: mixing them gives no index.
class FormatArgumentCursor {
public:
  constexpr std::optional<std::size_t> next(long position) {
    if (position > 0 ? sequential_ : positional_) return std::nullopt;
    (position > 0 ? positional_ : sequential_) = true;
    return position > 0 ? static_cast<std::size_t>(position - 1) : next_++;
  }

private:
  std::size_t next_ = 0;
  bool positional_ = false;
  bool sequential_ = false;
};

struct FormatVerdict {
  // Every directive is well formed and finds an argument of a fitting class:
  // formatting succeeds unless a value is out of range (a "*" width beyond
  // kMaxFormatField, a character without a UTF-8 form).
  bool fits = false;
  // Every argument is taken by some directive (the first 64 are tracked).
  bool everyArgumentUsed = false;
};

// The verdict on a format for arguments of the given classes, without their
// values: what can be known while compiling.
constexpr FormatVerdict checkFormat(std::string_view format, const FormatArgClass* classes, std::size_t count) {
  FormatArgumentCursor cursor;
  std::uint64_t used = 0;
  const auto take = [&](long position, char conversion) {
    const std::optional<std::size_t> index = cursor.next(position);
    if (!index || *index >= count) return false;
    if (*index < 64) used |= std::uint64_t{1} << *index;
    return conversionAccepts(conversion, classes[*index]);
  };
  const auto takeField = [&](const FormatField& f) {
    return f.source != FormatField::Source::Argument || take(f.position, 'd');
  };
  std::size_t i = 0;
  while (i < format.size()) {
    if (format[i++] != '%') continue;
    if (i < format.size() && format[i] == '%') {
      ++i;
      continue;
    }
    FormatDirective d;
    if (!scanFormatDirective(format, i, d) || !takeField(d.width) || !takeField(d.precision) ||
        !take(d.position, d.conversion))
      return {};
  }
  const std::size_t tracked = count < 64 ? count : 64;
  const std::uint64_t all = tracked == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << tracked) - 1;
  return {true, (used & all) == all};
}

}  // namespace cw

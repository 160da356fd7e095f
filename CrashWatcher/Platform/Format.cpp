#include "Platform/Format.h"

#include <climits>
#include <cstdio>

namespace cw {
namespace {

// A width or precision beyond this comes from a broken format, not from a
// wish for a megabyte of padding.
constexpr long kMaxFieldWidth = 1 << 16;

constexpr std::string_view kFlags = "-+ #0'";
constexpr std::string_view kLengthModifiers = "hlLqjzt";

// string_view::find rather than strchr: strchr also "finds" a NUL byte, which
// would let a NUL in the format slip into the directive handed to snprintf.
bool isOneOf(char c, std::string_view set) {
  return set.find(c) != std::string_view::npos;
}

bool isContinuationByte(char c) {
  return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

// Characters (code points) of UTF-8 text: what widths and precisions of
// string conversions count, so that "Größe" pads like "Grosse" minus one.
size_t characterCount(std::string_view text) {
  size_t count = 0;
  for (const char c : text)
    if (!isContinuationByte(c)) ++count;
  return count;
}

struct Directive {
  std::string flags;
  long width = -1;
  long precision = -1;
  std::string length;
  char conversion = 0;
};

class Formatter {
public:
  Formatter(std::string_view format, FormatArgs args) : format_(format), args_(args) {}

  std::optional<std::string> run() {
    std::string out;
    out.reserve(format_.size() + 16 * args_.size());
    size_t i = 0;
    while (i < format_.size()) {
      const size_t percent = format_.find('%', i);
      if (percent == std::string_view::npos) {
        out.append(format_.substr(i));
        break;
      }
      out.append(format_.substr(i, percent - i));
      i = percent + 1;
      if (!directive(i, out)) return std::nullopt;
    }
    return out;
  }

private:
  // Reads "n$" at i if present; 0 when absent.
  long position(size_t& i) const {
    size_t j = i;
    long n = 0;
    while (j < format_.size() && format_[j] >= '0' && format_[j] <= '9') {
      n = n * 10 + (format_[j] - '0');
      if (n > kMaxFieldWidth) return -1;
      ++j;
    }
    if (j > i && j < format_.size() && format_[j] == '$' && n > 0) {
      i = j + 1;
      return n;
    }
    return 0;
  }

  // Positional ("%2$@") and sequential ("%@") arguments in one format have no
  // agreed meaning; such a format is refused.
  const FormatArg* fetch(long pos) {
    if (pos > 0 ? usedSequential_ : usedPositional_) return nullptr;
    (pos > 0 ? usedPositional_ : usedSequential_) = true;
    const size_t index = pos > 0 ? static_cast<size_t>(pos - 1) : next_++;
    return index < args_.size() ? &args_[index] : nullptr;
  }

  // A width or precision: digits, or "*" / "*n$" taken from an argument
  // (fromArgument tells which, since a negative value from an argument means
  // something: left adjustment for a width, "no precision" for a precision).
  bool number(size_t& i, long& value, bool& fromArgument) {
    fromArgument = false;
    if (i < format_.size() && format_[i] == '*') {
      ++i;
      fromArgument = true;
      const long pos = position(i);
      if (pos < 0) return false;
      const FormatArg* arg = fetch(pos);
      if (!arg) return false;
      if (arg->kind() == FormatArg::Kind::Signed) {
        if (arg->asSigned() > kMaxFieldWidth || arg->asSigned() < -kMaxFieldWidth) return false;
        value = static_cast<long>(arg->asSigned());
      } else if (arg->kind() == FormatArg::Kind::Unsigned && arg->asUnsigned() <= kMaxFieldWidth) {
        value = static_cast<long>(arg->asUnsigned());
      } else {
        return false;
      }
      return true;
    }
    value = -1;
    size_t start = i;
    long n = 0;
    while (i < format_.size() && format_[i] >= '0' && format_[i] <= '9') {
      n = n * 10 + (format_[i] - '0');
      if (n > kMaxFieldWidth) return false;
      ++i;
    }
    if (i > start) value = n;
    return true;
  }

  bool directive(size_t& i, std::string& out) {
    if (i >= format_.size()) return false;
    if (format_[i] == '%') {
      out.push_back('%');
      ++i;
      return true;
    }
    Directive d;
    const long pos = position(i);
    if (pos < 0) return false;
    while (i < format_.size() && isOneOf(format_[i], kFlags)) d.flags.push_back(format_[i++]);
    bool fromArgument = false;
    if (!number(i, d.width, fromArgument)) return false;
    if (fromArgument && d.width < 0) {  // a negative "*" width means left adjustment
      d.flags.push_back('-');
      d.width = -d.width;
    }
    if (i < format_.size() && format_[i] == '.') {
      ++i;
      if (!number(i, d.precision, fromArgument)) return false;
      // "%.f" is precision 0; a negative "*" precision is as if none was given.
      if (d.precision < 0) d.precision = fromArgument ? -1 : 0;
    }
    while (i < format_.size() && isOneOf(format_[i], kLengthModifiers)) d.length.push_back(format_[i++]);
    if (!validLength(d.length)) return false;
    if (i >= format_.size()) return false;
    d.conversion = format_[i++];
    if (d.conversion == 'n') return false;  // writes through a pointer: never from a format
    const FormatArg* arg = fetch(pos);
    if (!arg) return false;
    return convert(d, *arg, out);
  }

  static bool validLength(std::string_view length) {
    return length.empty() || length == "h" || length == "hh" || length == "l" || length == "ll" || length == "L" ||
           length == "q" || length == "j" || length == "z" || length == "t";
  }

  static void pad(const Directive& d, std::string_view text, std::string& out) {
    const bool left = d.flags.find('-') != std::string::npos;
    const size_t width = d.width > 0 ? static_cast<size_t>(d.width) : 0;
    const size_t length = characterCount(text);
    const size_t fill = width > length ? width - length : 0;
    if (!left) out.append(fill, ' ');
    out.append(text);
    if (left) out.append(fill, ' ');
  }

  // The first `limit` characters, never splitting a UTF-8 sequence.
  static std::string_view limited(std::string_view text, long limit) {
    if (limit < 0) return text;
    size_t characters = 0;
    for (size_t end = 0; end < text.size(); ++end) {
      if (isContinuationByte(text[end])) continue;
      if (characters == static_cast<size_t>(limit)) return text.substr(0, end);
      ++characters;
    }
    return text;
  }

  static std::string spec(const Directive& d, const char* length, char conversion) {
    std::string s = "%";
    s += d.flags;
    if (d.width >= 0) s += std::to_string(d.width);
    if (d.precision >= 0) s += "." + std::to_string(d.precision);
    s += length;
    s += conversion;
    return s;
  }

  template <typename T>
  static void printf(std::string& out, const std::string& spec, T value) {
    char small[128];
    const int n = std::snprintf(small, sizeof small, spec.c_str(), value);
    if (n < 0) return;
    if (static_cast<size_t>(n) < sizeof small) {
      out.append(small, static_cast<size_t>(n));
      return;
    }
    std::string big(static_cast<size_t>(n) + 1, '\0');
    std::snprintf(big.data(), big.size(), spec.c_str(), value);
    out.append(big.data(), static_cast<size_t>(n));
  }

  static void appendUtf8(std::string& out, unsigned long long cp) {
    if (cp < 0x80) {
      out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | ((cp >> 18) & 0x07)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
  }

  // Integer value as the length modifier says the callee would have read it.
  static bool integer(const Directive& d, const FormatArg& arg, long long& s, unsigned long long& u) {
    long long v;
    if (arg.kind() == FormatArg::Kind::Signed)
      v = arg.asSigned();
    else if (arg.kind() == FormatArg::Kind::Unsigned)
      v = static_cast<long long>(arg.asUnsigned());
    else
      return false;
    const bool wide = !d.length.empty() && d.length != "h" && d.length != "hh";
    if (d.length == "hh") {
      s = static_cast<signed char>(v);
      u = static_cast<unsigned char>(v);
    } else if (d.length == "h") {
      s = static_cast<short>(v);
      u = static_cast<unsigned short>(v);
    } else if (!wide && arg.kind() == FormatArg::Kind::Signed && v >= INT32_MIN && v <= INT32_MAX) {
      s = v;
      u = static_cast<unsigned int>(v);
    } else {
      s = v;
      u = static_cast<unsigned long long>(v);
    }
    return true;
  }

  bool convert(const Directive& d, const FormatArg& arg, std::string& out) {
    using K = FormatArg::Kind;
    switch (d.conversion) {
      case 'd':
      case 'i':
      case 'D': {
        long long s;
        unsigned long long u;
        if (!integer(d, arg, s, u)) return false;
        // An unsigned value beyond the signed range keeps its value rather
        // than turning negative.
        const bool narrow = d.length == "h" || d.length == "hh";
        if (!narrow && arg.kind() == K::Unsigned && arg.asUnsigned() > static_cast<unsigned long long>(LLONG_MAX))
          printf(out, spec(d, "ll", 'u'), arg.asUnsigned());
        else
          printf(out, spec(d, "ll", 'd'), s);
        return true;
      }
      case 'o':
      case 'u':
      case 'x':
      case 'X':
      case 'U':
      case 'O': {
        long long s;
        unsigned long long u;
        Directive wide = d;
        if ((d.conversion == 'U' || d.conversion == 'O') && d.length.empty()) wide.length = "l";
        if (!integer(wide, arg, s, u)) return false;
        const char c = d.conversion == 'U' ? 'u' : d.conversion == 'O' ? 'o' : d.conversion;
        printf(out, spec(d, "ll", c), u);
        return true;
      }
      case 'e':
      case 'E':
      case 'f':
      case 'F':
      case 'g':
      case 'G':
      case 'a':
      case 'A':
        if (arg.kind() != K::Double) return false;
        printf(out, spec(d, "", d.conversion), arg.asDouble());
        return true;
      case 'c':
      case 'C': {
        if (arg.kind() != K::Signed && arg.kind() != K::Unsigned) return false;
        std::string text;
        if (d.conversion == 'c' && d.length.empty()) {
          // As printf: the int is converted to unsigned char, so a char that
          // holds a byte above 0x7F (negative where char is signed) is that byte.
          const unsigned long long value =
              arg.kind() == K::Signed ? static_cast<unsigned long long>(arg.asSigned()) : arg.asUnsigned();
          text.push_back(static_cast<char>(static_cast<unsigned char>(value)));
        } else {
          // A Unicode character; surrogates and values beyond U+10FFFF have no UTF-8 form.
          if (arg.kind() == K::Signed && arg.asSigned() < 0) return false;
          const unsigned long long cp =
              arg.kind() == K::Signed ? static_cast<unsigned long long>(arg.asSigned()) : arg.asUnsigned();
          if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
          appendUtf8(text, cp);
        }
        pad(d, text, out);
        return true;
      }
      case 's':
      case 'S':
      case '@': {
        if (arg.kind() == K::String) {
          pad(d, limited(arg.asString(), d.precision), out);
        } else if (arg.kind() == K::Absent) {
          pad(d, "(null)", out);
        } else if (arg.kind() == K::Object && d.conversion == '@') {
          const std::string text = arg.asObject()->description();
          pad(d, limited(text, d.precision), out);
        } else {
          return false;
        }
        return true;
      }
      case 'p': {
        const void* p;
        if (arg.kind() == K::Pointer)
          p = arg.asPointer();
        else if (arg.kind() == K::Object)
          p = arg.asObject();
        else if (arg.kind() == K::Absent)
          p = nullptr;
        else
          return false;
        char buffer[32];
        std::snprintf(buffer, sizeof buffer, "0x%llx", static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(p)));
        pad(d, buffer, out);
        return true;
      }
      default:
        return false;
    }
  }

  std::string_view format_;
  FormatArgs args_;
  size_t next_ = 0;
  bool usedPositional_ = false;
  bool usedSequential_ = false;
};

}  // namespace

std::optional<std::string> formatWithArgs(std::string_view format, FormatArgs args) {
  return Formatter(format, args).run();
}

}  // namespace cw

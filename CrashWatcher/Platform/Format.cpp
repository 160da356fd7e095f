#include "Platform/Format.h"

#include <cstdio>
#include <cstring>

namespace cw {
namespace {

// A width or precision beyond this comes from a broken format, not from a
// wish for a megabyte of padding.
constexpr long kMaxFieldWidth = 1 << 16;

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

  const FormatArg* fetch(long pos) {
    const size_t index = pos > 0 ? static_cast<size_t>(pos - 1) : next_++;
    return index < args_.size() ? &args_[index] : nullptr;
  }

  bool number(size_t& i, long& value) {
    if (i < format_.size() && format_[i] == '*') {
      ++i;
      const long pos = position(i);
      if (pos < 0) return false;
      const FormatArg* arg = fetch(pos);
      if (!arg) return false;
      if (arg->kind() == FormatArg::Kind::Signed) value = static_cast<long>(arg->asSigned());
      else if (arg->kind() == FormatArg::Kind::Unsigned && arg->asUnsigned() <= kMaxFieldWidth)
        value = static_cast<long>(arg->asUnsigned());
      else return false;
      return value <= kMaxFieldWidth && value >= -kMaxFieldWidth;
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
    while (i < format_.size() && std::strchr("-+ #0'", format_[i])) d.flags.push_back(format_[i++]);
    if (!number(i, d.width)) return false;
    if (d.width < -1) {  // a negative "*" width means left adjustment
      d.flags.push_back('-');
      d.width = -d.width;
    }
    if (i < format_.size() && format_[i] == '.') {
      ++i;
      if (!number(i, d.precision)) return false;
      if (d.precision < 0) d.precision = i > 0 && format_[i - 1] == '*' ? -1 : 0;
    }
    while (i < format_.size() && std::strchr("hlLqjzt", format_[i])) d.length.push_back(format_[i++]);
    if (d.length.size() > 2) return false;
    if (i >= format_.size()) return false;
    d.conversion = format_[i++];
    if (d.conversion == 'n') return false;  // writes through a pointer: never from a format
    const FormatArg* arg = fetch(pos);
    if (!arg) return false;
    return convert(d, *arg, out);
  }

  static void pad(const Directive& d, std::string_view text, std::string& out) {
    const bool left = d.flags.find('-') != std::string::npos;
    const size_t width = d.width > 0 ? static_cast<size_t>(d.width) : 0;
    const size_t fill = width > text.size() ? width - text.size() : 0;
    if (!left) out.append(fill, ' ');
    out.append(text);
    if (left) out.append(fill, ' ');
  }

  // Cuts at most `limit` bytes without splitting a UTF-8 sequence.
  static std::string_view limited(std::string_view text, long limit) {
    if (limit < 0 || static_cast<size_t>(limit) >= text.size()) return text;
    size_t end = static_cast<size_t>(limit);
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
    return text.substr(0, end);
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
  static bool integer(const Directive& d, const FormatArg& arg, bool isSigned, long long& s, unsigned long long& u) {
    long long v;
    if (arg.kind() == FormatArg::Kind::Signed) v = arg.asSigned();
    else if (arg.kind() == FormatArg::Kind::Unsigned) v = static_cast<long long>(arg.asUnsigned());
    else return false;
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
    (void)isSigned;
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
        if (!integer(d, arg, true, s, u)) return false;
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
        if (!integer(d, arg, false, s, u)) return false;
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
        const unsigned long long cp =
            arg.kind() == K::Signed ? static_cast<unsigned long long>(arg.asSigned()) : arg.asUnsigned();
        std::string text;
        if (cp < 0x100 && d.conversion == 'c' && d.length.empty()) text.push_back(static_cast<char>(cp));
        else if (cp <= 0x10FFFF) appendUtf8(text, cp);
        else return false;
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
        if (arg.kind() == K::Pointer) p = arg.asPointer();
        else if (arg.kind() == K::Object) p = arg.asObject();
        else if (arg.kind() == K::Absent) p = nullptr;
        else return false;
        char buffer[32];
        std::snprintf(buffer, sizeof buffer, "0x%llx",
                      static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(p)));
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
};

}  // namespace

std::optional<std::string> formatWithArgs(std::string_view format, FormatArgs args) {
  return Formatter(format, args).run();
}

}  // namespace cw

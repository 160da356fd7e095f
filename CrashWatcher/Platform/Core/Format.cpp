#include "Platform/Format.h"

#include <charconv>
#include <climits>
#include <cstdio>

namespace cw {
namespace {

bool isContinuationByte(char c) {
  return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

// Characters (code points) of UTF-8 text: what widths and precisions of
// string conversions count, so that "Größe" pads like "Grosse" minus one.
std::size_t characterCount(std::string_view text) {
  std::size_t count = 0;
  for (const char c : text)
    if (!isContinuationByte(c)) ++count;
  return count;
}

// The first `limit` characters, never splitting a UTF-8 sequence.
std::string_view limited(std::string_view text, long limit) {
  if (limit < 0) return text;
  std::size_t characters = 0;
  for (std::size_t end = 0; end < text.size(); ++end) {
    if (isContinuationByte(text[end])) continue;
    if (characters == static_cast<std::size_t>(limit)) return text.substr(0, end);
    ++characters;
  }
  return text;
}

void appendUtf8(std::string& out, unsigned long long cp) {
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

// A directive with the widths and precisions that arguments gave resolved.
struct Conversion {
  unsigned flags = 0;
  long width = -1;
  long precision = -1;
  FormatLength length = FormatLength::None;
  char conversion = 0;

  bool plain() const { return flags == 0 && width < 0 && precision < 0; }
  bool narrow() const { return length == FormatLength::Char || length == FormatLength::Short; }
};

class Formatter {
public:
  Formatter(std::string& out, std::string_view format, FormatArgs args) : out_(out), format_(format), args_(args) {}

  FormatStatus run() {
    std::size_t i = 0;
    while (i < format_.size()) {
      const std::size_t percent = format_.find('%', i);
      if (percent == std::string_view::npos) {
        out_.append(format_.substr(i));
        break;
      }
      out_.append(format_.substr(i, percent - i));
      i = percent + 1;
      if (i < format_.size() && format_[i] == '%') {
        out_.push_back('%');
        ++i;
        continue;
      }
      FormatDirective d;
      if (!scanFormatDirective(format_, i, d)) return FormatStatus::DoesNotFit;
      if (const FormatStatus status = directive(d); status != FormatStatus::Ok) return status;
    }
    return FormatStatus::Ok;
  }

private:
  const FormatArg* fetch(long position) {
    const std::optional<std::size_t> index = cursor_.next(position);
    return index && *index < args_.size() ? &args_[*index] : nullptr;
  }

  // A width or precision; value stays -1 when there is none.
  FormatStatus field(const FormatField& f, long& value) {
    if (f.source == FormatField::Source::Digits) value = f.value;
    if (f.source != FormatField::Source::Argument) return FormatStatus::Ok;
    const FormatArg* arg = fetch(f.position);
    if (!arg || !conversionAccepts('d', arg->formatClass())) return FormatStatus::DoesNotFit;
    if (arg->kind() == FormatArg::Kind::Signed) {
      if (arg->asSigned() > kMaxFormatField || arg->asSigned() < -kMaxFormatField) return FormatStatus::ValueOutOfRange;
      value = static_cast<long>(arg->asSigned());
    } else {
      if (arg->asUnsigned() > kMaxFormatField) return FormatStatus::ValueOutOfRange;
      value = static_cast<long>(arg->asUnsigned());
    }
    return FormatStatus::Ok;
  }

  FormatStatus directive(const FormatDirective& d) {
    Conversion c{d.flags, -1, -1, d.length, d.conversion};
    if (const FormatStatus status = field(d.width, c.width); status != FormatStatus::Ok) return status;
    if (d.width.source == FormatField::Source::Argument && c.width < 0) {  // a negative "*" width left-adjusts
      c.flags |= kFormatFlagMinus;
      c.width = -c.width;
    }
    if (d.hasPrecision) {
      if (const FormatStatus status = field(d.precision, c.precision); status != FormatStatus::Ok) return status;
      if (c.precision < 0) c.precision = -1;  // a negative "*" precision is as if none was given
    }
    const FormatArg* arg = fetch(d.position);
    if (!arg || !conversionAccepts(d.conversion, arg->formatClass())) return FormatStatus::DoesNotFit;
    return convert(c, *arg);
  }

  void pad(const Conversion& c, std::string_view text) {
    if (c.width <= 0) {
      out_.append(text);
      return;
    }
    const std::size_t width = static_cast<std::size_t>(c.width);
    const std::size_t length = characterCount(text);
    const std::size_t fill = width > length ? width - length : 0;
    const bool left = (c.flags & kFormatFlagMinus) != 0;
    if (!left) out_.append(fill, ' ');
    out_.append(text);
    if (left) out_.append(fill, ' ');
  }

  // The printf directive for c with the given length text and conversion.
  static void spec(const Conversion& c, const char* length, char conversion, char (&out)[40]) {
    char* p = out;
    *p++ = '%';
    for (const char flag : {'-', '+', ' ', '#', '0', '\''})
      if (c.flags & format_grammar::flagOf(flag)) *p++ = flag;
    char* const end = out + sizeof out - 6;
    if (c.width >= 0) p = std::to_chars(p, end, c.width).ptr;
    if (c.precision >= 0) {
      *p++ = '.';
      p = std::to_chars(p, end, c.precision).ptr;
    }
    while (*length) *p++ = *length++;
    *p++ = conversion;
    *p = '\0';
  }

  // snprintf straight into out.
  template <typename T>
  void print(const Conversion& c, const char* length, char conversion, T value) {
    char directive[40];
    spec(c, length, conversion, directive);
    const std::size_t start = out_.size();
    constexpr std::size_t kGuess = 64;
    out_.resize(start + kGuess);
    const int n = std::snprintf(out_.data() + start, kGuess, directive, value);
    if (n < 0) {
      out_.resize(start);
      return;
    }
    const std::size_t written = static_cast<std::size_t>(n);
    if (written >= kGuess) {
      out_.resize(start + written);
      std::snprintf(out_.data() + start, written + 1, directive, value);  // the NUL lands on out_'s own
    }
    out_.resize(start + written);
  }

  template <typename T>
  void appendNumber(T value, int base = 10) {
    char buffer[24];
    out_.append(buffer, std::to_chars(buffer, buffer + sizeof buffer, value, base).ptr);
  }

  // The integer as the length modifier says the callee would have read it.
  static void integer(const Conversion& c, const FormatArg& arg, long long& s, unsigned long long& u) {
    const long long v =
        arg.kind() == FormatArg::Kind::Signed ? arg.asSigned() : static_cast<long long>(arg.asUnsigned());
    if (c.length == FormatLength::Char) {
      s = static_cast<signed char>(v);
      u = static_cast<unsigned char>(v);
    } else if (c.length == FormatLength::Short) {
      s = static_cast<short>(v);
      u = static_cast<unsigned short>(v);
    } else if (c.length == FormatLength::None && arg.kind() == FormatArg::Kind::Signed && v >= INT32_MIN &&
               v <= INT32_MAX) {
      s = v;
      u = static_cast<unsigned int>(v);
    } else {
      s = v;
      u = static_cast<unsigned long long>(v);
    }
  }

  FormatStatus convert(Conversion& c, const FormatArg& arg) {
    using K = FormatArg::Kind;
    long long s = 0;
    unsigned long long u = 0;
    switch (c.conversion) {
      case 'd':
      case 'i':
      case 'D':
        integer(c, arg, s, u);
        // An unsigned value beyond the signed range keeps its value rather
        // than turning negative.
        if (!c.narrow() && arg.kind() == K::Unsigned && arg.asUnsigned() > static_cast<unsigned long long>(LLONG_MAX)) {
          if (c.plain())
            appendNumber(arg.asUnsigned());
          else
            print(c, "ll", 'u', arg.asUnsigned());
        } else if (c.plain()) {
          appendNumber(s);
        } else {
          print(c, "ll", 'd', s);
        }
        return FormatStatus::Ok;
      case 'o':
      case 'u':
      case 'x':
      case 'X':
      case 'U':
      case 'O': {
        if ((c.conversion == 'U' || c.conversion == 'O') && c.length == FormatLength::None)
          c.length = FormatLength::Long;
        integer(c, arg, s, u);
        const char printed = c.conversion == 'U' ? 'u' : c.conversion == 'O' ? 'o' : c.conversion;
        if (c.plain() && printed != 'X')
          appendNumber(u, printed == 'u' ? 10 : printed == 'x' ? 16 : 8);
        else
          print(c, "ll", printed, u);
        return FormatStatus::Ok;
      }
      case 'e':
      case 'E':
      case 'f':
      case 'F':
      case 'g':
      case 'G':
      case 'a':
      case 'A':
        print(c, "", c.conversion, arg.asDouble());
        return FormatStatus::Ok;
      case 'c':
      case 'C': {
        const unsigned long long value =
            arg.kind() == K::Signed ? static_cast<unsigned long long>(arg.asSigned()) : arg.asUnsigned();
        std::string text;
        if (c.conversion == 'c' && c.length == FormatLength::None) {
          // As printf: the int is converted to unsigned char, so a char that
          // holds a byte above 0x7F (negative where char is signed) is that byte.
          text.push_back(static_cast<char>(static_cast<unsigned char>(value)));
        } else {
          // A Unicode character; surrogates and values beyond U+10FFFF have no UTF-8 form.
          if (arg.kind() == K::Signed && arg.asSigned() < 0) return FormatStatus::ValueOutOfRange;
          if (value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return FormatStatus::ValueOutOfRange;
          appendUtf8(text, value);
        }
        pad(c, text);
        return FormatStatus::Ok;
      }
      case 's':
      case 'S':
      case '@':
        if (arg.kind() == K::String)
          pad(c, limited(arg.asString(), c.precision));
        else if (arg.kind() == K::Object)
          pad(c, limited(arg.asObject()->description(), c.precision));
        else
          pad(c, "(null)");
        return FormatStatus::Ok;
      case 'p': {
        const void* p = arg.kind() == K::Pointer ? arg.asPointer() : arg.kind() == K::Object ? arg.asObject() : nullptr;
        char buffer[24] = "0x";
        const char* end =
            std::to_chars(buffer + 2, buffer + sizeof buffer, reinterpret_cast<std::uintptr_t>(p), 16).ptr;
        pad(c, std::string_view(buffer, static_cast<std::size_t>(end - buffer)));
        return FormatStatus::Ok;
      }
      default:
        return FormatStatus::DoesNotFit;
    }
  }

  std::string& out_;
  std::string_view format_;
  FormatArgs args_;
  FormatArgumentCursor cursor_;
};

}  // namespace

FormatStatus appendFormat(std::string& out, std::string_view format, FormatArgs args) {
  return Formatter(out, format, args).run();
}

std::optional<std::string> formatWithArgs(std::string_view format, FormatArgs args) {
  std::string out;
  out.reserve(format.size() + 16 * args.size());
  if (appendFormat(out, format, args) != FormatStatus::Ok) return std::nullopt;
  return out;
}

}  // namespace cw

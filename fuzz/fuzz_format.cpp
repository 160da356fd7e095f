// Fuzzes cw::formatWithArgs, the printf + "%@" formatter that every log line
// and the report mail go through.
//
// Input: "<argument letters>|<format>". Each letter before the first '|'
// (at most 16) picks one argument; without a '|' the whole input is the
// format and a mixed default set of arguments is used. Besides the
// sanitizers, the target checks what can be known without a second
// formatter: text without '%' comes back unchanged, "%%" gives one '%', a
// single plain directive on a plain argument agrees with the C library, and
// the verdict of cw::checkFormat (what the logging framework's compile-time
// format check decides from the argument classes alone) agrees with what
// formatting them does.

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "Platform/Format.h"
#include "Platform/FormatDirective.h"

namespace {

class Described final : public cw::Object {
public:
  std::string description() const override { return "Beschreibung \xC3\xBC"; }
};

const Described kObject;
int kPointee = 0;

// Letters and the arguments they stand for; the values sit on the edges the
// formatter has to get right (sign, width limits, UTF-8, absent).
cw::FormatArg argumentFor(char letter) {
  switch (letter) {
    case 'i':
      return cw::FormatArg(42);
    case 'j':
      return cw::FormatArg(-7);
    case 'I':
      return cw::FormatArg(std::numeric_limits<long long>::min());
    case 'J':
      return cw::FormatArg(std::numeric_limits<long long>::max());
    case 'w':
      return cw::FormatArg(65536);  // the largest width accepted
    case 'W':
      return cw::FormatArg(65537);  // one beyond
    case 'm':
      return cw::FormatArg(-65536);  // a left-adjusting "*" width
    case 'c':
      return cw::FormatArg(static_cast<char>(-23));
    case 'b':
      return cw::FormatArg(true);
    case 'u':
      return cw::FormatArg(3000000000u);
    case 'U':
      return cw::FormatArg(std::numeric_limits<unsigned long long>::max());
    case 'z':
      return cw::FormatArg(std::size_t{0});
    case 'd':
      return cw::FormatArg(3.25);
    case 'D':
      return cw::FormatArg(-1e308);
    case 'n':
      return cw::FormatArg(std::numeric_limits<double>::quiet_NaN());
    case 'f':
      return cw::FormatArg(std::numeric_limits<double>::infinity());
    case 't':
      return cw::FormatArg(std::numeric_limits<double>::denorm_min());
    case 's':
      return cw::FormatArg(
          "Gr\xC3\xB6\xC3\x9F"
          "e");
    case 'S':
      return cw::FormatArg("\xF0\x9F\x98\x80 emoji and a % sign");
    case 'e':
      return cw::FormatArg("");
    case 'x':
      return cw::FormatArg("\xFF\xFE broken UTF-8 \xC3");
    case 'o':
      return cw::FormatArg(&kObject);
    case '0':
      return cw::FormatArg(nullptr);
    case 'p':
      return cw::FormatArg(&kPointee);
    default:
      return cw::FormatArg(static_cast<int>(static_cast<unsigned char>(letter)));
  }
}

[[noreturn]] void fail(const char* what, std::string_view format, std::string_view got, std::string_view expected) {
  std::fprintf(stderr, "format oracle: %s\n  format:   [%.*s]\n  got:      [%.*s]\n  expected: [%.*s]\n", what,
               static_cast<int>(format.size()), format.data(), static_cast<int>(got.size()), got.data(),
               static_cast<int>(expected.size()), expected.data());
  std::abort();
}

bool isDigit(char c) {
  return c >= '0' && c <= '9';
}

// A directive of the portable core: "%[-+ #0]*[digits][.digits]<conversion>",
// and nothing else in the format. Widths stay small so that the C library's
// answer is cheap.
struct PlainDirective {
  bool ok = false;
  char conversion = 0;
};

PlainDirective plainDirective(std::string_view format) {
  PlainDirective result;
  if (format.size() < 2 || format.size() > 24 || format[0] != '%') return result;
  std::size_t i = 1;
  while (i < format.size() && std::string_view("-+ #0").find(format[i]) != std::string_view::npos) ++i;
  std::size_t digits = 0;
  while (i < format.size() && isDigit(format[i])) ++i, ++digits;
  if (digits > 3) return result;
  if (i < format.size() && format[i] == '.') {
    ++i;
    digits = 0;
    while (i < format.size() && isDigit(format[i])) ++i, ++digits;
    if (digits > 3) return result;
  }
  if (i + 1 != format.size()) return result;
  result.conversion = format[i];
  result.ok = true;
  return result;
}

template <typename T>
std::string cFormat(const std::string& format, T value) {
  const int n = std::snprintf(nullptr, 0, format.c_str(), value);
  if (n < 0) std::abort();
  std::string out(static_cast<std::size_t>(n) + 1, '\0');
  std::snprintf(out.data(), out.size(), format.c_str(), value);
  out.resize(static_cast<std::size_t>(n));
  return out;
}

// A single plain directive on an argument whose C counterpart is exact.
void checkAgainstC(std::string_view format, const std::vector<cw::FormatArg>& args,
                   const std::optional<std::string>& got) {
  const PlainDirective directive = plainDirective(format);
  if (!directive.ok || args.size() != 1) return;
  const cw::FormatArg& arg = args[0];
  const std::string fmt(format);
  std::string expected;
  switch (directive.conversion) {
    case 'd':
    case 'i':
      if (arg.kind() != cw::FormatArg::Kind::Signed || arg.asSigned() < std::numeric_limits<int>::min() ||
          arg.asSigned() > std::numeric_limits<int>::max())
        return;
      expected = cFormat(fmt, static_cast<int>(arg.asSigned()));
      break;
    case 'u':
    case 'x':
    case 'X':
    case 'o':
      if (arg.kind() != cw::FormatArg::Kind::Unsigned || arg.asUnsigned() > std::numeric_limits<unsigned>::max())
        return;
      expected = cFormat(fmt, static_cast<unsigned>(arg.asUnsigned()));
      break;
    case 'e':
    case 'E':
    case 'f':
    case 'F':
    case 'g':
    case 'G':
    case 'a':
    case 'A':
      if (arg.kind() != cw::FormatArg::Kind::Double) return;
      expected = cFormat(fmt, arg.asDouble());
      break;
    case 's': {
      // The C library counts bytes; the formatter counts characters. Both
      // agree on ASCII.
      if (arg.kind() != cw::FormatArg::Kind::String) return;
      const std::string text(arg.asString());
      for (const char c : text)
        if (static_cast<unsigned char>(c) >= 0x80) return;
      expected = cFormat(fmt, text.c_str());
      break;
    }
    default:
      return;
  }
  if (!got) fail("a plain directive was refused", format, "(absent)", expected);
  if (*got != expected) fail("a plain directive differs from the C library", format, *got, expected);
}

// The compile-time check and the formatter read formats with the one grammar:
// the check passes a format exactly when formatting succeeds, unless
// formatting stopped at a value out of range, which the check cannot see.
void checkVerdict(std::string_view format, const std::vector<cw::FormatArg>& args,
                  const std::optional<std::string>& out) {
  std::vector<cw::FormatArgClass> classes;
  for (const cw::FormatArg& arg : args) classes.push_back(arg.formatClass());
  const cw::FormatVerdict verdict = cw::checkFormat(format, classes.data(), classes.size());
  std::string appended = "kept|";
  const cw::FormatStatus status = cw::appendFormat(appended, format, cw::FormatArgs(args.data(), args.size()));
  const std::string_view got = out ? std::string_view(*out) : "(absent)";
  if ((status == cw::FormatStatus::Ok) != out.has_value())
    fail("appendFormat and formatWithArgs disagree", format, got, appended);
  if (out && appended != "kept|" + *out) fail("appendFormat lost what was in its buffer", format, appended, *out);
  if (status == cw::FormatStatus::Ok && !verdict.fits)
    fail("formatted, but the compile-time check refuses it", format, got, "(refused)");
  if (status == cw::FormatStatus::DoesNotFit && verdict.fits)
    fail("refused, but the compile-time check passes it", format, got, "(a message)");
  // A value out of range may stop the formatter before it meets a fault of
  // the format further on: that status says nothing about the verdict.
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  std::vector<cw::FormatArg> args;
  std::string_view format = input;
  const std::size_t bar = input.find('|');
  if (bar != std::string_view::npos && bar <= 16) {
    for (const char letter : input.substr(0, bar)) args.push_back(argumentFor(letter));
    format = input.substr(bar + 1);
  } else {
    for (const char letter : std::string_view("isdo0pxuc")) args.push_back(argumentFor(letter));
  }

  const std::optional<std::string> out = cw::formatWithArgs(format, cw::FormatArgs(args.data(), args.size()));

  if (format.find('%') == std::string_view::npos) {
    if (!out || *out != format) fail("text without directives was not copied", format, out ? *out : "(absent)", format);
  }
  if (format == "%%" && (!out || *out != "%")) fail("%% is not one percent sign", format, out ? *out : "(absent)", "%");
  checkAgainstC(format, args, out);
  checkVerdict(format, args, out);

  // Formatting the result again through "%@" hands it back unchanged.
  if (out) {
    const cw::FormatArg again[] = {cw::FormatArg(*out)};
    const auto copy = cw::formatWithArgs("%@", cw::FormatArgs(again, 1));
    if (!copy || *copy != *out) fail("%@ of a string altered it", "%@", copy ? *copy : "(absent)", *out);
  }
  return 0;
}

#include <gtest/gtest.h>

#include <climits>
#include <memory>
#include <string>

#include "Platform/Format.h"

namespace cw {
namespace {

using namespace std::literals;

class Described : public Object {
public:
  explicit Described(std::string text) : text_(std::move(text)) {}
  std::string description() const override { return text_; }

private:
  std::string text_;
};

TEST(Format, PrintfConversionsMatchTheCLibrary) {
  EXPECT_EQ(format("%d|%i|%5d|%-5d|%05d|%+d|% d", 42, -7, 42, 42, 42, 42, 42), "42|-7|   42|42   |00042|+42| 42");
  EXPECT_EQ(format("%u %x %X %#x %o %#o", 300u, 255, 255, 255, 8, 8), "300 ff FF 0xff 10 010");
  EXPECT_EQ(format("%.3d|%ld|%lld|%zu|%hhd|%hd", 7, 1L << 40, -(1LL << 50), std::size_t{9}, 300, 70000),
            "007|1099511627776|-1125899906842624|9|44|4464");
  EXPECT_EQ(format("%f|%.2f|%8.3f|%-8.1f|%e|%g|%G", 3.5, 3.14159, 2.5, 1.25, 12345.678, 0.0001, 1e-10),
            "3.500000|3.14|   2.500|1.2     |1.234568e+04|0.0001|1E-10");
  EXPECT_EQ(format("%c%c%c", 'a', 'b', 'c'), "abc");
  EXPECT_EQ(format("%s and %.2s", "text", "cut"), "text and cu");
  // As printf: %u of a negative int reads it as unsigned int, %lu as unsigned long.
  EXPECT_EQ(format("%u %lx", -1, -1L), "4294967295 ffffffffffffffff");
  // Foundation's long forms.
  EXPECT_EQ(format("%D %U %O", -5L, 5UL, 8UL), "-5 5 10");
}

TEST(Format, IntegersKeepTheirValueAcrossSignedness) {
  EXPECT_EQ(format("%d", ULLONG_MAX), "18446744073709551615");
  EXPECT_EQ(format("%d", 4000000000u), "4000000000");
  EXPECT_EQ(format("%d", LLONG_MIN), "-9223372036854775808");
  EXPECT_EQ(format("%llu", ULLONG_MAX), "18446744073709551615");
}

TEST(Format, CharactersAndUnicode) {
  // A byte above 0x7F in a (signed) char is that byte, as printf writes it.
  EXPECT_EQ(format("%c%c", '\xC3', '\xA4'), "\xC3\xA4");
  EXPECT_EQ(format("%C", 0x263A), "\xE2\x98\xBA");
  EXPECT_EQ(format("%lc", 0x1F600), "\xF0\x9F\x98\x80");
  // Surrogates and values beyond Unicode have no UTF-8 form.
  EXPECT_EQ(format("%C", 0xD800), std::nullopt);
  EXPECT_EQ(format("%C", 0x110000), std::nullopt);
  EXPECT_EQ(format("%C", -1), std::nullopt);
}

TEST(Format, ObjectPlaceholder) {
  const auto object = std::make_shared<Described>("<a report>");
  const std::shared_ptr<Described> none;
  const std::optional<std::string> absentText;
  EXPECT_EQ(format("[%@]", "plain"), "[plain]");
  EXPECT_EQ(format("[%@]", std::string("owned")), "[owned]");
  EXPECT_EQ(format("[%@]", "view"sv), "[view]");
  EXPECT_EQ(format("[%@]", object), "[<a report>]");
  EXPECT_EQ(format("[%@]", static_cast<const Object*>(object.get())), "[<a report>]");
  EXPECT_EQ(format("[%@] [%@] [%@] [%@]", nullptr, none, absentText, static_cast<const char*>(nullptr)),
            "[(null)] [(null)] [(null)] [(null)]");
  EXPECT_EQ(format("[%@]", std::nullopt), "[(null)]");
  // The default description names the object without crashing.
  const auto plain = std::make_shared<Object>();
  EXPECT_EQ(format("%@", plain).value().rfind("<object ", 0), 0u);
}

TEST(Format, PercentSignsInArgumentsAreNotReinterpreted) {
  EXPECT_EQ(format("%@ and %s", "100% %d %@ %n", "%s%s%s"), "100% %d %@ %n and %s%s%s");
  EXPECT_EQ(format("%@", std::make_shared<Described>("%x%n")), "%x%n");
  EXPECT_EQ(format("%%|%d%%|%%%@", 5, "x"), "%|5%|%x");
}

TEST(Format, WidthAndPrecisionOfStringsCountCharacters) {
  EXPECT_EQ(format("[%6@][%-6@][%.2@]", "abc", "abc", "abcdef"), "[   abc][abc   ][ab]");
  // "äöü" is three characters in six bytes.
  EXPECT_EQ(format("[%5@]", "\xC3\xA4\xC3\xB6\xC3\xBC"), "[  \xC3\xA4\xC3\xB6\xC3\xBC]");
  EXPECT_EQ(format("[%.2@]", "\xC3\xA4\xC3\xB6\xC3\xBC"), "[\xC3\xA4\xC3\xB6]");
  EXPECT_EQ(format("[%.1s]", "\xF0\x9F\x98\x80z"), "[\xF0\x9F\x98\x80]");
  EXPECT_EQ(format("[%8@]", nullptr), "[  (null)]");
  EXPECT_EQ(format("[%.3@]", std::make_shared<Described>("description")), "[des]");
}

TEST(Format, StarWidthAndPrecision) {
  EXPECT_EQ(format("[%*d]", 5, 42), "[   42]");
  EXPECT_EQ(format("[%*d]", -5, 42), "[42   ]");
  EXPECT_EQ(format("[%-*d]", 4, 1), "[1   ]");
  EXPECT_EQ(format("[%.*f]", 2, 3.14159), "[3.14]");
  EXPECT_EQ(format("[%.*f]", -1, 3.5), "[3.500000]");  // negative: as if none given
  EXPECT_EQ(format("[%.f]", 3.7), "[4]");              // bare dot: precision 0
  EXPECT_EQ(format("[%*.*@]", 6, 2, "abcdef"), "[    ab]");
  // Widths come from integer arguments only, within a sane bound.
  EXPECT_EQ(format("%*d", 2.0, 1), std::nullopt);
  EXPECT_EQ(format("%*d", 1 << 20, 1), std::nullopt);
  EXPECT_EQ(format("%1000000d", 1), std::nullopt);
}

TEST(Format, PositionalArguments) {
  EXPECT_EQ(format("%2$@ %1$@ %2$@", "a", "b"), "b a b");
  EXPECT_EQ(format("%1$*2$d|", 7, 4), "   7|");
  EXPECT_EQ(format("%1$.*2$f", 3.14159, 2), "3.14");
  EXPECT_EQ(format("%1$.*2$f", 3.5, -1), "3.500000");
  EXPECT_EQ(format("%3$@", "a", "b"), std::nullopt);
  // Mixing positional and sequential arguments has no agreed meaning.
  EXPECT_EQ(format("%2$@ %@", "a", "b"), std::nullopt);
  EXPECT_EQ(format("%@ %1$@", "a"), std::nullopt);
}

TEST(Format, MissingOrMismatchedArgumentsGiveAbsent) {
  EXPECT_EQ(format("%@ %@", "only one"), std::nullopt);
  EXPECT_EQ(format("%d"), std::nullopt);
  EXPECT_EQ(format("%d", "text"), std::nullopt);
  EXPECT_EQ(format("%d", 1.5), std::nullopt);
  EXPECT_EQ(format("%f", 1), std::nullopt);
  EXPECT_EQ(format("%s", 12), std::nullopt);
  EXPECT_EQ(format("%@", 12), std::nullopt);
  EXPECT_EQ(format("%s", std::make_shared<Described>("x")), std::nullopt);  // objects only through %@
  EXPECT_EQ(format("%c", "c"), std::nullopt);
  int local = 0;
  EXPECT_EQ(format("%d", &local), std::nullopt);
  EXPECT_EQ(format("%@", &local), std::nullopt);
  // Extra arguments are simply unused.
  EXPECT_EQ(format("none", 1, 2), "none");
}

TEST(Format, RefusesWritesThroughPointersAndMalformedDirectives) {
  int target = 1234;
  EXPECT_EQ(format("%n", &target), std::nullopt);
  EXPECT_EQ(format("abc%hhn", &target), std::nullopt);
  EXPECT_EQ(format("%1$n", &target), std::nullopt);
  EXPECT_EQ(target, 1234);
  EXPECT_EQ(format("trailing %"), std::nullopt);
  EXPECT_EQ(format("%y", 1), std::nullopt);
  EXPECT_EQ(format("%lhd", 1), std::nullopt);
  EXPECT_EQ(format("%llld", 1), std::nullopt);
  // A NUL byte is neither a flag nor a length modifier.
  const FormatArg five[] = {FormatArg(5)};
  EXPECT_EQ(formatWithArgs("x%\0d"sv, five), std::nullopt);
  EXPECT_EQ(formatWithArgs("x%l\0d"sv, five), std::nullopt);
  // NUL bytes outside directives are ordinary text.
  EXPECT_EQ(formatWithArgs("a\0%d"sv, five),
            "a\0"s
            "5");
}

TEST(Format, PointersAndEmptyFormats) {
  int local = 0;
  const std::string expected = "0x" + [&] {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%llx", static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(&local)));
    return std::string(buffer);
  }();
  EXPECT_EQ(format("%p", &local), expected);
  EXPECT_EQ(format("%p", nullptr), "0x0");
  EXPECT_EQ(format(""), "");
  EXPECT_EQ(format("no directives"), "no directives");
}

}  // namespace
}  // namespace cw

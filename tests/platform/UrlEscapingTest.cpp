// Percent-escaping by RFC 2396's URL character set, UTF-8 bytes as %XX.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "Platform/UrlEscaping.h"

namespace cw {
namespace {

TEST(UrlEscapingTest, EveryAsciiByteIsKeptOrEscapedByTheRule) {
  const std::string kept =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"
      "-_.!~*'()"
      ";/?:@&=+$,";
  for (int byte = 0; byte < 0x80; ++byte) {
    const std::string one(1, static_cast<char>(byte));
    char hex[4];
    std::snprintf(hex, sizeof hex, "%%%02X", byte);
    const std::string expected = kept.find(static_cast<char>(byte)) != std::string::npos ? one : hex;
    EXPECT_EQ(stringByAddingPercentEscapes(one), expected) << "byte " << byte;
  }
}

TEST(UrlEscapingTest, NonAsciiBytesAreEscapedInUpperCaseAndInvalidTextGivesAbsent) {
  // Each byte 0x80..0xFF as the lead or continuation of valid two-byte forms.
  for (int byte = 0x80; byte <= 0xBF; ++byte) {
    const std::string text = {static_cast<char>(0xC2), static_cast<char>(byte)};
    char hex[8];
    std::snprintf(hex, sizeof hex, "%%C2%%%02X", byte);
    EXPECT_EQ(stringByAddingPercentEscapes(text), std::string(hex));
  }
  EXPECT_EQ(stringByAddingPercentEscapes("Gr\xC3\xBC\xC3\x9F"
                                         "e \xE2\x82\xAC \xF0\x9F\x92\xA5"),
            "Gr%C3%BC%C3%9Fe%20%E2%82%AC%20%F0%9F%92%A5");
  // A lone byte of 0x80 or above is never valid UTF-8.
  for (int byte = 0x80; byte <= 0xFF; ++byte)
    EXPECT_EQ(stringByAddingPercentEscapes(std::string(1, static_cast<char>(byte))), std::nullopt) << byte;
  EXPECT_EQ(stringByAddingPercentEscapes("ok \xED\xA0\x80"), std::nullopt);  // a surrogate
  EXPECT_EQ(stringByAddingPercentEscapes(std::string("a\0b", 3)), "a%00b");
  EXPECT_EQ(stringByAddingPercentEscapes(""), "");
}

TEST(UrlEscapingTest, ExtraCharactersAreEscapedOnlyWhenAsked) {
  EXPECT_EQ(stringByAddingPercentEscapes("a&b=c?d#e", "&"), "a%26b=c?d%23e");
  EXPECT_EQ(stringByAddingPercentEscapes("a&b=c?d#e"), "a&b=c?d%23e");
  EXPECT_EQ(stringByAddingPercentEscapes("\xFF&", "&"), std::nullopt);
}

TEST(UrlEscapingTest, MailFieldValuesKeepOnlyTheUnreservedCharacters) {
  const std::string kept = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-._~";
  for (int byte = 0; byte < 0x80; ++byte) {
    const std::string one(1, static_cast<char>(byte));
    char hex[4];
    std::snprintf(hex, sizeof hex, "%%%02X", byte);
    EXPECT_EQ(stringByAddingPercentEscapesExceptUnreserved(one),
              kept.find(static_cast<char>(byte)) != std::string::npos ? one : hex)
        << "byte " << byte;
  }
  EXPECT_EQ(stringByAddingPercentEscapesExceptUnreserved("\xC3\xBC"), "%C3%BC");
  EXPECT_EQ(stringByAddingPercentEscapesExceptUnreserved("\xC3"), std::nullopt);
}

}  // namespace
}  // namespace cw

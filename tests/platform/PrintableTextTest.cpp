// Text from a script made safe for a log line.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Platform/PrintableText.h"

namespace cw {
namespace {

TEST(PrintableTextTest, ControlsAndBrokenBytesAreEscapedPrintableTextIsNot) {
  struct Case {
    std::string text, printable;
  };
  const std::vector<Case> cases = {
      {"https://paste.example/abc", "https://paste.example/abc"},
      {"Grüße 東京 💥", "Grüße 東京 💥"},
      {"addr\n2024-01-01 00:00:00.000 CrashWatcher[1:1] forged",
       "addr\\n2024-01-01 00:00:00.000 CrashWatcher[1:1] forged"},
      {"a\r\nb\tc", "a\\r\\nb\\tc"},
      {"\x1b[31mred\x1b[0m\x07", "\\x1b[31mred\\x1b[0m\\x07"},
      {std::string("nul\0del\x7f", 8), "nul\\x00del\\x7f"},
      {"back\\slash \\n", "back\\\\slash \\\\n"},
      {"csi \xC2\x9B"
       "2J nel \xC2\x85",
       "csi \\u{009b}2J nel \\u{0085}"},
      {"ls \xE2\x80\xA8 rlo \xE2\x80\xAE isolate \xE2\x81\xA6", "ls \\u{2028} rlo \\u{202e} isolate \\u{2066}"},
      {"bad \xFF\xC3 end \xED\xA0\x80", "bad \\xff\\xc3 end \\xed\\xa0\\x80"},
      {"cut \xE2\x82", "cut \\xe2\\x82"},
      {"", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(printableForLog(c.text), c.printable) << c.printable;
  // Whatever comes in, one printable line goes out.
  std::string everyByte;
  for (int byte = 0; byte < 256; ++byte) everyByte.push_back(static_cast<char>(byte));
  for (const unsigned char c : printableForLog(everyByte)) EXPECT_TRUE(c >= 0x20 && c != 0x7F) << int(c);
}

}  // namespace
}  // namespace cw

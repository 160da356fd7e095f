// Fuzzes cw::stringByAddingPercentEscapes, which builds every field of the
// mailto: URL handed to the workspace.
//
// Input: "<also-escape characters>\0<text>"; without a NUL the whole input is
// the text. The result must be absent exactly for invalid UTF-8, hold only
// URL characters and "%XX" triplets, never leave a character of the
// also-escape set bare, and decode back to the input byte for byte.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "Platform/UrlEscaping.h"
#include "Platform/Utf8.h"

namespace {

bool isUrlCharacter(char c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
  return std::string_view("-_.!~*'();/?:@&=+$,").find(c) != std::string_view::npos;
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;  // lower case is not what the escaper writes
}

[[noreturn]] void fail(const char* what, std::string_view text, std::string_view escaped) {
  std::fprintf(stderr, "url oracle: %s\n  text:    [%.*s]\n  escaped: [%.*s]\n", what, static_cast<int>(text.size()),
               text.data(), static_cast<int>(escaped.size()), escaped.data());
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  std::string_view alsoEscape;
  std::string_view text = input;
  const std::size_t nul = input.find('\0');
  if (nul != std::string_view::npos) {
    alsoEscape = input.substr(0, nul);
    text = input.substr(nul + 1);
  }

  const std::optional<std::string> escaped = cw::stringByAddingPercentEscapes(text, alsoEscape);
  if (escaped.has_value() != cw::isValidUtf8(text)) fail("absent does not match invalid UTF-8", text, "");
  if (!escaped) return 0;

  std::string decoded;
  for (std::size_t i = 0; i < escaped->size(); ++i) {
    const char c = (*escaped)[i];
    if (c == '%') {
      if (i + 2 >= escaped->size()) fail("a truncated escape", text, *escaped);
      const int high = hexValue((*escaped)[i + 1]);
      const int low = hexValue((*escaped)[i + 2]);
      if (high < 0 || low < 0) fail("an escape that is not two upper-case hex digits", text, *escaped);
      const char byte = static_cast<char>(high * 16 + low);
      if (isUrlCharacter(byte) && alsoEscape.find(byte) == std::string_view::npos)
        fail("a URL character was escaped needlessly", text, *escaped);
      decoded.push_back(byte);
      i += 2;
      continue;
    }
    if (!isUrlCharacter(c)) fail("a character outside the URL set was left bare", text, *escaped);
    if (alsoEscape.find(c) != std::string_view::npos)
      fail("a character of the also-escape set was left bare", text, *escaped);
    decoded.push_back(c);
  }
  if (decoded != text) fail("the escaped text does not decode to the input", text, *escaped);
  return 0;
}

#include "Platform/UrlEscaping.h"

#include "Platform/Utf8.h"

namespace cw {
namespace {

bool isUrlCharacter(unsigned char c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
  constexpr std::string_view kMarksAndReserved = "-_.!~*'();/?:@&=+$,";
  return kMarksAndReserved.find(static_cast<char>(c)) != std::string_view::npos;
}

}  // namespace

std::optional<std::string> stringByAddingPercentEscapes(std::string_view text, std::string_view alsoEscape) {
  if (!isValidUtf8(text)) return std::nullopt;
  constexpr char kHex[] = "0123456789ABCDEF";
  std::string escaped;
  escaped.reserve(text.size());
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (isUrlCharacter(c) && alsoEscape.find(ch) == std::string_view::npos) {
      escaped.push_back(ch);
    } else {
      escaped.push_back('%');
      escaped.push_back(kHex[c >> 4]);
      escaped.push_back(kHex[c & 0x0F]);
    }
  }
  return escaped;
}

}  // namespace cw

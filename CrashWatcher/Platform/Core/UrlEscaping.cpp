#include "Platform/UrlEscaping.h"

#include "Platform/Utf8.h"

namespace cw {
namespace {

bool isUrlCharacter(unsigned char c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
  constexpr std::string_view kMarksAndReserved = "-_.!~*'();/?:@&=+$,";
  return kMarksAndReserved.find(static_cast<char>(c)) != std::string_view::npos;
}

constexpr char kHex[] = "0123456789ABCDEF";

void appendEscaped(std::string& out, unsigned char c) {
  out.push_back('%');
  out.push_back(kHex[c >> 4]);
  out.push_back(kHex[c & 0x0F]);
}

}  // namespace

bool isUnreservedUrlCharacter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
         c == '_' || c == '~';
}

std::optional<std::string> stringByAddingPercentEscapesExceptUnreserved(std::string_view text) {
  if (!isValidUtf8(text)) return std::nullopt;
  std::string escaped;
  escaped.reserve(text.size());
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (isUnreservedUrlCharacter(ch))
      escaped.push_back(ch);
    else
      appendEscaped(escaped, c);
  }
  return escaped;
}

std::optional<std::string> stringByAddingPercentEscapes(std::string_view text, std::string_view alsoEscape) {
  if (!isValidUtf8(text)) return std::nullopt;
  std::string escaped;
  escaped.reserve(text.size());
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (isUrlCharacter(c) && alsoEscape.find(ch) == std::string_view::npos) {
      escaped.push_back(ch);
    } else {
      appendEscaped(escaped, c);
    }
  }
  return escaped;
}

}  // namespace cw

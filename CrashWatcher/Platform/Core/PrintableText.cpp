#include "Platform/PrintableText.h"

#include <cstdio>

#include "Platform/Utf8.h"

namespace cw {
namespace {

// The length of the valid UTF-8 sequence at the start of `text`, or 0.
std::size_t validSequenceLength(std::string_view text) {
  const auto lead = static_cast<unsigned char>(text[0]);
  const std::size_t length = lead < 0xC2 ? 0 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : lead < 0xF5 ? 4 : 0;
  if (length == 0 || text.size() < length) return 0;
  return isValidUtf8(text.substr(0, length)) ? length : 0;
}

char32_t decode(std::string_view sequence) {
  const auto byte = [&](std::size_t i) { return static_cast<char32_t>(static_cast<unsigned char>(sequence[i])); };
  if (sequence.size() == 2) return (byte(0) & 0x1F) << 6 | (byte(1) & 0x3F);
  if (sequence.size() == 3) return (byte(0) & 0x0F) << 12 | (byte(1) & 0x3F) << 6 | (byte(2) & 0x3F);
  return (byte(0) & 0x07) << 18 | (byte(1) & 0x3F) << 12 | (byte(2) & 0x3F) << 6 | (byte(3) & 0x3F);
}

// Characters that break or redraw a line, or reorder what a reader sees.
bool isInvisibleControl(char32_t c) {
  return (c >= 0x80 && c <= 0x9F) || c == 0x2028 || c == 0x2029 || (c >= 0x202A && c <= 0x202E) ||
         (c >= 0x2066 && c <= 0x2069);
}

void appendFormatted(std::string& out, const char* format, unsigned value) {
  char buffer[16];
  const int length = std::snprintf(buffer, sizeof buffer, format, value);
  out.append(buffer, static_cast<std::size_t>(length));
}

}  // namespace

std::string printableForLog(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  while (!text.empty()) {
    const auto c = static_cast<unsigned char>(text[0]);
    std::size_t consumed = 1;
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c < 0x20 || c == 0x7F) {
      appendFormatted(out, "\\x%02x", c);
    } else if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else if (const std::size_t length = validSequenceLength(text); length == 0) {
      appendFormatted(out, "\\x%02x", c);
    } else {
      consumed = length;
      const char32_t character = decode(text.substr(0, length));
      if (isInvisibleControl(character))
        appendFormatted(out, "\\u{%04x}", static_cast<unsigned>(character));
      else
        out.append(text.substr(0, length));
    }
    text.remove_prefix(consumed);
  }
  return out;
}

}  // namespace cw

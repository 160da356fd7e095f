#include "Platform/MailtoURL.h"

#include <algorithm>

#include "Platform/UrlEscaping.h"

namespace cw {
namespace {

constexpr std::string_view kEllipsis = "\xE2\x80\xA6";  // U+2026, 9 bytes escaped

std::size_t escapedLength(std::string_view text) {
  std::size_t length = 0;
  for (const char c : text) length += isUnreservedUrlCharacter(c) ? 1 : 3;
  return length;
}

std::size_t codePointLength(unsigned char lead) {
  if (lead < 0x80) return 1;
  if (lead >= 0xF0) return 4;
  if (lead >= 0xE0) return 3;
  return 2;
}

// The longest start of valid UTF-8 `text` whose escaped form, with the
// ellipsis after it, takes at most `room` bytes; `text` itself when it fits.
// Cut between characters only, so no escape and no character is split.
std::string shortened(std::string_view text, std::size_t room) {
  if (escapedLength(text) <= room) return std::string(text);
  const std::size_t ellipsis = escapedLength(kEllipsis);
  if (room < ellipsis) return {};
  std::size_t used = ellipsis;
  std::size_t end = 0;
  while (end < text.size()) {
    const std::size_t length = std::min(codePointLength(static_cast<unsigned char>(text[end])), text.size() - end);
    const std::size_t cost = escapedLength(text.substr(end, length));
    if (used + cost > room) break;
    used += cost;
    end += length;
  }
  std::string result(text.substr(0, end));
  result += kEllipsis;
  return result;
}

}  // namespace

std::string replacingControlCharactersWithSpaces(std::string_view text) {
  std::string line;
  line.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x20 || c == 0x7F) {
      line.push_back(' ');
    } else if (c == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
               static_cast<unsigned char>(text[i + 1]) <= 0x9F) {
      line.push_back(' ');  // U+0080..U+009F, two bytes in UTF-8
      ++i;
    } else {
      line.push_back(static_cast<char>(c));
    }
  }
  return line;
}

std::optional<std::string> mailtoURL(std::string_view recipient, std::string_view subject, std::string_view body,
                                     std::size_t maxLength) {
  const std::string subjectLine = replacingControlCharactersWithSpaces(subject);
  const auto escapedRecipient = stringByAddingPercentEscapes(recipient, "?&");
  auto escapedSubject = stringByAddingPercentEscapesExceptUnreserved(subjectLine);
  auto escapedBody = stringByAddingPercentEscapesExceptUnreserved(body);
  if (!escapedRecipient || !escapedSubject || !escapedBody) return std::nullopt;

  constexpr std::string_view kScheme = "mailto:", kSubjectKey = "?SUBJECT=", kBodyKey = "&BODY=";
  const std::size_t fixed = kScheme.size() + escapedRecipient->size() + kSubjectKey.size() + kBodyKey.size();
  if (fixed > maxLength) return std::nullopt;
  const std::size_t room = maxLength - fixed;
  if (escapedSubject->size() + escapedBody->size() > room) {
    const std::size_t bodyNeeds = escapedBody->size();
    const std::size_t subjectRoom =
        std::min(escapedSubject->size(), std::max(room > bodyNeeds ? room - bodyNeeds : 0, room / 4));
    escapedSubject = stringByAddingPercentEscapesExceptUnreserved(shortened(subjectLine, subjectRoom));
    escapedBody = stringByAddingPercentEscapesExceptUnreserved(shortened(body, room - escapedSubject->size()));
  }
  std::string url;
  url.reserve(fixed + escapedSubject->size() + escapedBody->size());
  url.append(kScheme).append(*escapedRecipient);
  url.append(kSubjectKey).append(*escapedSubject);
  url.append(kBodyKey).append(*escapedBody);
  return url;
}

}  // namespace cw

// Fuzzes cw::mailtoURL, the report's URL for every mail program.
//
// Input: one byte for the bound (40 + 4 x its value), then "<subject>\0<body>";
// without a NUL the rest is the subject. The URL must be absent exactly when a
// text is not valid UTF-8 or the bound leaves no room for the fields; else it
// fits the bound, holds exactly the SUBJECT and BODY fields with only
// unreserved characters and "%XX" triplets in their values, and each value
// decodes to its text (the subject on one line), or to a start of it followed
// by "…" when it had to be shortened.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "Platform/MailtoURL.h"
#include "Platform/UrlEscaping.h"
#include "Platform/Utf8.h"

namespace {

constexpr std::string_view kRecipient = "crashes@vellumdrift.example";
constexpr std::string_view kEllipsis = "\xE2\x80\xA6";

[[noreturn]] void fail(const char* what, std::string_view url) {
  std::fprintf(stderr, "mailto oracle: %s\n  url: [%.*s]\n", what, static_cast<int>(url.size()), url.data());
  std::abort();
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string decodedValue(std::string_view value, std::string_view url) {
  std::string decoded;
  for (std::size_t i = 0; i < value.size(); ++i) {
    if (value[i] != '%') {
      if (!cw::isUnreservedUrlCharacter(value[i])) fail("a reserved character left bare in a value", url);
      decoded.push_back(value[i]);
      continue;
    }
    if (i + 2 >= value.size() || hexValue(value[i + 1]) < 0 || hexValue(value[i + 2]) < 0) fail("a broken escape", url);
    decoded.push_back(static_cast<char>(hexValue(value[i + 1]) * 16 + hexValue(value[i + 2])));
    i += 2;
  }
  if (!cw::isValidUtf8(decoded)) fail("a value cut inside a character", url);
  return decoded;
}

void expectTextOrShortened(const std::string& decoded, const std::string& text, std::string_view url) {
  if (decoded == text || decoded.empty()) return;
  if (decoded.size() < kEllipsis.size() ||
      decoded.compare(decoded.size() - kEllipsis.size(), kEllipsis.size(), kEllipsis) != 0 ||
      text.compare(0, decoded.size() - kEllipsis.size(), decoded, 0, decoded.size() - kEllipsis.size()) != 0)
    fail("a value neither its text nor a shortened start of it", url);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::size_t bound = 40 + 4 * std::size_t{data[0]};
  const std::string_view input(reinterpret_cast<const char*>(data + 1), size - 1);
  const std::size_t nul = input.find('\0');
  const std::string subject(input.substr(0, nul));
  const std::string body(nul == std::string_view::npos ? std::string_view() : input.substr(nul + 1));

  const auto url = cw::mailtoURL(kRecipient, subject, body, bound);
  // "mailto:", the recipient and the two keys must fit, whatever the texts.
  const bool roomForFields = bound >= 7 + kRecipient.size() + 9 + 6;
  if (url.has_value() != (roomForFields && cw::isValidUtf8(subject) && cw::isValidUtf8(body)))
    fail("absent, or present, when it should not be", url.value_or(""));
  if (!url) return 0;
  if (url->size() > bound) fail("longer than the bound", *url);
  const std::string prefix = "mailto:" + std::string(kRecipient) + "?SUBJECT=";
  const std::size_t bodyKey = url->find("&BODY=");
  if (url->compare(0, prefix.size(), prefix) != 0 || bodyKey == std::string::npos ||
      url->find('&', bodyKey + 1) != std::string::npos)
    fail("not exactly the recipient, SUBJECT and BODY", *url);
  const std::string_view all(*url);
  expectTextOrShortened(decodedValue(all.substr(prefix.size(), bodyKey - prefix.size()), all),
                        cw::replacingControlCharactersWithSpaces(subject), all);
  expectTextOrShortened(decodedValue(all.substr(bodyKey + 6), all), body, all);
  return 0;
}

#include "Platform/PropertyListScalars.h"

#include <array>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>

namespace cw {
namespace plist_scalars {

bool isXmlSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

std::string_view trimXmlSpace(std::string_view text) {
  while (!text.empty() && isXmlSpace(text.front())) text.remove_prefix(1);
  while (!text.empty() && isXmlSpace(text.back())) text.remove_suffix(1);
  return text;
}

bool isDigit(char c) {
  return c >= '0' && c <= '9';
}

DecimalPrefix scanDecimalPrefix(std::string_view text) {
  std::size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  const std::size_t mantissaStart = i;
  std::size_t integerDigits = 0, fractionDigits = 0;
  while (i < text.size() && isDigit(text[i])) ++i, ++integerDigits;
  std::size_t mantissaEnd = i;
  if (i < text.size() && text[i] == '.') {
    std::size_t j = i + 1;
    while (j < text.size() && isDigit(text[j])) ++j, ++fractionDigits;
    if (integerDigits + fractionDigits > 0) mantissaEnd = i = j;
  }
  if (integerDigits + fractionDigits == 0) return {};
  long exponent = 0;
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    std::size_t j = i + 1;
    bool negativeExponent = false;
    if (j < text.size() && (text[j] == '+' || text[j] == '-')) negativeExponent = text[j++] == '-';
    if (j < text.size() && isDigit(text[j])) {
      while (j < text.size() && isDigit(text[j])) {
        if (exponent < 100000) exponent = exponent * 10 + (text[j] - '0');
        ++j;
      }
      if (negativeExponent) exponent = -exponent;
      i = j;
    }
  }
  DecimalPrefix out;
  out.length = i;
  const std::string_view unsignedText = text.substr(mantissaStart, i - mantissaStart);
  double magnitude = 0;
  const auto [end, ec] = std::from_chars(unsignedText.data(), unsignedText.data() + unsignedText.size(), magnitude);
  if (ec == std::errc::result_out_of_range) {
    // Decide overflow or underflow from the position of the first significant digit.
    const std::string_view mantissa = text.substr(mantissaStart, mantissaEnd - mantissaStart);
    long leadingPosition = 0;  // decimal exponent of the first non-zero digit
    bool found = false;
    long position = static_cast<long>(integerDigits) - 1;
    for (const char c : mantissa) {
      if (c == '.') continue;
      if (c != '0') {
        leadingPosition = position;
        found = true;
        break;
      }
      --position;
    }
    magnitude = found && leadingPosition + exponent > 0 ? std::numeric_limits<double>::infinity() : 0.0;
  } else if (ec != std::errc() || end != unsignedText.data() + unsignedText.size()) {
    return {};
  }
  out.value = negative ? -magnitude : magnitude;
  return out;
}

namespace {

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const char x = a[i] >= 'A' && a[i] <= 'Z' ? static_cast<char>(a[i] - 'A' + 'a') : a[i];
    if (x != b[i]) return false;
  }
  return true;
}

}  // namespace

std::optional<double> parseReal(std::string_view raw) {
  std::string_view text = trimXmlSpace(raw);
  bool negative = false;
  std::string_view unsignedText = text;
  if (!unsignedText.empty() && (unsignedText[0] == '+' || unsignedText[0] == '-')) {
    negative = unsignedText[0] == '-';
    unsignedText.remove_prefix(1);
  }
  if (equalsIgnoringCase(unsignedText, "nan")) return std::numeric_limits<double>::quiet_NaN();
  if (equalsIgnoringCase(unsignedText, "inf") || equalsIgnoringCase(unsignedText, "infinity"))
    return negative ? -std::numeric_limits<double>::infinity() : std::numeric_limits<double>::infinity();
  const DecimalPrefix prefix = scanDecimalPrefix(text);
  if (prefix.length == 0 || prefix.length != text.size()) return std::nullopt;
  return prefix.value;
}

std::optional<std::int64_t> parseInteger(std::string_view raw) {
  std::string_view text = trimXmlSpace(raw);
  bool negative = false;
  if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
    negative = text[0] == '-';
    text.remove_prefix(1);
  }
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    text.remove_prefix(2);
  }
  if (text.empty() || text[0] == '+' || text[0] == '-') return std::nullopt;
  std::uint64_t magnitude = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), magnitude, base);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  constexpr std::uint64_t kMaxPositive = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
  if (!negative) {
    if (magnitude > kMaxPositive) return std::nullopt;
    return static_cast<std::int64_t>(magnitude);
  }
  if (magnitude > kMaxPositive + 1) return std::nullopt;
  if (magnitude == kMaxPositive + 1) return std::numeric_limits<std::int64_t>::min();
  return -static_cast<std::int64_t>(magnitude);
}

namespace {
constexpr std::string_view kBase64Alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
}  // namespace

namespace {

int base64Digit(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

}  // namespace

std::optional<PlistData> decodeBase64(std::string_view text) {
  PlistData out;
  out.bytes.reserve(text.size() * 3 / 4);
  std::uint32_t accumulator = 0;
  int bits = 0;
  int padding = 0;
  std::size_t digits = 0;
  for (const char c : text) {
    if (isXmlSpace(c)) continue;
    if (c == '=') {
      ++padding;
      continue;
    }
    const int digit = base64Digit(c);
    if (digit < 0 || padding > 0) return std::nullopt;
    ++digits;
    accumulator = (accumulator << 6) | static_cast<std::uint32_t>(digit);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out.bytes.push_back(static_cast<std::uint8_t>((accumulator >> bits) & 0xFF));
    }
  }
  // A lone trailing digit cannot carry a byte; padding beyond the group is garbage.
  if (digits % 4 == 1 || padding > 2 || (padding > 0 && (digits + static_cast<std::size_t>(padding)) % 4 != 0))
    return std::nullopt;
  return out;
}

std::string encodeBase64(const std::vector<std::uint8_t>& bytes) {
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 2 < bytes.size(); i += 3) {
    const std::uint32_t group = (std::uint32_t{bytes[i]} << 16) | (std::uint32_t{bytes[i + 1]} << 8) | bytes[i + 2];
    for (int shift = 18; shift >= 0; shift -= 6) out.push_back(kBase64Alphabet[(group >> shift) & 0x3F]);
  }
  const std::size_t rest = bytes.size() - i;
  if (rest > 0) {
    std::uint32_t group = std::uint32_t{bytes[i]} << 16;
    if (rest == 2) group |= std::uint32_t{bytes[i + 1]} << 8;
    out.push_back(kBase64Alphabet[(group >> 18) & 0x3F]);
    out.push_back(kBase64Alphabet[(group >> 12) & 0x3F]);
    out.push_back(rest == 2 ? kBase64Alphabet[(group >> 6) & 0x3F] : '=');
    out.push_back('=');
  }
  return out;
}

std::string formatReal(double value) {
  if (std::isnan(value)) return "nan";
  if (std::isinf(value)) return value > 0 ? "+infinity" : "-infinity";
  std::array<char, 64> buffer{};
  const auto [end, ec] = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value);
  if (ec != std::errc()) return "0";
  return std::string(buffer.data(), end);
}

}  // namespace plist_scalars

using plist_scalars::isDigit;

std::optional<PlistDate> parseIso8601Date(std::string_view text) {
  // YYYY-MM-DDTHH:MM:SS[.fraction]Z
  const auto digits = [&text](std::size_t at, std::size_t count, int& value) {
    if (at + count > text.size()) return false;
    value = 0;
    for (std::size_t i = at; i < at + count; ++i) {
      if (!isDigit(text[i])) return false;
      value = value * 10 + (text[i] - '0');
    }
    return true;
  };
  int year, month, day, hour, minute, second;
  if (!digits(0, 4, year) || text.size() < 20 || text[4] != '-' || !digits(5, 2, month) || text[7] != '-' ||
      !digits(8, 2, day) || text[10] != 'T' || !digits(11, 2, hour) || text[13] != ':' || !digits(14, 2, minute) ||
      text[16] != ':' || !digits(17, 2, second))
    return std::nullopt;
  std::size_t i = 19;
  std::int64_t nanoseconds = 0;
  if (text[i] == '.') {
    ++i;
    std::int64_t scale = 100000000;
    const std::size_t start = i;
    while (i < text.size() && isDigit(text[i])) {
      nanoseconds += (text[i] - '0') * scale;
      scale /= 10;
      ++i;
    }
    if (i == start) return std::nullopt;
  }
  if (i + 1 != text.size() || text[i] != 'Z') return std::nullopt;
  const std::chrono::year_month_day date{std::chrono::year(year), std::chrono::month(static_cast<unsigned>(month)),
                                         std::chrono::day(static_cast<unsigned>(day))};
  if (!date.ok() || hour > 23 || minute > 59 || second > 59) return std::nullopt;
  const std::chrono::sys_seconds time = std::chrono::sys_days(date) + std::chrono::hours(hour) +
                                        std::chrono::minutes(minute) + std::chrono::seconds(second);
  // The clock counts nanoseconds in 64 bits, about 1678 to 2262: dates
  // beyond would overflow, so they are refused rather than wrapped.
  const auto earliest = std::chrono::ceil<std::chrono::seconds>(PlistDate::min());
  const auto latest = std::chrono::floor<std::chrono::seconds>(PlistDate::max()) - std::chrono::seconds(1);
  if (time < earliest || time > latest) return std::nullopt;
  return std::chrono::time_point_cast<PlistDate::duration>(time) +
         std::chrono::duration_cast<PlistDate::duration>(std::chrono::nanoseconds(nanoseconds));
}

std::string formatIso8601Date(PlistDate date) {
  const auto seconds = std::chrono::floor<std::chrono::seconds>(date);
  const auto days = std::chrono::floor<std::chrono::days>(seconds);
  const std::chrono::year_month_day ymd(days);
  const std::chrono::hh_mm_ss time(seconds - days);
  char buffer[48];
  std::snprintf(buffer, sizeof buffer, "%04d-%02u-%02uT%02d:%02d:%02dZ", static_cast<int>(ymd.year()),
                static_cast<unsigned>(ymd.month()), static_cast<unsigned>(ymd.day()),
                static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
                static_cast<int>(time.seconds().count()));
  return buffer;
}

}  // namespace cw

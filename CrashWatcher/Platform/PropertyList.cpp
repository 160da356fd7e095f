#include "Platform/PropertyList.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>
#include <pugixml.hpp>

#include "Platform/FileReading.h"
#include "Platform/UniqueFd.h"

namespace cw {
namespace {

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

// The longest prefix of `text` that reads as a decimal number
// ([+-]digits[.digits][(e|E)[+-]digits], at least one mantissa digit), with
// its value; overflow gives an infinity, underflow zero. Locale-independent.
struct DecimalPrefix {
  std::size_t length = 0;
  double value = 0;
};

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

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const char x = a[i] >= 'A' && a[i] <= 'Z' ? static_cast<char>(a[i] - 'A' + 'a') : a[i];
    if (x != b[i]) return false;
  }
  return true;
}

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

constexpr std::string_view kBase64Alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int base64Digit(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

// Base64 with white space anywhere; padding optional but nothing after it.
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

bool isWhitespaceText(const char* text) {
  for (; *text; ++text)
    if (!isXmlSpace(*text)) return false;
  return true;
}

// The character data of a leaf element; absent when it holds elements or
// stray text in the wrong place.
std::optional<std::string> leafText(const pugi::xml_node& node) {
  std::string text;
  for (const pugi::xml_node child : node.children()) {
    switch (child.type()) {
      case pugi::node_pcdata:
      case pugi::node_cdata:
        text += child.value();
        break;
      case pugi::node_comment:
      case pugi::node_pi:
        break;
      default:
        return std::nullopt;
    }
  }
  return text;
}

// Element children of a container, skipping comments and white space; absent
// when anything else is in between.
std::optional<std::vector<pugi::xml_node>> elementChildren(const pugi::xml_node& node) {
  std::vector<pugi::xml_node> out;
  for (const pugi::xml_node child : node.children()) {
    switch (child.type()) {
      case pugi::node_element:
        out.push_back(child);
        break;
      case pugi::node_pcdata:
      case pugi::node_cdata:
        if (!isWhitespaceText(child.value())) return std::nullopt;
        break;
      case pugi::node_comment:
      case pugi::node_pi:
        break;
      default:
        return std::nullopt;
    }
  }
  return out;
}

std::optional<PlistValue> convertNode(const pugi::xml_node& node, int depth);

std::optional<PlistValue> convertArray(const pugi::xml_node& node, int depth) {
  auto children = elementChildren(node);
  if (!children) return std::nullopt;
  PlistArray array;
  array.reserve(children->size());
  for (const pugi::xml_node& child : *children) {
    auto value = convertNode(child, depth + 1);
    if (!value) return std::nullopt;
    array.push_back(std::move(*value));
  }
  return PlistValue(std::move(array));
}

std::optional<PlistValue> convertDictionary(const pugi::xml_node& node, int depth) {
  auto children = elementChildren(node);
  if (!children || children->size() % 2 != 0) return std::nullopt;
  PlistDictionary dictionary;
  for (std::size_t i = 0; i < children->size(); i += 2) {
    const pugi::xml_node& keyNode = (*children)[i];
    if (std::string_view(keyNode.name()) != "key") return std::nullopt;
    auto key = leafText(keyNode);
    if (!key) return std::nullopt;
    auto value = convertNode((*children)[i + 1], depth + 1);
    if (!value) return std::nullopt;
    dictionary.insert_or_assign(std::move(*key), std::move(*value));
  }
  return PlistValue(std::move(dictionary));
}

std::optional<PlistValue> convertNode(const pugi::xml_node& node, int depth) {
  if (depth >= kMaxPropertyListDepth) return std::nullopt;
  const std::string_view name = node.name();
  if (name == "dict") return convertDictionary(node, depth);
  if (name == "array") return convertArray(node, depth);
  auto text = leafText(node);
  if (!text) return std::nullopt;
  if (name == "string") return PlistValue(std::move(*text));
  if (name == "true" || name == "false") {
    if (!trimXmlSpace(*text).empty()) return std::nullopt;
    return PlistValue(name == "true");
  }
  if (name == "integer") {
    const auto value = parseInteger(*text);
    if (!value) return std::nullopt;
    return PlistValue(*value);
  }
  if (name == "real") {
    const auto value = parseReal(*text);
    if (!value) return std::nullopt;
    return PlistValue(*value);
  }
  if (name == "date") {
    const auto value = parseIso8601Date(trimXmlSpace(*text));
    if (!value) return std::nullopt;
    return PlistValue(*value);
  }
  if (name == "data") {
    auto value = decodeBase64(*text);
    if (!value) return std::nullopt;
    return PlistValue(std::move(*value));
  }
  return std::nullopt;
}

// Text escaped for XML character data. Carriage returns and other control
// characters are written as references so that the reader's line-end
// normalisation cannot alter them.
void appendEscaped(std::string& out, std::string_view text) {
  for (const char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      default:
        if (static_cast<unsigned char>(c) < 0x20 && c != '\t' && c != '\n') {
          char reference[8];
          std::snprintf(reference, sizeof reference, "&#%d;", static_cast<int>(static_cast<unsigned char>(c)));
          out += reference;
        } else {
          out.push_back(c);
        }
    }
  }
}

std::string formatReal(double value) {
  if (std::isnan(value)) return "nan";
  if (std::isinf(value)) return value > 0 ? "+infinity" : "-infinity";
  std::array<char, 64> buffer{};
  const auto [end, ec] = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value);
  if (ec != std::errc()) return "0";
  return std::string(buffer.data(), end);
}

void serializeNode(std::string& out, const PlistValue& value, int indent) {
  const auto tabs = [&out](int n) { out.append(static_cast<std::size_t>(n), '\t'); };
  tabs(indent);
  const PlistValue::Storage& storage = value.storage();
  if (const auto* text = std::get_if<std::string>(&storage)) {
    out += "<string>";
    appendEscaped(out, *text);
    out += "</string>\n";
  } else if (const auto* integer = std::get_if<std::int64_t>(&storage)) {
    out += "<integer>" + std::to_string(*integer) + "</integer>\n";
  } else if (const auto* real = std::get_if<double>(&storage)) {
    out += "<real>" + formatReal(*real) + "</real>\n";
  } else if (const auto* boolean = std::get_if<bool>(&storage)) {
    out += *boolean ? "<true/>\n" : "<false/>\n";
  } else if (const auto* date = std::get_if<PlistDate>(&storage)) {
    out += "<date>" + formatIso8601Date(*date) + "</date>\n";
  } else if (const auto* data = std::get_if<PlistData>(&storage)) {
    out += "<data>" + encodeBase64(data->bytes) + "</data>\n";
  } else if (const PlistArray* array = value.asArray()) {
    if (array->empty()) {
      out += "<array/>\n";
      return;
    }
    out += "<array>\n";
    for (const PlistValue& element : *array) serializeNode(out, element, indent + 1);
    tabs(indent);
    out += "</array>\n";
  } else if (const PlistDictionary* dictionary = value.asDictionary()) {
    if (dictionary->empty()) {
      out += "<dict/>\n";
      return;
    }
    out += "<dict>\n";
    for (const auto& [key, element] : *dictionary) {
      tabs(indent + 1);
      out += "<key>";
      appendEscaped(out, key);
      out += "</key>\n";
      serializeNode(out, element, indent + 1);
    }
    tabs(indent);
    out += "</dict>\n";
  }
}

// A string in an old-style description: bare when it is a plain word.
std::string quotedForDescription(const std::string& text) {
  bool plain = !text.empty();
  for (const char c : text) {
    const bool word = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || isDigit(c) || c == '_' || c == '.' ||
                      c == '/' || c == '-' || c == ':' || c == '$';
    if (!word) plain = false;
  }
  if (plain) return text;
  std::string out = "\"";
  for (const char c : text) {
    if (c == '"' || c == '\\') out.push_back('\\');
    if (c == '\n') {
      out += "\\n";
      continue;
    }
    out.push_back(c);
  }
  out.push_back('"');
  return out;
}

void describe(std::string& out, const PlistValue& value, int indent, bool nested) {
  const auto spaces = [&out](int n) { out.append(static_cast<std::size_t>(n) * 4, ' '); };
  if (const PlistArray* array = value.asArray()) {
    out += "(\n";
    for (std::size_t i = 0; i < array->size(); ++i) {
      spaces(indent + 1);
      describe(out, (*array)[i], indent + 1, true);
      if (i + 1 < array->size()) out.push_back(',');
      out.push_back('\n');
    }
    spaces(indent);
    out.push_back(')');
  } else if (const PlistDictionary* dictionary = value.asDictionary()) {
    out += "{\n";
    for (const auto& [key, element] : *dictionary) {
      spaces(indent + 1);
      out += quotedForDescription(key) + " = ";
      describe(out, element, indent + 1, true);
      out += ";\n";
    }
    spaces(indent);
    out.push_back('}');
  } else if (const std::string* text = value.asString()) {
    out += nested ? quotedForDescription(*text) : *text;
  } else {
    out += value.description();
  }
}

bool isWhiteSpaceForNumbers(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

}  // namespace

const PlistArray* PlistValue::asArray() const {
  const auto* array = std::get_if<std::shared_ptr<PlistArray>>(&storage_);
  return array ? array->get() : nullptr;
}

const PlistDictionary* PlistValue::asDictionary() const {
  const auto* dictionary = std::get_if<std::shared_ptr<PlistDictionary>>(&storage_);
  return dictionary ? dictionary->get() : nullptr;
}

bool PlistValue::boolValue() const {
  if (const bool* boolean = asBool()) return *boolean;
  if (const std::int64_t* integer = asInteger()) return *integer != 0;
  if (const double* real = asReal()) return *real != 0;
  if (const std::string* text = asString()) {
    std::size_t i = 0;
    while (i < text->size() && isWhiteSpaceForNumbers((*text)[i])) ++i;
    if (i < text->size() && ((*text)[i] == '+' || (*text)[i] == '-')) ++i;
    while (i < text->size() && (*text)[i] == '0') ++i;
    if (i >= text->size()) return false;
    const char c = (*text)[i];
    return c == 'Y' || c == 'y' || c == 'T' || c == 't' || (c >= '1' && c <= '9');
  }
  return false;
}

float PlistValue::floatValue() const {
  double value = 0;
  if (const double* real = asReal())
    value = *real;
  else if (const std::int64_t* integer = asInteger())
    value = static_cast<double>(*integer);
  else if (const bool* boolean = asBool())
    value = *boolean ? 1.0 : 0.0;
  else if (const std::string* text = asString()) {
    std::string_view rest(*text);
    while (!rest.empty() && isWhiteSpaceForNumbers(rest.front())) rest.remove_prefix(1);
    value = scanDecimalPrefix(rest).value;
  }
  // Out-of-range doubles must not be converted to float directly.
  constexpr double kFloatMax = std::numeric_limits<float>::max();
  if (value > kFloatMax) return std::numeric_limits<float>::infinity();
  if (value < -kFloatMax) return -std::numeric_limits<float>::infinity();
  return static_cast<float>(value);
}

std::string PlistValue::description() const {
  if (const std::string* text = asString()) return *text;
  if (const std::int64_t* integer = asInteger()) return std::to_string(*integer);
  if (const double* real = asReal()) return formatReal(*real);
  if (const bool* boolean = asBool()) return *boolean ? "1" : "0";
  if (const PlistDate* date = asDate()) {
    // The platform's date description: "2010-05-01 10:15:00 +0000".
    std::string iso = formatIso8601Date(*date);
    iso[10] = ' ';
    iso.pop_back();
    return iso + " +0000";
  }
  if (const PlistData* data = asData()) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out = "<";
    for (std::size_t i = 0; i < data->bytes.size(); ++i) {
      if (i > 0 && i % 4 == 0) out.push_back(' ');
      out.push_back(kHex[data->bytes[i] >> 4]);
      out.push_back(kHex[data->bytes[i] & 0xF]);
    }
    out.push_back('>');
    return out;
  }
  std::string out;
  describe(out, *this, 0, false);
  return out;
}

bool PlistValue::operator==(const PlistValue& other) const {
  if (storage_.index() != other.storage_.index()) return false;
  if (const PlistArray* array = asArray()) return *array == *other.asArray();
  if (const PlistDictionary* dictionary = asDictionary()) return *dictionary == *other.asDictionary();
  return storage_ == other.storage_;
}

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

std::optional<PlistValue> parsePropertyList(std::string_view xml) {
  pugi::xml_document document;
  // Whitespace-only text is kept so that "<string> </string>" keeps its blank.
  const pugi::xml_parse_result result =
      document.load_buffer(xml.data(), xml.size(), pugi::parse_default | pugi::parse_ws_pcdata, pugi::encoding_auto);
  if (!result) return std::nullopt;
  auto top = elementChildren(document);
  if (!top || top->size() != 1) return std::nullopt;
  pugi::xml_node root = top->front();
  if (std::string_view(root.name()) == "plist") {
    auto inner = elementChildren(root);
    if (!inner || inner->size() != 1) return std::nullopt;
    root = inner->front();
  }
  return convertNode(root, 0);
}

PlistFileContents readPropertyListFile(const std::string& path) {
  PlistFileContents contents;
  FileReadResult file = readRegularFile(path, kMaxPropertyListFileSize);
  switch (file.status) {
    case FileReadStatus::Ok:
      break;
    case FileReadStatus::Missing:
      contents.status = PlistFileStatus::Missing;
      return contents;
    case FileReadStatus::NotAFile:
      contents.status = PlistFileStatus::NotAFile;
      return contents;
    case FileReadStatus::TooLarge:
      contents.status = PlistFileStatus::TooLarge;
      return contents;
    case FileReadStatus::Unreadable:
      contents.status = PlistFileStatus::Unreadable;
      return contents;
  }
  if (file.bytes.empty()) {
    contents.status = PlistFileStatus::Empty;
    return contents;
  }
  contents.value = parsePropertyList(file.bytes);
  contents.status = contents.value ? PlistFileStatus::Ok : PlistFileStatus::Malformed;
  return contents;
}

std::optional<PlistDictionary> readDictionaryFromFile(const std::string& path) {
  PlistFileContents contents = readPropertyListFile(path);
  if (contents.status != PlistFileStatus::Ok) return std::nullopt;
  const PlistDictionary* dictionary = contents.value->asDictionary();
  if (!dictionary) return std::nullopt;
  return *dictionary;
}

std::string serializePropertyList(const PlistValue& value) {
  std::string out =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" \"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
      "<plist version=\"1.0\">\n";
  serializeNode(out, value, 0);
  out += "</plist>\n";
  return out;
}

const PlistValue* lookup(const PlistDictionary& dictionary, std::string_view key) {
  const auto found = dictionary.find(key);
  return found == dictionary.end() ? nullptr : &found->second;
}

}  // namespace cw

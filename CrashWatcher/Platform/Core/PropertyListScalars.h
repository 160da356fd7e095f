#pragma once

// The scalar forms of property lists, shared by the value, the reader and the
// writer: numbers, base64 data, XML white space. Dates are in PropertyList.h.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Platform/PropertyList.h"

namespace cw::plist_scalars {

bool isXmlSpace(char c);
std::string_view trimXmlSpace(std::string_view text);
bool isDigit(char c);

// The longest prefix of `text` that reads as a decimal number
// ([+-]digits[.digits][(e|E)[+-]digits], at least one mantissa digit), with
// its value; overflow gives an infinity, underflow zero. Locale-independent.
struct DecimalPrefix {
  std::size_t length = 0;
  double value = 0;
};
DecimalPrefix scanDecimalPrefix(std::string_view text);

// The text of <real> and <integer>, XML white space around it allowed.
std::optional<double> parseReal(std::string_view raw);
std::optional<std::int64_t> parseInteger(std::string_view raw);
// The shortest text that reads back to `value` ("nan", "+infinity" too).
std::string formatReal(double value);

// Base64 with white space anywhere; padding optional but nothing after it.
std::optional<PlistData> decodeBase64(std::string_view text);
std::string encodeBase64(const std::vector<std::uint8_t>& bytes);

}  // namespace cw::plist_scalars

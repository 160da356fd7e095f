#include "Platform/PropertyList.h"

#include "Platform/PropertyListScalars.h"

namespace cw {
namespace {

using namespace plist_scalars;

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

const PlistValue* lookup(const PlistDictionary& dictionary, std::string_view key) {
  const auto found = dictionary.find(key);
  return found == dictionary.end() ? nullptr : &found->second;
}

}  // namespace cw

#include <cstdio>

#include "Platform/PropertyList.h"
#include "Platform/PropertyListScalars.h"

// Writing: values to XML text.
namespace cw {
namespace {

using namespace plist_scalars;

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

}  // namespace

std::string serializePropertyList(const PlistValue& value) {
  std::string out =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" \"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
      "<plist version=\"1.0\">\n";
  serializeNode(out, value, 0);
  out += "</plist>\n";
  return out;
}

}  // namespace cw

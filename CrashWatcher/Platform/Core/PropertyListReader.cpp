#include <pugixml.hpp>

#include "Platform/FileReading.h"
#include "Platform/PropertyList.h"
#include "Platform/PropertyListScalars.h"

// Reading: XML text and files to values.
namespace cw {
namespace {

using namespace plist_scalars;

bool isWhitespaceText(const char* text) {
  for (; *text; ++text)
    if (!isXmlSpace(*text)) return false;
  return true;
}

// Calls `take` with each child of `node` but comments and processing
// instructions; false once `take` refuses one.
template <typename Take>
bool eachChild(const pugi::xml_node& node, Take take) {
  for (const pugi::xml_node child : node.children())
    if (child.type() != pugi::node_comment && child.type() != pugi::node_pi && !take(child)) return false;
  return true;
}

bool isText(const pugi::xml_node& node) {
  return node.type() == pugi::node_pcdata || node.type() == pugi::node_cdata;
}

// The character data of a leaf element; absent when it holds elements or
// stray text in the wrong place.
std::optional<std::string> leafText(const pugi::xml_node& node) {
  std::string text;
  const bool leaf = eachChild(node, [&](const pugi::xml_node& child) {
    if (!isText(child)) return false;
    text += child.value();
    return true;
  });
  return leaf ? std::optional<std::string>(std::move(text)) : std::nullopt;
}

// Element children of a container, skipping comments and white space; absent
// when anything else is in between.
std::optional<std::vector<pugi::xml_node>> elementChildren(const pugi::xml_node& node) {
  std::vector<pugi::xml_node> out;
  const bool container = eachChild(node, [&](const pugi::xml_node& child) {
    if (child.type() == pugi::node_element) out.push_back(child);
    return child.type() == pugi::node_element || (isText(child) && isWhitespaceText(child.value()));
  });
  return container ? std::optional<std::vector<pugi::xml_node>>(std::move(out)) : std::nullopt;
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

}  // namespace

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

}  // namespace cw

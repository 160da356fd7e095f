#include "UI/LayoutLoader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <optional>
#include <pugixml.hpp>
#include <set>
#include <vector>

#include "Platform/Bundle.h"
#include "Platform/FileReading.h"
#include "Platform/Utf8.h"
#include "UI/Button.h"
#include "UI/TextField.h"
#include "UI/TextView.h"
#include "UI/ValueBinding.h"
#include "UI/Window.h"

namespace cw::ui {
namespace {

constexpr std::string_view kLayoutType = "layout";
constexpr std::size_t kMaxWindows = 8;
constexpr std::size_t kMaxControlsPerWindow = 64;
constexpr std::size_t kMaxTextLength = 4096;
constexpr std::size_t kMaxNameLength = 64;
constexpr double kMaxCoordinate = 100000;

// What a layout asks for, checked whole before anything is built.
struct ControlSpec {
  ControlKind kind = ControlKind::TextField;
  Rect frame;
  std::string outlet;
  std::string text;  // a field's string value, a button's title
  bool bold = false;
  double pointSize = 13;
  bool wraps = false;
  std::string action;
  std::string keyEquivalent;
  std::string boundKey;
  bool hidden = false;
};

struct WindowSpec {
  Rect frame;
  std::string outlet;
  std::string title;
  std::vector<ControlSpec> controls;
};

bool isName(std::string_view text, bool allowColons) {
  if (text.empty() || text.size() > kMaxNameLength) return false;
  if (!(std::isalpha(static_cast<unsigned char>(text[0])) || text[0] == '_')) return false;
  return std::all_of(text.begin(), text.end(), [allowColons](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || (allowColons && c == ':');
  });
}

bool isText(std::string_view text) {
  if (text.size() > kMaxTextLength || !isValidUtf8(text)) return false;
  return std::none_of(text.begin(), text.end(), [](char c) {
    const auto u = static_cast<unsigned char>(c);
    return u < 0x20 && c != '\n' && c != '\t';
  });
}

std::optional<double> parseNumber(std::string_view text) {
  double value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || !std::isfinite(value)) return std::nullopt;
  return value;
}

std::optional<Rect> parseFrame(std::string_view text) {
  std::vector<double> numbers;
  std::size_t pos = 0;
  while (pos < text.size()) {
    if (text[pos] == ' ') {
      ++pos;
      continue;
    }
    const std::size_t end = std::min(text.find(' ', pos), text.size());
    const std::optional<double> number = parseNumber(text.substr(pos, end - pos));
    if (!number || std::fabs(*number) > kMaxCoordinate || numbers.size() == 4) return std::nullopt;
    numbers.push_back(*number);
    pos = end;
  }
  if (numbers.size() != 4 || numbers[2] < 0 || numbers[3] < 0) return std::nullopt;
  return makeRect(numbers[0], numbers[1], numbers[2], numbers[3]);
}

std::optional<bool> parseBool(std::string_view text) {
  if (text == "true") return true;
  if (text == "false") return false;
  return std::nullopt;
}

std::optional<std::string> parseKeyEquivalent(std::string_view text) {
  if (text == "return") return std::string("\r");
  if (text == "escape") return std::string("\x1b");
  if (text.empty() || (text.size() == 1 && text[0] > ' ' && text[0] < 0x7f)) return std::string(text);
  return std::nullopt;
}

// Attributes all known and none twice; the element holds no stray text and
// only the child elements allowed.
bool hasOnly(const pugi::xml_node& node, std::initializer_list<std::string_view> attributes,
             std::initializer_list<std::string_view> children) {
  std::set<std::string_view> seen;
  for (const pugi::xml_attribute& attribute : node.attributes()) {
    const std::string_view name = attribute.name();
    if (std::find(attributes.begin(), attributes.end(), name) == attributes.end()) return false;
    if (!seen.insert(name).second) return false;
  }
  for (const pugi::xml_node& child : node.children()) {
    if (child.type() == pugi::node_element) {
      if (std::find(children.begin(), children.end(), std::string_view(child.name())) == children.end()) return false;
    } else if (child.type() != pugi::node_comment && child.type() != pugi::node_pi) {
      return false;  // text or CDATA where none belongs
    }
  }
  return true;
}

// The outlet attribute when present: a valid name not used before.
bool readOutlet(const pugi::xml_node& node, std::set<std::string>& outlets, std::string& outlet) {
  const pugi::xml_attribute attribute = node.attribute("outlet");
  if (!attribute) return true;
  outlet = attribute.value();
  return isName(outlet, false) && outlets.insert(outlet).second;
}

bool readFrame(const pugi::xml_node& node, Rect& frame) {
  const pugi::xml_attribute attribute = node.attribute("frame");
  if (!attribute) return false;
  const std::optional<Rect> parsed = parseFrame(attribute.value());
  if (!parsed) return false;
  frame = *parsed;
  return true;
}

bool readText(const pugi::xml_node& node, const char* name, std::string& text) {
  const pugi::xml_attribute attribute = node.attribute(name);
  if (!attribute) return true;
  text = attribute.value();
  return isText(text);
}

std::optional<ControlSpec> readTextField(const pugi::xml_node& node, std::set<std::string>& outlets) {
  if (!hasOnly(node, {"outlet", "frame", "text", "bold", "pointSize", "wraps"}, {"binding"})) return std::nullopt;
  ControlSpec spec;
  spec.kind = ControlKind::TextField;
  if (!readOutlet(node, outlets, spec.outlet) || !readFrame(node, spec.frame) || !readText(node, "text", spec.text))
    return std::nullopt;
  if (const pugi::xml_attribute bold = node.attribute("bold")) {
    const std::optional<bool> value = parseBool(bold.value());
    if (!value) return std::nullopt;
    spec.bold = *value;
  }
  if (const pugi::xml_attribute wraps = node.attribute("wraps")) {
    const std::optional<bool> value = parseBool(wraps.value());
    if (!value) return std::nullopt;
    spec.wraps = *value;
  }
  if (const pugi::xml_attribute size = node.attribute("pointSize")) {
    const std::optional<double> value = parseNumber(size.value());
    if (!value || *value < 1 || *value > 200) return std::nullopt;
    spec.pointSize = *value;
  }
  std::size_t bindings = 0;
  for (const pugi::xml_node& binding : node.children("binding")) {
    if (++bindings > 1 || !hasOnly(binding, {"name", "key"}, {})) return std::nullopt;
    if (std::string_view(binding.attribute("name").value()) != "value") return std::nullopt;
    spec.boundKey = binding.attribute("key").value();
    if (!isName(spec.boundKey, false)) return std::nullopt;
  }
  return spec;
}

// A read-only area of monospace text; `hidden` until something shows it.
std::optional<ControlSpec> readTextView(const pugi::xml_node& node, std::set<std::string>& outlets) {
  if (!hasOnly(node, {"outlet", "frame", "pointSize", "hidden"}, {})) return std::nullopt;
  ControlSpec spec;
  spec.kind = ControlKind::TextView;
  spec.pointSize = 11;
  if (!readOutlet(node, outlets, spec.outlet) || !readFrame(node, spec.frame)) return std::nullopt;
  if (const pugi::xml_attribute size = node.attribute("pointSize")) {
    const std::optional<double> value = parseNumber(size.value());
    if (!value || *value < 1 || *value > 200) return std::nullopt;
    spec.pointSize = *value;
  }
  if (const pugi::xml_attribute hidden = node.attribute("hidden")) {
    const std::optional<bool> value = parseBool(hidden.value());
    if (!value) return std::nullopt;
    spec.hidden = *value;
  }
  return spec;
}

std::optional<ControlSpec> readButton(const pugi::xml_node& node, std::set<std::string>& outlets,
                                      const LayoutOwner& owner) {
  if (!hasOnly(node, {"outlet", "frame", "title", "action", "keyEquivalent"}, {})) return std::nullopt;
  ControlSpec spec;
  spec.kind = ControlKind::Button;
  if (!readOutlet(node, outlets, spec.outlet) || !readFrame(node, spec.frame) || !readText(node, "title", spec.text))
    return std::nullopt;
  if (const pugi::xml_attribute action = node.attribute("action")) {
    spec.action = action.value();
    if (!isName(spec.action, true) || !owner.respondsToAction(spec.action)) return std::nullopt;
  }
  if (const pugi::xml_attribute key = node.attribute("keyEquivalent")) {
    const std::optional<std::string> value = parseKeyEquivalent(key.value());
    if (!value) return std::nullopt;
    spec.keyEquivalent = *value;
  }
  return spec;
}

std::optional<std::vector<WindowSpec>> readLayout(std::string_view xml, const LayoutOwner& owner) {
  if (xml.size() > kMaxLayoutFileSize) return std::nullopt;
  pugi::xml_document document;
  // The parser never expands entities or fetches anything; a layout has no
  // use for a DOCTYPE, so one is kept in the tree only to be refused.
  if (!document.load_buffer(xml.data(), xml.size(), pugi::parse_default | pugi::parse_doctype, pugi::encoding_utf8))
    return std::nullopt;

  pugi::xml_node root;
  for (const pugi::xml_node& node : document.children()) {
    if (node.type() == pugi::node_doctype) return std::nullopt;
    if (node.type() != pugi::node_element) continue;
    if (root) return std::nullopt;  // a second top-level element
    root = node;
  }
  if (!root || std::string_view(root.name()) != "layout" || !hasOnly(root, {"version"}, {"window"}) ||
      std::string_view(root.attribute("version").value()) != "1")
    return std::nullopt;

  std::vector<WindowSpec> windows;
  std::set<std::string> outlets;
  for (const pugi::xml_node& node : root.children("window")) {
    if (windows.size() == kMaxWindows ||
        !hasOnly(node, {"outlet", "title", "frame"}, {"textField", "button", "textView"}))
      return std::nullopt;
    WindowSpec window;
    if (!readOutlet(node, outlets, window.outlet) || !readFrame(node, window.frame) ||
        !readText(node, "title", window.title))
      return std::nullopt;
    for (const pugi::xml_node& child : node.children()) {
      if (child.type() != pugi::node_element) continue;
      if (window.controls.size() == kMaxControlsPerWindow) return std::nullopt;
      const std::string_view kind = child.name();
      std::optional<ControlSpec> control = kind == "button"     ? readButton(child, outlets, owner)
                                           : kind == "textView" ? readTextView(child, outlets)
                                                                : readTextField(child, outlets);
      if (!control) return std::nullopt;
      window.controls.push_back(std::move(*control));
    }
    windows.push_back(std::move(window));
  }
  if (windows.empty()) return std::nullopt;
  return windows;
}

struct Connection {
  std::string outlet;
  std::shared_ptr<Object> object;
};

bool build(const std::vector<WindowSpec>& specs, const std::shared_ptr<LayoutOwner>& owner) {
  std::vector<Connection> connections;
  for (const WindowSpec& spec : specs) {
    const std::shared_ptr<Window> window = Window::create(spec.frame);
    if (!window) return false;
    if (!spec.title.empty()) window->setTitle(spec.title);
    if (!spec.outlet.empty()) connections.push_back({spec.outlet, window});
    View& content = *window->contentView();
    for (const ControlSpec& control : spec.controls) {
      std::shared_ptr<View> view;
      if (control.kind == ControlKind::Button) {
        const std::shared_ptr<Button> button = Button::create(content, control.frame);
        button->setTitle(control.text);
        if (!control.keyEquivalent.empty()) button->setKeyEquivalent(control.keyEquivalent);
        if (!control.action.empty()) {
          button->setTarget(owner);
          button->setAction(control.action);
        }
        view = button;
      } else if (control.kind == ControlKind::TextView) {
        const std::shared_ptr<TextView> area = TextView::create(content, control.frame);
        area->setPointSize(control.pointSize);
        if (control.hidden) area->setHidden(true);
        view = area;
      } else {
        const std::shared_ptr<TextField> field = TextField::create(content, control.frame);
        field->setTextStyle(control.bold, control.pointSize, control.wraps);
        field->setStringValue(control.text);
        if (!control.boundKey.empty()) ValueBinding::bind(*field, owner, control.boundKey);
        view = field;
      }
      if (!control.outlet.empty()) connections.push_back({control.outlet, view});
    }
  }
  // Connected last: a layout refused above leaves the owner's outlets as they
  // were. An outlet the owner refuses here ends the load; those filled before
  // it hold fresh controls that were never shown.
  for (const Connection& connection : connections)
    if (!owner->connectOutlet(connection.outlet, connection.object)) return false;
  return true;
}

std::optional<std::string> readLayoutFile(const std::string& path) {
  FileReadResult file = readRegularFile(path, kMaxLayoutFileSize);
  if (file.status != FileReadStatus::Ok) return std::nullopt;
  return std::move(file.bytes);
}

}  // namespace

bool loadLayoutOwner(std::string_view xml, const std::shared_ptr<LayoutOwner>& owner) {
  if (!owner || !currentBackend()) return false;
  const std::optional<std::vector<WindowSpec>> specs = readLayout(xml, *owner);
  return specs && build(*specs, owner);
}

bool loadLayoutFileOwner(const std::string& path, const std::shared_ptr<LayoutOwner>& owner) {
  const std::optional<std::string> xml = readLayoutFile(path);
  return xml && loadLayoutOwner(*xml, owner);
}

bool loadNibNamedOwner(const Bundle& bundle, std::string_view name, const std::shared_ptr<LayoutOwner>& owner) {
  const std::optional<std::string> path = bundle.pathForResource(name, kLayoutType);
  return path && loadLayoutFileOwner(*path, owner);
}

bool loadNibNamedOwner(std::string_view name, const std::shared_ptr<LayoutOwner>& owner) {
  return loadNibNamedOwner(Bundle::mainBundle(), name, owner);
}

}  // namespace cw::ui

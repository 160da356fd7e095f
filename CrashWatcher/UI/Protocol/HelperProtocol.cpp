#include "UI/HelperProtocol.h"

#include <array>
#include <cmath>
#include <nlohmann/json.hpp>
#include <utility>

namespace cw::ui::protocol {
namespace {

using nlohmann::json;

constexpr std::array<std::pair<Request::Op, std::string_view>, 15> kOpNames{{
    {Request::Op::Create, "create"},
    {Request::Op::Destroy, "destroy"},
    {Request::Op::SetFrame, "frame"},
    {Request::Op::SetText, "text"},
    {Request::Op::SetTextColor, "color"},
    {Request::Op::SetKeyEquivalent, "key"},
    {Request::Op::SetTextStyle, "style"},
    {Request::Op::Measure, "measure"},
    {Request::Op::Show, "show"},
    {Request::Op::OrderOut, "orderOut"},
    {Request::Op::Activate, "activate"},
    {Request::Op::ShowMessagePanel, "messagePanel"},
    {Request::Op::AppendText, "append"},
    {Request::Op::SetHidden, "hidden"},
    {Request::Op::ShowProgressPanel, "progressPanel"},
}};

constexpr std::array<std::pair<ControlKind, std::string_view>, 5> kKindNames{{
    {ControlKind::Window, "window"},
    {ControlKind::View, "view"},
    {ControlKind::TextField, "textField"},
    {ControlKind::Button, "button"},
    {ControlKind::TextView, "textView"},
}};

constexpr std::array<std::pair<Reply::Type, std::string_view>, 5> kReplyNames{{
    {Reply::Type::Ready, "ready"},
    {Reply::Type::Failed, "failed"},
    {Reply::Type::ButtonPressed, "pressed"},
    {Reply::Type::WindowClosed, "closed"},
    {Reply::Type::Measured, "size"},
}};

template <typename Enum, std::size_t N>
std::string_view nameOf(const std::array<std::pair<Enum, std::string_view>, N>& table, Enum value) {
  for (const auto& [entry, name] : table)
    if (entry == value) return name;
  return {};
}

template <typename Enum, std::size_t N>
std::optional<Enum> valueOf(const std::array<std::pair<Enum, std::string_view>, N>& table, std::string_view name) {
  for (const auto& [entry, entryName] : table)
    if (entryName == name) return entry;
  return std::nullopt;
}

double finiteOrZero(double value) {
  return std::isfinite(value) ? value : 0.0;
}

json encodeRect(const Rect& rect) {
  return json::array({finiteOrZero(rect.origin.x), finiteOrZero(rect.origin.y), finiteOrZero(rect.size.width),
                      finiteOrZero(rect.size.height)});
}

std::string toLine(const json& message) {
  // Replacing bad UTF-8 keeps dump() from throwing on text we were handed.
  return message.dump(-1, ' ', false, json::error_handler_t::replace) + '\n';
}

// Accessors that answer absent rather than throw on a missing member or a
// member of the wrong type.
const json* member(const json& object, const char* name) {
  const auto it = object.find(name);
  return it == object.end() ? nullptr : &*it;
}

std::optional<double> number(const json& object, const char* name) {
  const json* value = member(object, name);
  if (!value || !value->is_number()) return std::nullopt;
  const double result = value->get<double>();
  if (!std::isfinite(result)) return std::nullopt;
  return result;
}

std::optional<std::uint64_t> unsignedInteger(const json& object, const char* name) {
  const json* value = member(object, name);
  if (!value || !value->is_number_unsigned()) return std::nullopt;
  return value->get<std::uint64_t>();
}

std::optional<bool> boolean(const json& object, const char* name) {
  const json* value = member(object, name);
  if (!value || !value->is_boolean()) return std::nullopt;
  return value->get<bool>();
}

std::optional<std::string> string(const json& object, const char* name) {
  const json* value = member(object, name);
  if (!value || !value->is_string()) return std::nullopt;
  return value->get<std::string>();
}

std::optional<Rect> rect(const json& object, const char* name) {
  const json* value = member(object, name);
  if (!value || !value->is_array() || value->size() != 4) return std::nullopt;
  std::array<double, 4> parts{};
  for (std::size_t i = 0; i < parts.size(); ++i) {
    const json& part = (*value)[i];
    if (!part.is_number()) return std::nullopt;
    parts[i] = part.get<double>();
    if (!std::isfinite(parts[i])) return std::nullopt;
  }
  return makeRect(parts[0], parts[1], parts[2], parts[3]);
}

std::optional<json> parseObject(std::string_view line) {
  json message = json::parse(line.begin(), line.end(), nullptr, /*allow_exceptions=*/false);
  if (message.is_discarded() || !message.is_object()) return std::nullopt;
  return message;
}

bool decodeRequestBody(const json& message, Request& request) {
  using Op = Request::Op;
  if (request.op == Op::Activate) return true;
  const auto control = unsignedInteger(message, "id");
  if (!control) return false;
  request.control = *control;
  switch (request.op) {
    case Op::Create: {
      const auto kindName = string(message, "kind");
      const auto kind = kindName ? valueOf(kKindNames, *kindName) : std::nullopt;
      const auto parent = unsignedInteger(message, "parent");
      const auto frame = rect(message, "frame");
      if (!kind || !parent || !frame) return false;
      request.kind = *kind;
      request.parent = *parent;
      request.frame = *frame;
      return true;
    }
    case Op::SetFrame: {
      const auto frame = rect(message, "frame");
      if (!frame) return false;
      request.frame = *frame;
      return true;
    }
    case Op::SetText:
    case Op::AppendText:
    case Op::SetKeyEquivalent: {
      auto text = string(message, request.op == Op::SetKeyEquivalent ? "key" : "text");
      if (!text) return false;
      request.text = std::move(*text);
      return true;
    }
    case Op::SetTextColor: {
      const json* rgba = member(message, "rgba");
      if (!rgba || !rgba->is_array() || rgba->size() != 4) return false;
      std::array<double, 4> parts{};
      for (std::size_t i = 0; i < parts.size(); ++i) {
        const json& part = (*rgba)[i];
        if (!part.is_number()) return false;
        parts[i] = part.get<double>();
        if (!std::isfinite(parts[i])) return false;
      }
      request.color = Color{parts[0], parts[1], parts[2], parts[3]};
      return true;
    }
    case Op::SetTextStyle: {
      const auto bold = boolean(message, "bold");
      const auto size = number(message, "size");
      const auto wraps = boolean(message, "wraps");
      if (!bold || !size || !wraps) return false;
      request.bold = *bold;
      request.pointSize = *size;
      request.wraps = *wraps;
      return true;
    }
    case Op::Measure: {
      const auto sequence = unsignedInteger(message, "seq");
      if (!sequence) return false;
      request.sequence = *sequence;
      if (member(message, "width")) {
        request.boundsWidth = number(message, "width");
        if (!request.boundsWidth) return false;
      }
      return true;
    }
    case Op::ShowMessagePanel: {
      auto title = string(message, "title");
      auto text = string(message, "text");
      auto selectable = string(message, "selectable");
      auto button = string(message, "button");
      if (!title || !text || !selectable || !button) return false;
      request.panel = MessagePanel{std::move(*title), std::move(*text), std::move(*selectable), std::move(*button)};
      return true;
    }
    case Op::SetHidden: {
      const auto hidden = boolean(message, "hidden");
      if (!hidden) return false;
      request.hidden = *hidden;
      return true;
    }
    case Op::ShowProgressPanel: {
      auto title = string(message, "title");
      auto text = string(message, "text");
      auto button = string(message, "button");
      if (!title || !text || !button) return false;
      request.progressPanel = ProgressPanel{std::move(*title), std::move(*text), std::move(*button)};
      return true;
    }
    case Op::Destroy:
    case Op::Show:
    case Op::OrderOut:
    case Op::Activate:
      return true;
  }
  return false;
}

}  // namespace

std::string encode(const Request& request) {
  using Op = Request::Op;
  json message = json::object();
  message["op"] = nameOf(kOpNames, request.op);
  if (request.op != Op::Activate) message["id"] = request.control;
  switch (request.op) {
    case Op::Create:
      message["kind"] = nameOf(kKindNames, request.kind);
      message["parent"] = request.parent;
      message["frame"] = encodeRect(request.frame);
      break;
    case Op::SetFrame:
      message["frame"] = encodeRect(request.frame);
      break;
    case Op::SetText:
    case Op::AppendText:
      message["text"] = request.text;
      break;
    case Op::SetHidden:
      message["hidden"] = request.hidden;
      break;
    case Op::ShowProgressPanel:
      message["title"] = request.progressPanel.title;
      message["text"] = request.progressPanel.message;
      message["button"] = request.progressPanel.stopTitle;
      break;
    case Op::SetKeyEquivalent:
      message["key"] = request.text;
      break;
    case Op::SetTextColor:
      message["rgba"] = json::array({finiteOrZero(request.color.red), finiteOrZero(request.color.green),
                                     finiteOrZero(request.color.blue), finiteOrZero(request.color.alpha)});
      break;
    case Op::SetTextStyle:
      message["bold"] = request.bold;
      message["size"] = finiteOrZero(request.pointSize);
      message["wraps"] = request.wraps;
      break;
    case Op::Measure:
      message["seq"] = request.sequence;
      if (request.boundsWidth && std::isfinite(*request.boundsWidth)) message["width"] = *request.boundsWidth;
      break;
    case Op::ShowMessagePanel:
      message["title"] = request.panel.title;
      message["text"] = request.panel.message;
      message["selectable"] = request.panel.selectableText;
      message["button"] = request.panel.buttonTitle;
      break;
    case Op::Destroy:
    case Op::Show:
    case Op::OrderOut:
    case Op::Activate:
      break;
  }
  return toLine(message);
}

std::string encode(const Reply& reply) {
  using Type = Reply::Type;
  json message = json::object();
  message["ev"] = nameOf(kReplyNames, reply.type);
  switch (reply.type) {
    case Type::ButtonPressed:
    case Type::WindowClosed:
      message["id"] = reply.control;
      break;
    case Type::Measured:
      message["seq"] = reply.sequence;
      message["width"] = finiteOrZero(reply.size.width);
      message["height"] = finiteOrZero(reply.size.height);
      break;
    case Type::Failed:
      message["reason"] = reply.reason;
      break;
    case Type::Ready:
      break;
  }
  return toLine(message);
}

std::optional<Request> decodeRequest(std::string_view line) {
  const auto message = parseObject(line);
  if (!message) return std::nullopt;
  const auto opName = string(*message, "op");
  const auto op = opName ? valueOf(kOpNames, *opName) : std::nullopt;
  if (!op) return std::nullopt;
  Request request;
  request.op = *op;
  if (!decodeRequestBody(*message, request)) return std::nullopt;
  return request;
}

std::optional<Reply> decodeReply(std::string_view line) {
  using Type = Reply::Type;
  const auto message = parseObject(line);
  if (!message) return std::nullopt;
  const auto typeName = string(*message, "ev");
  const auto type = typeName ? valueOf(kReplyNames, *typeName) : std::nullopt;
  if (!type) return std::nullopt;
  Reply reply;
  reply.type = *type;
  switch (reply.type) {
    case Type::ButtonPressed:
    case Type::WindowClosed: {
      const auto control = unsignedInteger(*message, "id");
      if (!control) return std::nullopt;
      reply.control = *control;
      break;
    }
    case Type::Measured: {
      const auto sequence = unsignedInteger(*message, "seq");
      const auto width = number(*message, "width");
      const auto height = number(*message, "height");
      if (!sequence || !width || !height || *width < 0 || *height < 0) return std::nullopt;
      reply.sequence = *sequence;
      reply.size = Size{*width, *height};
      break;
    }
    case Type::Failed:
      reply.reason = string(*message, "reason").value_or("");
      break;
    case Type::Ready:
      break;
  }
  return reply;
}

void LineBuffer::append(std::string_view bytes) {
  if (skipping_) {
    const auto newline = bytes.find('\n');
    if (newline == std::string_view::npos) return;
    skipping_ = false;
    bytes.remove_prefix(newline + 1);
  }
  pending_.append(bytes);
}

std::optional<std::string> LineBuffer::nextLine() {
  while (!skipping_) {
    const auto newline = pending_.find('\n', scanned_);
    if (newline == std::string::npos) {
      scanned_ = pending_.size();
      if (pending_.size() > kMaxLineLength) {
        // Keep no more of an overlong line than the limit: drop it now and
        // skip the rest of it as it arrives.
        ++overlong_;
        skipping_ = true;
        pending_.clear();
        scanned_ = 0;
      }
      return std::nullopt;
    }
    std::string line = pending_.substr(0, newline);
    pending_.erase(0, newline + 1);
    scanned_ = 0;
    if (line.size() > kMaxLineLength) {
      ++overlong_;
      continue;
    }
    return line;
  }
  return std::nullopt;
}

}  // namespace cw::ui::protocol

#include "UI/MemoryBackend.h"

#include <algorithm>
#include <cmath>

namespace cw::ui {
namespace {

std::size_t codePointCount(std::string_view text) {
  return static_cast<std::size_t>(
      std::count_if(text.begin(), text.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
}

std::vector<std::string_view> split(std::string_view text, char separator) {
  std::vector<std::string_view> parts;
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = text.find(separator, start);
    parts.push_back(text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start));
    if (end == std::string_view::npos) return parts;
    start = end + 1;
  }
}

}  // namespace

MemoryBackend::~MemoryBackend() {
  pumpTimer_.reset();
}

ControlId MemoryBackend::createControl(ControlKind kind, ControlId parent, const Rect& frame) {
  const ControlId id = nextId_++;
  Control control;
  control.id = id;
  control.kind = kind;
  control.parent = parent;
  control.frame = frame;
  controls_.emplace(id, control);
  return id;
}

void MemoryBackend::destroyControl(ControlId id) {
  if (!controls_.erase(id)) return;
  std::vector<ControlId> orphans;
  for (const auto& [childId, child] : controls_)
    if (child.parent == id) orphans.push_back(childId);
  for (const ControlId orphan : orphans) destroyControl(orphan);
}

MemoryBackend::Control* MemoryBackend::find(ControlId id) {
  const auto it = controls_.find(id);
  return it == controls_.end() ? nullptr : &it->second;
}

const MemoryBackend::Control* MemoryBackend::control(ControlId id) const {
  const auto it = controls_.find(id);
  return it == controls_.end() ? nullptr : &it->second;
}

void MemoryBackend::setFrame(ControlId id, const Rect& frame) {
  if (Control* c = find(id)) c->frame = frame;
}

void MemoryBackend::setText(ControlId id, std::string_view text) {
  if (Control* c = find(id)) c->text = std::string(text);
}

void MemoryBackend::setTextColor(ControlId id, const Color& color) {
  if (Control* c = find(id)) c->textColor = color;
}

void MemoryBackend::setKeyEquivalent(ControlId id, std::string_view key) {
  if (Control* c = find(id)) c->keyEquivalent = std::string(key);
}

void MemoryBackend::setTextStyle(ControlId id, bool bold, double pointSize, bool wraps) {
  if (Control* c = find(id)) {
    c->bold = bold;
    c->pointSize = pointSize;
    c->wraps = wraps;
  }
}

void MemoryBackend::setHidden(ControlId id, bool hidden) {
  if (Control* c = find(id)) c->hidden = hidden;
}

Size MemoryBackend::textSize(std::string_view text) {
  std::size_t widest = 0;
  const std::vector<std::string_view> lines = split(text, '\n');
  for (std::string_view line : lines) widest = std::max(widest, codePointCount(line));
  return Size{static_cast<double>(widest) * kCharacterWidth, static_cast<double>(lines.size()) * kLineHeight};
}

Size MemoryBackend::wrappedTextSize(std::string_view text, double width) {
  const std::size_t perLine = std::max<std::size_t>(1, static_cast<std::size_t>(std::floor(width / kCharacterWidth)));
  std::size_t lines = 0;
  std::size_t widest = 0;
  for (std::string_view paragraph : split(text, '\n')) {
    std::size_t current = 0;  // characters on the line being filled
    bool lineStarted = false;
    auto finishLine = [&] {
      widest = std::max(widest, current);
      ++lines;
      current = 0;
      lineStarted = false;
    };
    for (std::string_view word : split(paragraph, ' ')) {
      std::size_t length = codePointCount(word);
      if (lineStarted && current + 1 + length > perLine) finishLine();
      if (lineStarted) ++current;  // the space before the word
      while (length > perLine - current) {
        // A word longer than a line breaks where the line ends.
        length -= perLine - current;
        current = perLine;
        finishLine();
      }
      current += length;
      lineStarted = true;
    }
    finishLine();
  }
  return Size{static_cast<double>(widest) * kCharacterWidth, static_cast<double>(lines) * kLineHeight};
}

Size MemoryBackend::fittingSize(ControlId id) {
  const Control* c = control(id);
  if (!c) return Size{};
  const Size text = textSize(c->text);
  switch (c->kind) {
    case ControlKind::TextField:
      return Size{text.width + 2 * kTextFieldInset, text.height + 2 * kTextFieldInset};
    case ControlKind::Button:
      return Size{text.width + 2 * kButtonInset, kButtonHeight};
    case ControlKind::Window:
    case ControlKind::View:
    case ControlKind::TextView:  // scrolls: it takes the frame it is given
      break;
  }
  return c->frame.size;
}

Size MemoryBackend::cellSizeForBounds(ControlId id, const Rect& bounds) {
  const Control* c = control(id);
  if (!c) return Size{};
  if (c->kind != ControlKind::TextField || !c->wraps) return fittingSize(id);
  const Size text = wrappedTextSize(c->text, bounds.size.width - 2 * kTextFieldInset);
  return Size{text.width + 2 * kTextFieldInset, text.height + 2 * kTextFieldInset};
}

ControlId MemoryBackend::showMessagePanel(const MessagePanel& panel) {
  if (!alive_) return 0;
  const ControlId window = createControl(ControlKind::Window, 0, Rect{});
  find(window)->messagePanel = true;
  setText(window, panel.title);
  for (const auto& [text, selectable] : {std::pair{panel.message, false}, std::pair{panel.selectableText, true}}) {
    const ControlId field = createControl(ControlKind::TextField, window, Rect{});
    setText(field, text);
    find(field)->selectable = selectable;
  }
  const ControlId button = createControl(ControlKind::Button, window, Rect{});
  setText(button, panel.buttonTitle);
  setKeyEquivalent(button, "\r");
  showWindow(window);
  return window;
}

ControlId MemoryBackend::showProgressPanel(const ProgressPanel& panel) {
  if (!alive_) return 0;
  const ControlId window = createControl(ControlKind::Window, 0, Rect{});
  find(window)->progressPanel = true;
  setText(window, panel.title);
  setText(createControl(ControlKind::TextField, window, Rect{}), panel.message);
  const ControlId button = createControl(ControlKind::Button, window, Rect{});
  setText(button, panel.stopTitle);
  setKeyEquivalent(button, "\x1b");
  showWindow(window);
  return window;
}

void MemoryBackend::showWindow(ControlId id) {
  Control* c = find(id);
  if (!c || c->kind != ControlKind::Window) return;
  c->visible = true;
  ++showCount_;
  schedulePump();
}

void MemoryBackend::orderOut(ControlId id) {
  if (Control* c = find(id); c && c->kind == ControlKind::Window) c->visible = false;
}

const MemoryBackend::Control* MemoryBackend::windowOf(const Control& start) const {
  const Control* c = &start;
  while (c && c->kind != ControlKind::Window) c = control(c->parent);
  return c;
}

ControlId MemoryBackend::windowContaining(ControlId id) const {
  const Control* c = control(id);
  const Control* window = c ? windowOf(*c) : nullptr;
  return window ? window->id : 0;
}

std::vector<const MemoryBackend::Control*> MemoryBackend::controls(ControlKind kind) const {
  std::vector<const Control*> found;
  for (const auto& [id, c] : controls_)
    if (c.kind == kind) found.push_back(&c);
  return found;
}

std::vector<const MemoryBackend::Control*> MemoryBackend::visibleWindows() const {
  std::vector<const Control*> found;
  for (const Control* window : controls(ControlKind::Window))
    if (window->visible) found.push_back(window);
  return found;
}

const MemoryBackend::Control* MemoryBackend::visibleButtonWithTitle(std::string_view title) const {
  const Control* found = nullptr;  // the newest wins: it belongs to the front window
  for (const Control* button : controls(ControlKind::Button)) {
    const Control* window = windowOf(*button);
    if (button->text == title && !button->hidden && window && window->visible) found = button;
  }
  return found;
}

void MemoryBackend::deliver(const BackendEvent& event) {
  // A copy: the handler may replace itself while it runs.
  if (auto handler = handler_) handler(event);
}

ControlId MemoryBackend::pressedId(const Control& button) const {
  const Control* window = windowOf(button);
  return window && (window->messagePanel || window->progressPanel) ? window->id : button.id;
}

bool MemoryBackend::pressButtonWithTitle(std::string_view title) {
  const Control* button = visibleButtonWithTitle(title);
  if (!button) return false;
  deliver(BackendEvent{BackendEvent::Type::ButtonPressed, pressedId(*button)});
  return true;
}

bool MemoryBackend::pressKey(std::string_view key) {
  const Control* found = nullptr;
  for (const Control* button : controls(ControlKind::Button)) {
    const Control* window = windowOf(*button);
    if (!key.empty() && button->keyEquivalent == key && !button->hidden && window && window->visible) found = button;
  }
  if (!found) return false;
  deliver(BackendEvent{BackendEvent::Type::ButtonPressed, pressedId(*found)});
  return true;
}

void MemoryBackend::closeWindow(ControlId id) {
  Control* c = find(id);
  if (!c || c->kind != ControlKind::Window) return;
  c->visible = false;
  deliver(BackendEvent{BackendEvent::Type::WindowClosed, id});
}

void MemoryBackend::lose() {
  alive_ = false;
  deliver(BackendEvent{BackendEvent::Type::Lost, 0});
}

void MemoryBackend::failStep(std::string message) {
  scriptFailures_.push_back(std::move(message));
  const std::vector<const Control*> windows = visibleWindows();
  if (!windows.empty()) closeWindow(windows.back()->id);
}

void MemoryBackend::pressButtonAfterTicks(std::string title, int ticks) {
  runAfterTicks(ticks, [this, title] {
    if (!pressButtonWithTitle(title)) failStep("no button \"" + title + "\" to press");
  });
}

void MemoryBackend::pressKeyAfterTicks(std::string key, int ticks) {
  runAfterTicks(ticks, [this, key] {
    if (!pressKey(key)) failStep("no button for key to press");
  });
}

void MemoryBackend::closeFrontWindowAfterTicks(int ticks) {
  runAfterTicks(ticks, [this] {
    const std::vector<const Control*> windows = visibleWindows();
    if (windows.empty())
      scriptFailures_.push_back("no window to close");
    else
      closeWindow(windows.back()->id);
  });
}

void MemoryBackend::loseAfterTicks(int ticks) {
  runAfterTicks(ticks, [this] { lose(); });
}

void MemoryBackend::runAfterTicks(int ticks, std::function<void()> step) {
  script_.push_back(Step{std::max(ticks, 0), std::move(step)});
  if (!visibleWindows().empty()) schedulePump();
}

void MemoryBackend::schedulePump() {
  if (pumpTimer_.active() || script_.empty()) return;
  pumpTimer_ = RunLoop::current().addTimer(0, false,
                                           [this] {
                                             pumpTimer_.reset();
                                             pump();
                                           },
                                           {kModalPanelRunLoopMode});
}

void MemoryBackend::pump() {
  // Steps wait for a shown window; showWindow() starts the pump again.
  if (script_.empty() || visibleWindows().empty()) return;
  Step& front = script_.front();
  if (front.ticks > 0) {
    --front.ticks;
  } else {
    std::function<void()> action = std::move(front.action);
    script_.pop_front();
    action();
  }
  schedulePump();
}

}  // namespace cw::ui

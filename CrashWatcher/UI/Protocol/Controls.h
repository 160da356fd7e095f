#pragma once

#include <cstdint>
#include <string>

namespace cw::ui {

// The agent names every control by an id of its own choosing.
using ControlId = std::uint64_t;

// TextView: a read-only, scrollable, selectable area of monospace text.
enum class ControlKind { Window, View, TextField, Button, TextView };

// A small message window that the drawing side lays out itself: a title, a
// message, a line of text the user can select and copy (an address), and one
// button that dismisses it.
struct MessagePanel {
  std::string title;
  std::string message;
  std::string selectableText;
  std::string buttonTitle;
  bool operator==(const MessagePanel&) const = default;
};

// A small window that says work is under way: a title, a message, a moving
// progress indication, and one button that stops the work.
struct ProgressPanel {
  std::string title;
  std::string message;
  std::string stopTitle;
  bool operator==(const ProgressPanel&) const = default;
};

}  // namespace cw::ui

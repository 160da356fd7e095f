#pragma once

#include <cstdint>

namespace cw::ui {

// The agent names every control by an id of its own choosing.
using ControlId = std::uint64_t;

enum class ControlKind { Window, View, TextField, Button };

}  // namespace cw::ui

#pragma once

#include <string>
#include <string_view>

namespace cw {

// One shell word that bash reads back as exactly `text`, whatever bytes it
// holds: single quotes, with each single quote written as '\''. (A NUL byte
// cannot be part of any shell word or argument: the text ends there for the
// shell.)
std::string shellQuote(std::string_view text);

}  // namespace cw

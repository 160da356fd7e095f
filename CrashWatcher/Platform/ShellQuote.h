#pragma once

#include <string>
#include <string_view>

namespace cw {

// One shell word that bash reads back as exactly `text`, whatever bytes it
// holds: single quotes, with each single quote written as '\''.
std::string shellQuote(std::string_view text);

}  // namespace cw

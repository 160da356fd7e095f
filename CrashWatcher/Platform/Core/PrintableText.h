#pragma once

#include <string>
#include <string_view>

namespace cw {

// `text` made safe to put in a log line: it can neither end the line nor
// forge another, nor reach a terminal as a control sequence. Printable UTF-8
// stays as it is; "\" becomes "\\", LF "\n", CR "\r", TAB "\t", any other C0
// byte and DEL "\xHH"; C1 controls, line and paragraph separators and bidi
// overrides "\u{HHHH}"; each byte that is not part of valid UTF-8 "\xHH".
// The escaping is unambiguous: the original text can be told from it.
std::string printableForLog(std::string_view text);

}  // namespace cw

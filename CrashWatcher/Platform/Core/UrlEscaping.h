#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace cw {

// Percent-escapes UTF-8 text for a URL by RFC 2396's URL character set: letters,
// digits, the marks - _ . ! ~ * ' ( ) and the reserved ; / ? : @ & = + $ , stay
// as they are; every other byte becomes "%" and two upper-case hex digits.
// `alsoEscape` names ASCII characters of that set to escape all the same (a
// field value that must not carry a separator). Absent when the text is not
// valid UTF-8.
std::optional<std::string> stringByAddingPercentEscapes(std::string_view text, std::string_view alsoEscape = {});

// RFC 3986's unreserved characters: letters, digits, "-", ".", "_", "~".
bool isUnreservedUrlCharacter(char c);

// Percent-escapes UTF-8 text leaving only RFC 3986's unreserved characters as
// they are: letters, digits, "-", ".", "_" and "~". Every mail program reads
// such a value back unchanged, whatever it makes of "+", "=", "&" or "://".
// Absent when the text is not valid UTF-8.
std::optional<std::string> stringByAddingPercentEscapesExceptUnreserved(std::string_view text);

}  // namespace cw

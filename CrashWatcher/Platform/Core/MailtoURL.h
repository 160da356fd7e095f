#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace cw {

// The longest string one argument of a new program may be: the kernel's
// MAX_ARG_STRLEN (32 pages of 4 KiB) less the terminating NUL. A longer
// argument makes execve fail with E2BIG.
inline constexpr std::size_t kMaxProcessArgumentLength = 128 * 1024 - 1;

// `text` on one line: every control character (C0, DEL and the C1 range) is
// replaced by a space, so that CR LF and the like cannot reach a mail header.
std::string replacingControlCharactersWithSpaces(std::string_view text);

// "mailto:<recipient>?SUBJECT=<subject>&BODY=<body>" for every mail program:
// the subject (first made one line, as above) and the body are escaped down
// to RFC 3986's unreserved characters, so each decodes to exactly its text;
// the recipient keeps RFC 2396's URL characters except "?" and "&".
//
// The URL is at most `maxLength` bytes. When it would be longer, the subject
// and then the body are shortened at a character boundary and end in "…":
// the subject keeps at least a quarter of the room, the body the rest.
// Absent when a text is not valid UTF-8, or when not even the recipient fits.
std::optional<std::string> mailtoURL(std::string_view recipient, std::string_view subject, std::string_view body,
                                     std::size_t maxLength = kMaxProcessArgumentLength);

}  // namespace cw

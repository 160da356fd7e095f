#pragma once

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace cw::ui {

using StringTable = std::map<std::string, std::string, std::less<>>;

// Files beyond this size are not read: a string table is a few kilobytes.
inline constexpr std::size_t kMaxStringsFileSize = std::size_t{1} << 20;

// Reads a string table in the classic form
//   /* comment */  // comment
//   "key" = "value";
//   "key";              (the value is the key)
// with the escapes \" \\ \n \t \r \UXXXX (and \uXXXX; UTF-16 pairs are
// joined); other escaped characters stand for themselves. Keys and values may
// also be bare words of letters, digits and _ . - $ : /. The text is UTF-8 (a
// byte-order mark is skipped) or UTF-16 with a byte-order mark. A later entry
// replaces an earlier one of the same key. Absent when the text is malformed
// anywhere: an unknown table is better than a half-read one.
std::optional<StringTable> parseStringsTable(std::string_view text);

// Reads and parses the file at `path`; absent when it is missing, not a
// regular file, too large, unreadable or malformed.
std::optional<StringTable> readStringsFile(const std::string& path);

}  // namespace cw::ui

#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace cw {

// The user's home folder: $HOME when set and non-empty, else the password
// database, else "/".
std::string homeDirectory();

// Replaces a leading "~" or "~/..." with the home folder ("~user" forms with
// that user's home). Anything else is returned unchanged.
std::string expandTilde(std::string_view path);

// Tilde expanded, then "." components, doubled and trailing slashes removed
// and "dir/.." folded where the path is absolute.
std::string standardizePath(std::string_view path);

// Joins with exactly one separator.
std::string appendPathComponent(std::string_view base, std::string_view component);

// The library folders, in the platform's domain order: the user's
// ("~/Library", not expanded) before the local one ("/Library", or the value of
// CRASHWATCHER_LOCAL_LIBRARY when set, for tests).
enum LibraryDomain : unsigned { kUserDomain = 1, kLocalDomain = 2 };
std::vector<std::string> libraryDirectories(unsigned domainMask);

}  // namespace cw

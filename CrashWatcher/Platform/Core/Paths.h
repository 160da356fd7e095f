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

// The other way round: a path inside the home folder as "~/...". Anything
// else is returned unchanged.
std::string abbreviateWithTilde(std::string_view path);

// Tilde expanded, then "." components, doubled and trailing slashes removed
// and "dir/.." folded where the path is absolute.
std::string standardizePath(std::string_view path);

// Joins with exactly one separator.
std::string appendPathComponent(std::string_view base, std::string_view component);

// A symbolic link met on the way to a path: the folder that holds it (a path
// without links) and its name there.
struct SymbolicLinkOnTheWay {
  std::string folder;
  std::string name;
  bool operator==(const SymbolicLinkOnTheWay&) const = default;
};

// How far an absolute path resolves, followed as the kernel follows it.
struct PathResolution {
  // Every symbolic link met, its last component included, in the order met:
  // each link of a chain, and the links inside a link's target.
  std::vector<SymbolicLinkOnTheWay> links;
  // The deepest folder reached (a path without links).
  std::string reached;
  // The name in `reached` that could not be entered: missing, no folder, not
  // readable, or a link past the 40th (a loop). Empty when the whole path
  // resolved to a folder.
  std::string blockedAt;
  bool operator==(const PathResolution&) const = default;
};
PathResolution resolvePath(std::string_view path);

// The library folders, in the platform's domain order: the user's
// ("~/Library", not expanded) before the local one ("/Library", or the value of
// CRASHWATCHER_LOCAL_LIBRARY when set, for tests).
enum LibraryDomain : unsigned { kUserDomain = 1, kLocalDomain = 2 };
std::vector<std::string> libraryDirectories(unsigned domainMask);

}  // namespace cw

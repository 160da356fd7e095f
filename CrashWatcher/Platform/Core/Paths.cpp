#include "Platform/Paths.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <deque>
#include <vector>

namespace cw {
namespace {

// The components of a path, without empty and "." ones.
std::deque<std::string> components(std::string_view path) {
  std::deque<std::string> parts;
  while (!path.empty()) {
    const std::size_t slash = path.find('/');
    const std::string_view part = path.substr(0, slash);
    path = slash == std::string_view::npos ? std::string_view() : path.substr(slash + 1);
    if (!part.empty() && part != ".") parts.emplace_back(part);
  }
  return parts;
}

std::string passwdHome(const char* user) {
  long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(size > 0 ? static_cast<size_t>(size) : 16384);
  passwd entry{};
  passwd* result = nullptr;
  const int rc = user ? ::getpwnam_r(user, &entry, buffer.data(), buffer.size(), &result)
                      : ::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &result);
  if (rc != 0 || !result || !result->pw_dir) return {};
  return result->pw_dir;
}

}  // namespace

std::string homeDirectory() {
  const char* home = std::getenv("HOME");
  if (home && *home) return home;
  std::string fromDb = passwdHome(nullptr);
  return fromDb.empty() ? "/" : fromDb;
}

std::string expandTilde(std::string_view path) {
  if (path.empty() || path[0] != '~') return std::string(path);
  const size_t slash = path.find('/');
  const std::string_view user = path.substr(1, slash == std::string_view::npos ? std::string_view::npos : slash - 1);
  std::string home = user.empty() ? homeDirectory() : passwdHome(std::string(user).c_str());
  if (home.empty()) return std::string(path);
  // "$HOME/" must not give "~" a trailing slash nor "~/x" a doubled one.
  while (home.size() > 1 && home.back() == '/') home.pop_back();
  if (slash == std::string_view::npos) return home;
  if (home == "/") home.clear();
  return home + std::string(path.substr(slash));
}

std::string abbreviateWithTilde(std::string_view path) {
  std::string home = homeDirectory();
  while (home.size() > 1 && home.back() == '/') home.pop_back();
  if (home.size() > 1 && path.starts_with(home + "/")) return "~" + std::string(path.substr(home.size()));
  return std::string(path);
}

std::string standardizePath(std::string_view input) {
  const std::string path = expandTilde(input);
  if (path.empty()) return path;
  const bool absolute = path[0] == '/';
  std::vector<std::string_view> parts;
  std::string_view rest(path);
  while (!rest.empty()) {
    const size_t slash = rest.find('/');
    const std::string_view part = rest.substr(0, slash);
    rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
    if (part.empty() || part == ".") continue;
    if (part == ".." && absolute) {
      if (!parts.empty()) parts.pop_back();
      continue;
    }
    parts.push_back(part);
  }
  std::string out = absolute ? "/" : "";
  for (size_t i = 0; i < parts.size(); ++i) {
    if (i) out.push_back('/');
    out.append(parts[i]);
  }
  if (out.empty()) out = ".";
  return out;
}

std::string appendPathComponent(std::string_view base, std::string_view component) {
  std::string out(base);
  while (out.size() > 1 && out.back() == '/') out.pop_back();
  size_t skip = 0;
  while (skip < component.size() && component[skip] == '/') ++skip;
  component.remove_prefix(skip);
  if (component.empty()) return out;
  if (!out.empty() && out.back() != '/') out.push_back('/');
  // Doubled separators inside the component collapse as well.
  for (const char c : component)
    if (c != '/' || out.back() != '/') out.push_back(c);
  while (out.size() > 1 && out.back() == '/') out.pop_back();
  return out;
}

PathResolution resolvePath(std::string_view path) {
  constexpr std::size_t kMostLinks = 40;  // as the kernel's own resolution
  PathResolution way{.links = {}, .reached = "/", .blockedAt = {}};
  std::deque<std::string> rest = components(path);
  while (!rest.empty()) {
    std::string name = std::move(rest.front());
    rest.pop_front();
    if (name == "..") {
      way.reached = way.reached.substr(0, std::max<std::size_t>(way.reached.rfind('/'), 1));
      continue;
    }
    const std::string next = appendPathComponent(way.reached, name);
    struct stat st {};
    if (::lstat(next.c_str(), &st) != 0 || (!S_ISLNK(st.st_mode) && !S_ISDIR(st.st_mode))) {
      way.blockedAt = std::move(name);
      break;
    }
    if (S_ISDIR(st.st_mode)) {
      way.reached = next;
      continue;
    }
    if (way.links.size() == kMostLinks) {
      way.blockedAt = std::move(name);
      break;
    }
    way.links.push_back(SymbolicLinkOnTheWay{way.reached, name});
    std::string target(static_cast<std::size_t>(PATH_MAX), '\0');
    const ssize_t size = ::readlink(next.c_str(), target.data(), target.size());
    if (size <= 0 || static_cast<std::size_t>(size) >= target.size()) {
      way.blockedAt = std::move(name);
      break;
    }
    target.resize(static_cast<std::size_t>(size));
    if (target[0] == '/') way.reached = "/";
    std::deque<std::string> targetParts = components(target);
    rest.insert(rest.begin(), targetParts.begin(), targetParts.end());
  }
  return way;
}

std::vector<std::string> libraryDirectories(unsigned domainMask) {
  std::vector<std::string> out;
  if (domainMask & kUserDomain) out.emplace_back("~/Library");
  if (domainMask & kLocalDomain) {
    const char* local = std::getenv("CRASHWATCHER_LOCAL_LIBRARY");
    out.emplace_back(local && *local ? local : "/Library");
  }
  return out;
}

}  // namespace cw

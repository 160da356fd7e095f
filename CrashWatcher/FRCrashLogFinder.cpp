#include "FRCrashLogFinder.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <set>

#include "FRApplication.h"
#include "Platform/DirectoryListing.h"
#include "Platform/Paths.h"
#include "Platform/PrintableText.h"
#include "Platform/SystemLog.h"

namespace cw {
namespace {

constexpr std::string_view kCrashReporterFolder = "Logs/CrashReporter/";
constexpr std::string_view kCrashLogSuffix = ".crash";

bool endsWith(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

bool startsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

// Folders that could not be read, each logged once until it reads again: a
// folder that stays unreadable would otherwise fill the log at every scan.
std::set<std::string>& unreadableFoldersLogged() {
  static std::set<std::string> folders;
  return folders;
}

void noteUnreadable(const std::string& folder, const SystemError& error) {
  if (unreadableFoldersLogged().insert(folder).second)
    systemLog("Cannot search '%@' for crash logs (%@); skipping it", printableForLog(folder), error.reason());
}

// The entries of one folder. A folder that cannot be opened or read to its
// end is logged; what was read of it still counts.
std::vector<DirectoryEntry> readFolder(const std::string& folder) {
  DirectoryListing listing = listDirectory(folder);
  if (!listing.error)
    unreadableFoldersLogged().erase(folder);
  else if (listing.error->code() != ENOENT && listing.error->code() != ENOTDIR)  // gone since its parent was listed
    noteUnreadable(folder, *listing.error);
  return std::move(listing.entries);
}

// Every path below `top`, relative to it, each folder's entries in the
// platform's order and a folder's contents right after the folder itself.
template <typename Visit>
void walk(const std::string& top, Visit visit) {
  struct Level {
    std::string relative;  // of the folder, "" for the top
    std::vector<DirectoryEntry> entries;
    std::size_t next = 0;
  };
  std::vector<Level> levels;
  levels.push_back(Level{"", readFolder(top)});
  while (!levels.empty()) {
    Level& level = levels.back();
    if (level.next == level.entries.size()) {
      levels.pop_back();
      continue;
    }
    const DirectoryEntry& entry = level.entries[level.next++];
    std::string relative = level.relative.empty() ? entry.name : level.relative + "/" + entry.name;
    visit(relative);
    if (entry.isFolder) {
      std::vector<DirectoryEntry> below = readFolder(appendPathComponent(top, relative));
      levels.push_back(Level{std::move(relative), std::move(below)});
    }
  }
}

Date modificationDate(const struct stat& st) {
  using namespace std::chrono;
  return Date(duration_cast<system_clock::duration>(seconds(st.st_mtim.tv_sec) + nanoseconds(st.st_mtim.tv_nsec)));
}

}  // namespace

std::vector<std::string> FRCrashLogFinder::findCrashLogsSince(const std::optional<Date>& date) {
  std::vector<std::string> result;
  const std::vector<std::string> libraries = libraryDirectories(kUserDomain | kLocalDomain);
  if (libraries.empty()) return result;
  // The lookup answers user before local; walking it backwards searches the
  // local library folder first.
  for (auto library = libraries.rbegin(); library != libraries.rend(); ++library) {
    const std::string folder = expandTilde(appendPathComponent(*library, kCrashReporterFolder));
    struct stat st {};
    if (::stat(folder.c_str(), &st) != 0) continue;

    // A subfolder that cannot be read is skipped (and logged); the rest of
    // the tree is still searched.
    walk(folder, [&](const std::string& relative) {
      if (!endsWith(relative, kCrashLogSuffix)) return;
      if (!startsWith(relative, FRApplication::applicationName())) return;
      const std::string candidate = expandTilde(appendPathComponent(folder, relative));
      if (fileIsNewerThan(candidate, date)) result.push_back(candidate);
    });
  }
  return result;
}

bool FRCrashLogFinder::fileIsNewerThan(const std::string& path, const std::optional<Date>& date) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    if (errno == ENOENT || errno == ENOTDIR) return false;
    // It may exist but cannot be examined: say why, and without a date it
    // cannot be called new.
    systemLog("Error while fetching file attributes: %@", std::strerror(errno));
    return false;
  }
  if (!date) return true;
  return !(*date > modificationDate(st));
}

}  // namespace cw

#include "FRCrashLogFinder.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "FRApplication.h"
#include "Platform/Paths.h"
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

    namespace fs = std::filesystem;
    std::error_code error;
    fs::recursive_directory_iterator it(folder, fs::directory_options::skip_permission_denied, error);
    const fs::recursive_directory_iterator end;
    for (; !error && it != end; it.increment(error)) {
      // Every entry lies below `folder`: its relative path is the rest of its own.
      const std::string& full = it->path().native();
      if (!endsWith(full, kCrashLogSuffix)) continue;
      const std::string_view relative = std::string_view(full).substr(std::min(full.size(), folder.size() + 1));
      if (!startsWith(relative, FRApplication::applicationName())) continue;
      const std::string candidate = expandTilde(appendPathComponent(folder, relative));
      if (fileIsNewerThan(candidate, date)) result.push_back(candidate);
    }
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

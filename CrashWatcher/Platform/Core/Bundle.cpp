#include "Platform/Bundle.h"

#include <sys/stat.h>
#include <unistd.h>

#include <mutex>
#include <vector>

#include "Platform/Paths.h"

namespace cw {
namespace {

// Guards the lazy Info.plist reads: the logging framework may reach the main
// bundle from other threads.
std::mutex& bundleMutex() {
  static std::mutex mutex;
  return mutex;
}

bool leavesFolder(std::string_view relative) {
  if (relative.empty() || relative.front() == '/') return true;
  std::size_t start = 0;
  while (start <= relative.size()) {
    const std::size_t slash = relative.find('/', start);
    const std::string_view part =
        relative.substr(start, slash == std::string_view::npos ? std::string_view::npos : slash - start);
    if (part == "..") return true;
    if (slash == std::string_view::npos) break;
    start = slash + 1;
  }
  return false;
}

}  // namespace

Bundle::Bundle(std::string bundlePath) : bundlePath_(std::move(bundlePath)) {}

Bundle& Bundle::mainBundle() {
  static Bundle bundle(defaultMainBundlePath());
  return bundle;
}

std::string Bundle::resourcePath() const {
  if (bundlePath_.empty()) return {};
  return appendPathComponent(bundlePath_, "Resources");
}

std::optional<std::string> Bundle::pathForResource(std::string_view name, std::string_view type) const {
  if (bundlePath_.empty() || leavesFolder(name)) return std::nullopt;
  std::string file(name);
  if (!type.empty()) {
    file.push_back('.');
    file.append(type);
  }
  if (leavesFolder(file)) return std::nullopt;
  std::string path = appendPathComponent(resourcePath(), file);
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return std::nullopt;
  return path;
}

const PlistDictionary& Bundle::infoDictionary() const {
  std::lock_guard lock(bundleMutex());
  if (!info_) {
    std::optional<PlistDictionary> read;
    if (!bundlePath_.empty()) read = readDictionaryFromFile(appendPathComponent(bundlePath_, "Info.plist"));
    info_ = read ? std::move(*read) : PlistDictionary();
  }
  return *info_;
}

const PlistValue* Bundle::objectForInfoDictionaryKey(std::string_view key) const {
  return lookup(infoDictionary(), key);
}

std::string defaultMainBundlePath() {
  const std::string directory = executableDirectory();
  // Without the executable's folder there is no bundle: never fall back to
  // the working directory.
  if (directory.empty() || directory.front() != '/') return {};
  return standardizePath(appendPathComponent(directory, "../share/crashwatcher"));
}

std::string executableDirectory() {
  std::vector<char> buffer(4096);
  while (true) {
    const ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (n < 0) return {};
    if (static_cast<std::size_t>(n) < buffer.size()) {
      std::string path(buffer.data(), static_cast<std::size_t>(n));
      const std::size_t slash = path.rfind('/');
      if (slash == std::string::npos) return {};
      return slash == 0 ? "/" : path.substr(0, slash);
    }
    if (buffer.size() >= (std::size_t{1} << 20)) return {};
    buffer.resize(buffer.size() * 2);
  }
}

}  // namespace cw

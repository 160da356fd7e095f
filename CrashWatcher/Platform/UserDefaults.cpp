#include "Platform/UserDefaults.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "Platform/Bundle.h"
#include "Platform/Paths.h"
#include "Platform/UniqueFd.h"

namespace cw {
namespace {

// The identifier the agent ships with: a damaged Info.plist must not make the
// user's preferences seem lost.
constexpr std::string_view kFallbackDomain = "com.vellumdrift.CrashWatcher";

bool canNameFile(std::string_view domain) {
  return !domain.empty() && domain != "." && domain != ".." && domain.find('/') == std::string_view::npos &&
         domain.find('\0') == std::string_view::npos && domain.size() <= 200;
}

bool isDirectory(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// mkdir -p; folders it creates are private to the user, as a library folder is.
bool ensureDirectory(const std::string& path) {
  if (isDirectory(path)) return true;
  for (std::size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
    const std::string prefix = path.substr(0, slash);
    if (!isDirectory(prefix) && ::mkdir(prefix.c_str(), 0700) != 0 && errno != EEXIST) return false;
    if (slash == std::string::npos) break;
  }
  return isDirectory(path);
}

bool writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

// Removes a temporary file unless it was renamed into place.
class TemporaryFile {
public:
  explicit TemporaryFile(std::string path) : path_(std::move(path)) {}
  ~TemporaryFile() {
    if (!committed_) ::unlink(path_.c_str());
  }
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;
  const std::string& path() const { return path_; }
  void commit() { committed_ = true; }

private:
  std::string path_;
  bool committed_ = false;
};

bool writeAtomically(int folderFd, const std::string& folder, const std::string& path, std::string_view bytes) {
  std::string pattern = path + ".tmp-XXXXXX";
  UniqueFd fd(::mkostemp(pattern.data(), O_CLOEXEC));
  if (!fd) return false;
  TemporaryFile temporary(pattern);
  if (!writeAll(fd.get(), bytes) || ::fsync(fd.get()) != 0) return false;
  if (::close(fd.release()) != 0) return false;
  if (::rename(temporary.path().c_str(), path.c_str()) != 0) return false;
  temporary.commit();
  // The rename is durable only once the folder is on disk too.
  if (folderFd >= 0)
    ::fsync(folderFd);
  else if (UniqueFd again(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)); again)
    ::fsync(again.get());
  return true;
}

// Renames an unusable preference file to "<name>.corrupt-<UTC time>", never
// over an earlier one.
bool moveAside(const std::string& path) {
  const std::time_t now = std::time(nullptr);
  std::tm utc{};
  ::gmtime_r(&now, &utc);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%SZ", &utc);
  const std::string base = path + ".corrupt-" + stamp;
  for (int attempt = 0; attempt < 1000; ++attempt) {
    const std::string target = attempt == 0 ? base : base + "-" + std::to_string(attempt);
    if (::renameat2(AT_FDCWD, path.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0) return true;
    if (errno == EEXIST) continue;
    if (errno != EINVAL && errno != ENOSYS) return false;
    // The file system cannot refuse to replace: check first.
    struct stat info {};
    if (::lstat(target.c_str(), &info) == 0) continue;
    return ::rename(path.c_str(), target.c_str()) == 0;
  }
  return false;
}

}  // namespace

UserDefaults::UserDefaults(std::string domain) : domain_(std::move(domain)) {}

std::string UserDefaults::domainForBundle(const Bundle& bundle) {
  if (const PlistValue* identifier = bundle.objectForInfoDictionaryKey("CFBundleIdentifier")) {
    if (const std::string* text = identifier->asString(); text && canNameFile(*text)) return *text;
  }
  return std::string(kFallbackDomain);
}

UserDefaults& UserDefaults::standardUserDefaults() {
  const std::string domain = domainForBundle(Bundle::mainBundle());
  // One instance per domain for the process.
  static std::mutex mutex;
  static std::map<std::string, std::unique_ptr<UserDefaults>, std::less<>> instances;
  std::lock_guard lock(mutex);
  auto& instance = instances[domain];
  if (!instance) instance = std::make_unique<UserDefaults>(domain);
  return *instance;
}

std::string UserDefaults::filePath() const {
  if (!canNameFile(domain_)) return {};
  return appendPathComponent(appendPathComponent(homeDirectory(), "Library/Preferences"), domain_ + ".plist");
}

std::optional<PlistValue> UserDefaults::objectForKey(std::string_view key) const {
  const std::string path = filePath();
  if (path.empty()) return std::nullopt;
  const PlistFileContents contents = readPropertyListFile(path);
  if (contents.status != PlistFileStatus::Ok) return std::nullopt;
  const PlistDictionary* dictionary = contents.value->asDictionary();
  if (!dictionary) return std::nullopt;
  const PlistValue* value = lookup(*dictionary, key);
  if (!value) return std::nullopt;
  return *value;
}

bool UserDefaults::boolForKey(std::string_view key) const {
  const std::optional<PlistValue> value = objectForKey(key);
  return value && value->boolValue();
}

bool UserDefaults::setObjectForKey(std::string_view key, const PlistValue& value) {
  const std::string path = filePath();
  if (path.empty()) return false;
  const std::string folder = path.substr(0, path.rfind('/'));
  if (!ensureDirectory(folder)) return false;

  // Writers of this class take turns, so that one's read-modify-write cannot
  // undo another's key. Without the lock (an odd file system) the atomic
  // rename still keeps the file whole.
  UniqueFd folderFd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (folderFd) {
    while (::flock(folderFd.get(), LOCK_EX) != 0 && errno == EINTR) {
    }
  }

  PlistDictionary dictionary;
  PlistFileContents current = readPropertyListFile(path);
  switch (current.status) {
    case PlistFileStatus::Ok:
      if (const PlistDictionary* stored = current.value->asDictionary()) {
        dictionary = *stored;
        break;
      }
      [[fallthrough]];  // a property list, but not of preferences
    case PlistFileStatus::Malformed:
    case PlistFileStatus::TooLarge:
      if (!moveAside(path)) return false;
      break;
    case PlistFileStatus::Missing:
    case PlistFileStatus::Empty:
      break;
    case PlistFileStatus::NotAFile:
    case PlistFileStatus::Unreadable:
      // Nothing we may replace: writing would lose what we could not read.
      return false;
  }
  dictionary.insert_or_assign(std::string(key), value);
  return writeAtomically(folderFd.get(), folder, path, serializePropertyList(PlistValue(std::move(dictionary))));
}

bool UserDefaults::setBoolForKey(std::string_view key, bool value) {
  return setObjectForKey(key, PlistValue(value));
}

}  // namespace cw

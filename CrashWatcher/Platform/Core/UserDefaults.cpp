#include "Platform/UserDefaults.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "Platform/AtomicFile.h"
#include "Platform/Bundle.h"
#include "Platform/Paths.h"
#include "Platform/Posix.h"
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

std::int64_t nanoseconds(const timespec& t) {
  return static_cast<std::int64_t>(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
}

// A clock that costs no system call; its few milliseconds of coarseness do
// not matter against the check interval.
std::int64_t coarseNow() {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
  return nanoseconds(now);
}

// What a stat tells about the file; equal signatures mean an unchanged file,
// unless it changed within one tick of the file system's clock (see racy).
struct FileSignature {
  int error = 0;  // errno of the stat, 0 when it succeeded
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = 0;
  std::int64_t modified = 0;
  std::int64_t changed = 0;
  bool operator==(const FileSignature&) const = default;
};

FileSignature signatureOf(const std::string& path) {
  FileSignature signature;
  struct stat info {};
  if (path.empty()) {
    signature.error = ENOENT;
  } else if (::stat(path.c_str(), &info) != 0) {
    signature.error = errno;
  } else {
    signature = {0, info.st_dev, info.st_ino, info.st_size, nanoseconds(info.st_mtim), nanoseconds(info.st_ctim)};
  }
  return signature;
}

std::uint64_t newGeneration() {
  static std::atomic<std::uint64_t> last{0};
  return last.fetch_add(1, std::memory_order_relaxed) + 1;
}

bool homeIsSet(const char* home) {
  return home && *home;
}

}  // namespace

struct UserDefaults::Snapshot {
  std::uint64_t generation = 0;
  bool homeSet = false;
  std::string home;  // the HOME it was read under, when set
  std::string path;
  FileSignature signature;
  // Changed so recently that a change within the same tick of the file
  // system's clock would leave the signature as it is: read again next time.
  bool racy = false;
  std::optional<PlistDictionary> dictionary;

  bool readUnder(const char* currentHome) const {
    return homeIsSet(currentHome) ? homeSet && home == currentHome : !homeSet;
  }
};

UserDefaults::UserDefaults(std::string domain) : domain_(std::move(domain)) {}

UserDefaults::~UserDefaults() = default;

std::shared_ptr<const UserDefaults::Snapshot> UserDefaults::current(const char* home) const {
  std::lock_guard lock(mutex_);
  const std::int64_t now = coarseNow();
  if (snapshot_ && snapshot_->readUnder(home) && now < nextCheck_.load(std::memory_order_relaxed)) return snapshot_;

  const std::string path = filePath();
  const FileSignature signature = signatureOf(path);
  const bool unchanged = snapshot_ && snapshot_->readUnder(home) && snapshot_->path == path && !snapshot_->racy &&
                         snapshot_->signature == signature;
  timespec realNow{};
  ::clock_gettime(CLOCK_REALTIME, &realNow);
  // Recency is that of the contents; a rename or chmod alone shows in the
  // signature all the same.
  const std::int64_t sinceChange = nanoseconds(realNow) - signature.modified;
  // A file dated far ahead (a clock set wrong) counts as settled, or every
  // read would parse it until the clock caught up.
  const bool recent = signature.error == 0 && sinceChange < kRecentChangeNs && sinceChange > -kRecentChangeNs;
  if (!unchanged) {
    auto fresh = std::make_shared<Snapshot>();
    fresh->generation = newGeneration();
    fresh->homeSet = homeIsSet(home);
    if (fresh->homeSet) fresh->home = home;
    fresh->path = path;
    // Stat before read: a change in between makes the next check read again.
    fresh->signature = signature;
    fresh->racy = recent && sinceChange < 50'000'000;
    if (!path.empty()) {
      PlistFileContents contents = readPropertyListFile(path);
      if (contents.status == PlistFileStatus::Ok) {
        if (const PlistDictionary* dictionary = contents.value->asDictionary()) fresh->dictionary = *dictionary;
      }
    }
    snapshot_ = std::move(fresh);
    generation_.store(snapshot_->generation, std::memory_order_release);
  }
  nextCheck_.store(recent ? now : now + kCheckIntervalNs, std::memory_order_relaxed);
  return snapshot_;
}

void UserDefaults::invalidate() {
  std::lock_guard lock(mutex_);
  snapshot_.reset();
  generation_.store(newGeneration(), std::memory_order_release);
  nextCheck_.store(0, std::memory_order_relaxed);
}

std::string UserDefaults::domainForBundle(const Bundle& bundle) {
  if (const PlistValue* identifier = bundle.objectForInfoDictionaryKey("CFBundleIdentifier")) {
    if (const std::string* text = identifier->asString(); text && canNameFile(*text)) return *text;
  }
  return std::string(kFallbackDomain);
}

UserDefaults& UserDefaults::standardUserDefaults() {
  // The main bundle is fixed for the process, and with it the domain: after
  // the first call this is one guard check, cheap enough for every log call.
  static UserDefaults instance(domainForBundle(Bundle::mainBundle()));
  return instance;
}

std::string UserDefaults::filePath() const {
  if (!canNameFile(domain_)) return {};
  return appendPathComponent(appendPathComponent(homeDirectory(), "Library/Preferences"), domain_ + ".plist");
}

std::optional<PlistValue> UserDefaults::objectForKey(std::string_view key) const {
  const std::shared_ptr<const Snapshot> snapshot = current(std::getenv("HOME"));
  if (!snapshot->dictionary) return std::nullopt;
  const PlistValue* value = lookup(*snapshot->dictionary, key);
  if (!value) return std::nullopt;
  return *value;
}

bool UserDefaults::boolForKey(std::string_view key) const {
  // The last answer of this thread, valid while the snapshot it came from is
  // the current one and HOME is the same: no lock, no lookup, no allocation.
  struct Memo {
    // Reads from a later thread-local destructor go without a memo.
    ~Memo() { gone = true; }
    bool gone = false;
    const UserDefaults* owner = nullptr;
    std::uint64_t generation = 0;
    std::string key;
    bool homeSet = false;
    std::string home;
    bool value = false;
  };
  thread_local Memo memo;
  const char* home = std::getenv("HOME");
  if (!memo.gone && memo.owner == this && coarseNow() < nextCheck_.load(std::memory_order_relaxed) &&
      memo.generation == generation_.load(std::memory_order_acquire) && memo.key == key &&
      (homeIsSet(home) ? memo.homeSet && memo.home == home : !memo.homeSet)) {
    return memo.value;
  }
  const std::shared_ptr<const Snapshot> snapshot = current(home);
  const PlistValue* value = snapshot->dictionary ? lookup(*snapshot->dictionary, key) : nullptr;
  if (memo.gone) return value && value->boolValue();
  memo.owner = this;
  memo.generation = snapshot->generation;
  memo.key = key;
  memo.homeSet = snapshot->homeSet;
  memo.home = snapshot->home;
  memo.value = value && value->boolValue();
  return memo.value;
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
      if (!moveFileAside(path)) return false;
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
  const bool written = static_cast<bool>(
      writeFileAtomically(path, serializePropertyList(PlistValue(std::move(dictionary))), folderFd.get()));
  invalidate();
  return written;
}

bool UserDefaults::setBoolForKey(std::string_view key, bool value) {
  return setObjectForKey(key, PlistValue(value));
}

}  // namespace cw

#include "Platform/EventStream.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <optional>
#include <unordered_map>

#include "Platform/SystemLog.h"

namespace cw {
namespace {

using Clock = RunLoop::Clock;

// Everything that changes a watched folder's contents, and the folder's own end.
constexpr std::uint32_t kTreeMask = IN_CREATE | IN_DELETE | IN_MODIFY | IN_CLOSE_WRITE | IN_ATTRIB | IN_MOVED_FROM |
                                    IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR | IN_EXCL_UNLINK;
// A parent of a folder that does not exist yet, or of one that is a symbolic
// link: only names coming and going count, so that unrelated writes beside it
// do not wake us.
constexpr std::uint32_t kAncestorMask =
    IN_CREATE | IN_MOVED_TO | IN_DELETE | IN_MOVED_FROM | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
// Tries again after a limit stopped us: the first wait, and its bound as it doubles.
constexpr double kFirstRetrySeconds = 1;
constexpr double kMaxRetrySeconds = 60;
// Reads per wake-up; the rest waits for the next pass so that a flood cannot
// keep the loop from its other sources.
constexpr int kMaxReadsPerDrain = 16;
// Take-up retries when folders keep appearing and vanishing under us.
constexpr int kMaxTakeUpAttempts = 64;

bool isDirectory(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool isSymbolicLink(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

std::string lastComponent(const std::string& path) {
  return path.substr(path.rfind('/') + 1);
}

bool isWithin(const std::string& path, const std::string& folder) {
  if (folder == "/") return !path.empty() && path[0] == '/';
  return path.size() >= folder.size() && path.compare(0, folder.size(), folder) == 0 &&
         (path.size() == folder.size() || path[folder.size()] == '/');
}

std::string join(const std::string& dir, std::string_view name) {
  return dir == "/" ? "/" + std::string(name) : dir + "/" + std::string(name);
}

std::string parentOf(const std::string& path) {
  const auto slash = path.rfind('/');
  return slash == 0 || slash == std::string::npos ? "/" : path.substr(0, slash);
}

// The component of `path` right below its ancestor `dir`.
std::string componentBelow(const std::string& path, const std::string& dir) {
  const std::size_t start = dir == "/" ? 1 : dir.size() + 1;
  if (start >= path.size()) return {};
  return path.substr(start, path.find('/', start) - start);
}

std::string normalized(const std::string& path) {
  std::error_code ec;
  std::filesystem::path p(path);
  if (p.is_relative()) p = std::filesystem::absolute(p, ec);
  std::string text = p.lexically_normal().string();
  while (text.size() > 1 && text.back() == '/') text.pop_back();
  return text;
}

// Subfolder names of `dir`, not following symbolic links (a link back up the
// tree would otherwise be walked for ever).
std::vector<std::string> subfolders(const std::string& dir) {
  std::vector<std::string> names;
  const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return names;
  DIR* listing = ::fdopendir(fd);
  if (!listing) {
    ::close(fd);
    return names;
  }
  while (const dirent* entry = ::readdir(listing)) {
    const std::string_view name = entry->d_name;
    if (name == "." || name == "..") continue;
    bool folder = entry->d_type == DT_DIR;
    if (entry->d_type == DT_UNKNOWN) {
      struct stat st;
      folder = ::fstatat(fd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
    }
    if (folder) names.emplace_back(name);
  }
  ::closedir(listing);  // closes fd too
  return names;
}

}  // namespace

int InotifyCalls::init1(int flags) {
  return ::inotify_init1(flags);
}

int InotifyCalls::addWatch(int fd, const char* path, std::uint32_t mask) {
  return ::inotify_add_watch(fd, path, mask);
}

struct EventStream::Impl {
  struct Root {
    std::string path;
    bool present = false;    // the folder itself is watched
    std::string waitingOn;   // while absent: the nearest existing parent we watch
    std::string linkParent;  // while the path is a symbolic link: its folder, watched for the link's name
  };
  struct Watch {
    std::string path;
    bool tree = false;  // inside a watched folder (else only a parent of a missing one)
  };
  // The events gathered for the next delivery, bounded in size.
  struct Batch {
    std::vector<std::string> paths;
    std::vector<EventStreamEventFlags> flags;
    std::unordered_map<std::string, std::size_t> indexOfPath;
    bool userDropped = false;
    bool kernelDropped = false;

    bool empty() const { return paths.empty() && !userDropped && !kernelDropped; }
  };

  EventStream* owner = nullptr;
  EventStreamCallback callback = nullptr;
  void* context = nullptr;
  double latencySeconds = 0;
  std::vector<Root> roots;

  std::shared_ptr<InotifyCalls> calls;
  UniqueFd inotify;
  std::unordered_map<int, Watch> watches;
  std::unordered_map<std::string, int> watchOfPath;

  bool running = false;     // started and not stopped, watching or not
  bool limitHit = false;    // a watch was refused for the watch limit since the last try
  bool deafLogged = false;  // the present trouble is logged; its end will be too
  double retrySeconds = kFirstRetrySeconds;

  RunLoop* loop = nullptr;
  std::vector<std::string> modes;
  RunLoop::SourceHandle drainSource;
  RunLoop::SourceHandle deliveryTimer;
  RunLoop::SourceHandle retryTimer;

  Batch pending;
  std::optional<Clock::time_point> pendingDue;
  EventStreamEventId lastEventId = 0;

  bool started() const { return inotify.valid(); }

  // --- watches

  int addWatch(const std::string& path, bool tree) {
    const auto known = watchOfPath.find(path);
    if (known != watchOfPath.end()) {
      Watch& watch = watches[known->second];
      // Replacing a tree watch's mask with the narrow one would lose events.
      if (!tree || watch.tree) return known->second;
    }
    const int wd = calls->addWatch(inotify.get(), path.c_str(), tree ? kTreeMask : kAncestorMask);
    if (wd < 0) {
      // Other refusals (permission, a folder gone) are the folder's own; the
      // limit is ours to wait out.
      if (errno == ENOSPC || errno == ENOMEM) {
        limitHit = true;
        if (!deafLogged) {
          deafLogged = true;
          systemLog("Cannot watch '%@' (%@): the inotify watch limit is reached; trying again until it works", path,
                    std::strerror(errno));
        }
      }
      return -1;
    }
    // The same folder under another name (a link) keeps one watch: the newer name wins.
    const auto previous = watches.find(wd);
    if (previous != watches.end() && previous->second.path != path) watchOfPath.erase(previous->second.path);
    watches[wd] = Watch{path, tree};
    watchOfPath[path] = wd;
    return wd;
  }

  void dropWatch(int wd) {
    const auto it = watches.find(wd);
    if (it == watches.end()) return;
    ::inotify_rm_watch(inotify.get(), wd);
    watchOfPath.erase(it->second.path);
    watches.erase(it);
  }

  // Watches `top` and every folder below it. Each folder is watched before it
  // is listed, so that nothing made in it afterwards goes unseen.
  void watchTree(const std::string& top, bool report) {
    std::vector<std::string> toVisit{top};
    while (!toVisit.empty()) {
      const std::string dir = std::move(toVisit.back());
      toVisit.pop_back();
      if (addWatch(dir, true) < 0) continue;  // gone already, refused, or over the limit
      if (report) record(dir, kEventStreamEventFlagNone);
      for (const std::string& name : subfolders(dir)) toVisit.push_back(join(dir, name));
    }
  }

  void unwatchTree(const std::string& top) {
    std::vector<int> gone;
    for (const auto& [wd, watch] : watches)
      if (isWithin(watch.path, top)) gone.push_back(wd);
    for (int wd : gone) dropWatch(wd);
  }

  // Watches the root if it exists, else its nearest existing parent until it
  // appears.
  void takeUp(Root& root, bool report) {
    for (int attempt = 0; attempt < kMaxTakeUpAttempts; ++attempt) {
      if (isDirectory(root.path)) {
        watchTree(root.path, report);
        root.present = watchOfPath.count(root.path) != 0;
        root.waitingOn.clear();
        if (root.present) {
          followLink(root);
          if (report) record(root.path, kEventStreamEventFlagRootChanged);
          break;
        }
        if (isDirectory(root.path)) break;  // there, but refused (permission, watch limit)
        continue;                           // vanished again before we could watch it
      }
      root.present = false;
      root.linkParent.clear();
      std::string dir = parentOf(root.path);
      while (dir != "/" && !isDirectory(dir)) dir = parentOf(dir);
      if (addWatch(dir, false) < 0) {
        root.waitingOn.clear();
        break;
      }
      root.waitingOn = dir;
      // The next folder down may have been made between our look and the watch.
      if (!isDirectory(join(dir, componentBelow(root.path, dir)))) break;
    }
    pruneAncestorWatches();
  }

  // A root that is a symbolic link: the link may be pointed elsewhere or
  // replaced, which nothing inside its target would tell. Its folder tells.
  void followLink(Root& root) {
    root.linkParent.clear();
    if (!isSymbolicLink(root.path)) return;
    const std::string parent = parentOf(root.path);
    if (addWatch(parent, false) >= 0) root.linkParent = parent;
  }

  // The link's name changed hands: whatever it names now is watched afresh.
  void relink(Root& root) {
    unwatchTree(root.path);
    root.present = false;
    takeUp(root, true);
  }

  // Parents watched for a root that has since appeared are no longer needed.
  void pruneAncestorWatches() {
    std::vector<int> unneeded;
    for (const auto& [wd, watch] : watches) {
      if (watch.tree) continue;
      // A named reference: clang 14 cannot capture a structured binding.
      const std::string& watchedPath = watch.path;
      const bool needed = std::any_of(roots.begin(), roots.end(), [&](const Root& r) {
        return (!r.present && r.waitingOn == watchedPath) || (r.present && r.linkParent == watchedPath);
      });
      if (!needed) unneeded.push_back(wd);
    }
    for (int wd : unneeded) dropWatch(wd);
  }

  // After watches went away: take up every root that lost its watch.
  void reviewRoots() {
    for (Root& root : roots) {
      const bool lost = root.present ? watchOfPath.count(root.path) == 0 ||
                                           (!root.linkParent.empty() && watchOfPath.count(root.linkParent) == 0)
                                     : root.waitingOn.empty() || watchOfPath.count(root.waitingOn) == 0;
      if (lost) {
        root.present = false;
        takeUp(root, true);
      }
    }
  }

  const Root* rootAt(const std::string& path) const {
    for (const Root& root : roots)
      if (root.path == path) return &root;
    return nullptr;
  }

  bool inAnyRoot(const std::string& path) const {
    return std::any_of(roots.begin(), roots.end(), [&](const Root& r) { return isWithin(path, r.path); });
  }

  // --- events

  void drain() {
    alignas(inotify_event) char buffer[64 * 1024];
    for (int reads = 0; reads < kMaxReadsPerDrain; ++reads) {
      const ssize_t size = ::read(inotify.get(), buffer, sizeof buffer);
      if (size < 0 && errno == EINTR) continue;
      if (size <= 0) break;  // EAGAIN: nothing left
      for (std::size_t offset = 0; offset + sizeof(inotify_event) <= static_cast<std::size_t>(size);) {
        const auto* event = reinterpret_cast<const inotify_event*>(buffer + offset);
        handle(*event);
        offset += sizeof(inotify_event) + event->len;
      }
    }
    // A folder made meanwhile may have met the watch limit.
    armRetry();
  }

  void handle(const inotify_event& event) {
    if (event.mask & IN_Q_OVERFLOW) {
      recoverFromOverflow();
      return;
    }
    const auto it = watches.find(event.wd);
    if (it == watches.end()) return;  // a watch we dropped; its last events trail behind
    const Watch watch = it->second;
    const std::string name = event.len ? std::string(event.name) : std::string();

    if (event.mask & IN_IGNORED) {
      watchOfPath.erase(watch.path);
      watches.erase(it);
      reviewRoots();
      return;
    }

    // A missing root's next folder down appeared (also inside another root).
    if ((event.mask & (IN_CREATE | IN_MOVED_TO)) && !name.empty()) {
      for (Root& root : roots)
        if (!root.present && root.waitingOn == watch.path && componentBelow(root.path, watch.path) == name)
          takeUp(root, true);
    }
    // A root that is a link was pointed elsewhere, removed or replaced.
    if ((event.mask & (IN_CREATE | IN_MOVED_TO | IN_DELETE | IN_MOVED_FROM)) && !name.empty()) {
      for (Root& root : roots)
        if (root.present && root.linkParent == watch.path && lastComponent(root.path) == name) relink(root);
      if (!watches.count(event.wd)) return;  // the relink dropped this very watch
    }

    if (!watch.tree) {
      if (event.mask & IN_MOVE_SELF) {  // the parent moved: look again from further up
        dropWatch(event.wd);
        reviewRoots();
      }
      return;
    }

    const Root* root = rootAt(watch.path);
    if (event.mask & (IN_DELETE_SELF | IN_MOVE_SELF)) {
      if (!root) return;  // a subfolder: its parent reports the change
      record(watch.path, kEventStreamEventFlagRootChanged);
      if (event.mask & IN_MOVE_SELF) {
        // The watches now follow the folder elsewhere; the name is what we watch.
        unwatchTree(watch.path);
        reviewRoots();
      }
      return;  // on deletion, IN_IGNORED follows and takes the root up again
    }

    record(watch.path, kEventStreamEventFlagNone);
    if (!(event.mask & IN_ISDIR) || name.empty()) return;
    const std::string path = join(watch.path, name);
    if (event.mask & IN_MOVED_FROM) {
      unwatchTree(path);
      reviewRoots();
    } else if ((event.mask & (IN_CREATE | IN_MOVED_TO)) && inAnyRoot(path)) {
      watchTree(path, true);
    }
  }

  // Events were lost: folders may have been made or removed unseen. Watch
  // whatever is there now, forget what is gone, and tell the client to rescan.
  void recoverFromOverflow() {
    pending.kernelDropped = true;
    notePending();
    std::vector<int> gone;
    for (const auto& [wd, watch] : watches)
      if (!isDirectory(watch.path)) gone.push_back(wd);
    for (int wd : gone) dropWatch(wd);
    for (Root& root : roots) {
      if (root.present && isDirectory(root.path))
        watchTree(root.path, false);
      else
        takeUp(root, false);
    }
    pruneAncestorWatches();
  }

  void record(const std::string& path, EventStreamEventFlags flags) {
    const auto known = pending.indexOfPath.find(path);
    if (known != pending.indexOfPath.end()) {
      pending.flags[known->second] |= flags;
    } else if (pending.paths.size() >= kMaxPendingPaths) {
      pending.userDropped = true;
    } else {
      pending.indexOfPath.emplace(path, pending.paths.size());
      pending.paths.push_back(path);
      pending.flags.push_back(flags);
    }
    notePending();
  }

  // The time the loop's timers go by (a stream not scheduled yet will be on
  // this thread's loop).
  Clock::time_point now() const { return (loop ? *loop : RunLoop::current()).now(); }

  // The first event of a batch starts its latency.
  void notePending() {
    if (!pendingDue)
      pendingDue = now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(latencySeconds));
    armDelivery();
  }

  void armDelivery() {
    if (deliveryTimer || pending.empty() || !loop || modes.empty() || !pendingDue) return;
    const double remaining = std::chrono::duration<double>(*pendingDue - now()).count();
    deliveryTimer = loop->addTimer(
        std::max(remaining, 0.0), false, [this] { deliver(); }, modes);
  }

  void deliver() {
    deliveryTimer.reset();  // a one-shot timer is gone once it fires
    Batch batch = std::move(pending);
    pending = Batch{};
    pendingDue.reset();
    if (batch.userDropped || batch.kernelDropped) {
      const EventStreamEventFlags flags = kEventStreamEventFlagMustScanSubDirs |
                                          (batch.userDropped ? kEventStreamEventFlagUserDropped : 0) |
                                          (batch.kernelDropped ? kEventStreamEventFlagKernelDropped : 0);
      for (const Root& root : roots) {
        const auto known = batch.indexOfPath.find(root.path);
        if (known != batch.indexOfPath.end()) {
          batch.flags[known->second] |= flags;
        } else {
          batch.paths.push_back(root.path);
          batch.flags.push_back(flags);
        }
      }
    }
    std::vector<const char*> paths;
    std::vector<EventStreamEventId> ids;
    for (const std::string& path : batch.paths) {
      paths.push_back(path.c_str());
      ids.push_back(++lastEventId);
    }
    // Last: the callback may stop or even destroy this stream. Everything it
    // is handed lives in this frame.
    callback(owner, context, paths.size(), static_cast<void*>(paths.data()), batch.flags.data(), ids.data());
  }

  // --- scheduling

  void detachFromLoop() {
    drainSource.reset();
    deliveryTimer.reset();
    retryTimer.reset();
  }

  // Brings the loop's sources in line with the schedule: the descriptor is
  // drained in every mode, batches are delivered only in ours; a try again
  // runs in every mode too.
  void attachToLoop() {
    detachFromLoop();
    if (!loop || modes.empty() || !running) return;
    if (started()) drainSource = loop->addFdSource(inotify.get(), [this](short) { drain(); }, {kCommonModes});
    armDelivery();
    armRetry();
  }

  // --- limits

  bool needsRetry() const { return running && (!started() || limitHit); }

  void armRetry() {
    if (retryTimer || !needsRetry() || !loop || modes.empty()) return;
    retryTimer = loop->addTimer(retrySeconds, false,
                                [this] {
                                  retryTimer.reset();  // a one-shot timer is gone once it fires
                                  retry();
                                },
                                {kCommonModes});
  }

  // Makes the inotify instance; false (logged once) when the limit refuses it.
  bool open() {
    inotify.reset(calls->init1(IN_CLOEXEC | IN_NONBLOCK));
    if (started()) return true;
    if (!deafLogged) {
      deafLogged = true;
      systemLog("Cannot watch for changes (inotify_init1: %@); trying again until it works", std::strerror(errno));
    }
    return false;
  }

  void takeUpAll() {
    for (Root& root : roots) {
      if (root.present)
        watchTree(root.path, false);  // adds only what is not watched yet
      else
        takeUp(root, false);
    }
    pruneAncestorWatches();
  }

  void retry() {
    const bool hadInstance = started();
    if (!hadInstance && !open()) {
      retrySeconds = std::min(retrySeconds * 2, kMaxRetrySeconds);
      armRetry();
      return;
    }
    limitHit = false;
    takeUpAll();
    if (!hadInstance) attachToLoop();
    if (limitHit) {
      retrySeconds = std::min(retrySeconds * 2, kMaxRetrySeconds);
      armRetry();
      return;
    }
    retrySeconds = kFirstRetrySeconds;
    deafLogged = false;
    systemLog("Watching for changes again");
    // What changed meanwhile went unseen.
    pending.userDropped = true;
    notePending();
  }
};

std::unique_ptr<EventStream> EventStream::create(EventStreamCallback callback, void* context,
                                                 std::vector<std::string> paths, EventStreamEventId /*sinceWhen*/,
                                                 double latencySeconds, std::uint32_t /*flags*/,
                                                 std::shared_ptr<InotifyCalls> calls) {
  if (!callback || paths.empty()) return nullptr;
  auto impl = std::make_unique<Impl>();
  impl->calls = calls ? std::move(calls) : std::make_shared<InotifyCalls>();
  impl->callback = callback;
  impl->context = context;
  impl->latencySeconds = latencySeconds > 0 ? latencySeconds : 0;
  for (const std::string& path : paths) {
    if (path.empty()) return nullptr;
    impl->roots.push_back(Impl::Root{normalized(path), false, {}, {}});
  }
  return std::make_unique<EventStream>(CreateKey{}, std::move(impl));
}

EventStream::EventStream(CreateKey, std::unique_ptr<Impl> impl) : EventStream(std::move(impl)) {}

EventStream::EventStream(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {
  impl_->owner = this;
}

EventStream::~EventStream() {
  stop();
  impl_->detachFromLoop();
}

void EventStream::scheduleWithRunLoop(RunLoop& loop, std::string_view mode) {
  if (impl_->loop != &loop) {
    impl_->detachFromLoop();
    impl_->loop = &loop;
    impl_->modes.clear();
  }
  if (std::find(impl_->modes.begin(), impl_->modes.end(), mode) == impl_->modes.end()) impl_->modes.emplace_back(mode);
  impl_->attachToLoop();
}

void EventStream::unscheduleFromRunLoop(RunLoop& loop, std::string_view mode) {
  if (impl_->loop != &loop) return;
  std::erase(impl_->modes, std::string(mode));
  impl_->attachToLoop();
  if (impl_->modes.empty()) impl_->loop = nullptr;
}

bool EventStream::start() {
  if (impl_->running) return impl_->started() && !impl_->limitHit;
  impl_->running = true;
  if (impl_->open()) {
    for (Impl::Root& root : impl_->roots) impl_->takeUp(root, false);
  }
  impl_->attachToLoop();
  return impl_->started() && !impl_->limitHit;
}

void EventStream::stop() {
  if (!impl_->running) return;
  impl_->detachFromLoop();
  impl_->running = false;
  impl_->inotify.reset();  // drops every watch with it
  impl_->watches.clear();
  impl_->watchOfPath.clear();
  for (Impl::Root& root : impl_->roots) root = Impl::Root{root.path, false, {}, {}};
  impl_->pending = Impl::Batch{};
  impl_->pendingDue.reset();
  impl_->limitHit = impl_->deafLogged = false;
  impl_->retrySeconds = kFirstRetrySeconds;
}

bool EventStream::retryPending() const {
  return impl_->needsRetry();
}

}  // namespace cw

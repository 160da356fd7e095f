#include "Platform/InotifyWatchTree.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "Platform/DirectoryListing.h"
#include "Platform/PrintableText.h"
#include "Platform/SystemLog.h"
#include "Platform/SystemResult.h"

namespace cw {
namespace {

// Everything that changes a watched folder's contents, and the folder's own end.
constexpr std::uint32_t kTreeMask = IN_CREATE | IN_DELETE | IN_MODIFY | IN_CLOSE_WRITE | IN_ATTRIB | IN_MOVED_FROM |
                                    IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR | IN_EXCL_UNLINK;
// A folder on the way to a root (a parent of a root that does not exist yet,
// or the folder of a link): only names coming and going count, so that
// unrelated writes beside it do not wake us.
constexpr std::uint32_t kOnTheWayMask =
    IN_CREATE | IN_MOVED_TO | IN_DELETE | IN_MOVED_FROM | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
// What changes a name in a folder.
constexpr std::uint32_t kNameEvents = IN_CREATE | IN_MOVED_TO | IN_DELETE | IN_MOVED_FROM;
// Reads per drain.
constexpr int kMaxReadsPerDrain = 16;
// Take-up retries when folders keep appearing and vanishing under us.
constexpr int kMaxTakeUpAttempts = 64;

bool isDirectory(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool isWithin(const std::string& path, const std::string& folder) {
  if (folder == "/") return !path.empty() && path[0] == '/';
  return path.size() >= folder.size() && path.compare(0, folder.size(), folder) == 0 &&
         (path.size() == folder.size() || path[folder.size()] == '/');
}

}  // namespace

int InotifyCalls::init1(int flags) {
  return ::inotify_init1(flags);
}

int InotifyCalls::addWatch(int fd, const char* path, std::uint32_t mask) {
  return ::inotify_add_watch(fd, path, mask);
}

bool InotifyWatchTree::Watch::named(const std::string& name) const {
  return path == name || std::find(aliases.begin(), aliases.end(), name) != aliases.end();
}

InotifyWatchTree::InotifyWatchTree(std::vector<std::string> roots, std::shared_ptr<InotifyCalls> calls, Reports reports)
    : rootPaths_(std::move(roots)), calls_(std::move(calls)), reports_(std::move(reports)) {
  if (!calls_) calls_ = std::make_shared<InotifyCalls>();
  for (const std::string& path : rootPaths_) roots_.push_back(Root{path, false, {}, {}, {}});
}

bool InotifyWatchTree::open() {
  inotify_.reset(calls_->init1(IN_CLOEXEC | IN_NONBLOCK));
  if (isOpen()) return true;
  if (!troubleLogged_) {
    troubleLogged_ = true;
    systemLog("Cannot watch for changes (inotify_init1: %@); trying again until it works", std::strerror(errno));
  }
  return false;
}

void InotifyWatchTree::close() {
  inotify_.reset();  // drops every watch with it
  watches_.clear();
  watchOfPath_.clear();
  for (Root& root : roots_) root = Root{root.path, false, {}, {}, {}};
  limitHit_ = troubleLogged_ = false;
}

int InotifyWatchTree::addWatch(const std::string& path, bool tree) {
  const auto known = watchOfPath_.find(path);
  // Replacing a tree watch's mask with the narrow one would lose events.
  if (known != watchOfPath_.end() && (!tree || watches_[known->second].tree)) return known->second;
  // On the way, the mask is added to, never replacing, what a watch of the
  // same folder under another name asks for.
  const int wd = calls_->addWatch(inotify_.get(), path.c_str(), tree ? kTreeMask : kOnTheWayMask | IN_MASK_ADD);
  if (wd < 0) {
    const SystemError error = SystemError::last();
    // Other refusals (permission, a folder gone) are the folder's own; the
    // limit is ours to wait out.
    if (error.code() == ENOSPC || error.code() == ENOMEM) {
      limitHit_ = true;
      if (!troubleLogged_) {
        troubleLogged_ = true;
        systemLog("Cannot watch '%@' (%@): the inotify watch limit is reached; trying again until it works",
                  printableForLog(path), error.reason());
      }
    }
    return -1;
  }
  const auto previous = watches_.find(wd);
  if (previous != watches_.end() && previous->second.path == path) {
    previous->second.tree |= tree;  // a folder on the way became part of a tree
    return wd;
  }
  if (previous != watches_.end()) {
    Watch& same = previous->second;
    if (!tree || !same.tree) {
      // One folder under two names (through a link), on the way to a root
      // under one at least: both count, and a tree's name is the one told of.
      if (tree) {
        same.aliases.push_back(std::exchange(same.path, path));
        same.tree = true;
      } else {
        same.aliases.push_back(path);
      }
      watchOfPath_[path] = wd;
      return wd;
    }
    // The same folder of a tree under another name keeps one watch: the newer name wins.
    for (const std::string& name : previous->second.aliases) watchOfPath_.erase(name);
    watchOfPath_.erase(previous->second.path);
  }
  watches_[wd] = Watch{path, tree, {}};
  watchOfPath_[path] = wd;
  return wd;
}

void InotifyWatchTree::dropWatch(int wd) {
  const auto it = watches_.find(wd);
  if (it == watches_.end()) return;
  ::inotify_rm_watch(inotify_.get(), wd);
  for (const std::string& name : it->second.aliases) watchOfPath_.erase(name);
  watchOfPath_.erase(it->second.path);
  watches_.erase(it);
}

// Each folder is watched before it is listed, so that nothing made in it
// afterwards goes unseen.
void InotifyWatchTree::watchTree(const std::string& top, bool reportEach) {
  std::vector<std::string> toVisit{top};
  while (!toVisit.empty()) {
    const std::string dir = std::move(toVisit.back());
    toVisit.pop_back();
    if (addWatch(dir, true) < 0) continue;  // gone already, refused, or over the limit
    if (reportEach) report(dir, kEventStreamEventFlagNone);
    // Links are not followed down: one back up the tree would be walked for ever.
    for (const DirectoryEntry& entry : listDirectory(dir).entries)
      if (entry.isFolder) toVisit.push_back(appendPathComponent(dir, entry.name));
  }
}

void InotifyWatchTree::unwatchTree(const std::string& top) {
  std::vector<int> gone;
  for (const auto& [wd, watch] : watches_)
    if (watch.tree && isWithin(watch.path, top)) gone.push_back(wd);
  for (int wd : gone) dropWatch(wd);
}

void InotifyWatchTree::takeUp(Root& root, bool reportIt) {
  for (int attempt = 0; attempt < kMaxTakeUpAttempts; ++attempt) {
    // The links first: a link re-pointed while we look is then seen.
    const PathResolution way = followLinks(root);
    if (way.blockedAt.empty()) {
      watchTree(root.path, reportIt);
      root.present = watched(root.path);
      root.waitingOn.clear();
      if (root.present) {
        if (reportIt) report(root.path, kEventStreamEventFlagRootChanged);
        break;
      }
      if (isDirectory(root.path)) break;  // there, but refused (permission, watch limit)
      continue;                           // vanished again before we could watch it
    }
    // Wait where the way is blocked: past a link whose target is not made
    // yet, that is beside the target, where nothing near the link would tell.
    root.present = false;
    if (addWatch(way.reached, false) < 0) {
      root.waitingOn.clear();
      break;
    }
    root.waitingOn = way.reached;
    root.awaited = way.blockedAt;
    // Unless the way changed between our look and the watch.
    if (resolvePath(root.path) == way) break;
  }
  pruneWatchesOnTheWay();
}

// A link may be pointed elsewhere or replaced, which nothing inside its
// target would tell. The folder holding it tells.
PathResolution InotifyWatchTree::followLinks(Root& root) {
  PathResolution way = resolvePath(root.path);
  root.links.clear();
  for (const SymbolicLinkOnTheWay& link : way.links)
    if (addWatch(link.folder, false) >= 0) root.links.push_back(link);
  return way;
}

// A link's name changed hands: whatever the root names now is watched afresh.
void InotifyWatchTree::relink(Root& root) {
  unwatchTree(root.path);
  root.present = false;
  takeUp(root, true);
}

// Folders on the way that no root needs any more.
void InotifyWatchTree::pruneWatchesOnTheWay() {
  std::vector<int> unneeded;
  for (const auto& [wd, watch] : watches_) {
    if (watch.tree) continue;
    const Watch& candidate = watch;  // a structured binding cannot be captured by clang 14
    const bool needed = std::any_of(roots_.begin(), roots_.end(), [&](const Root& r) {
      return (!r.present && candidate.named(r.waitingOn)) ||
             std::any_of(r.links.begin(), r.links.end(),
                         [&](const SymbolicLinkOnTheWay& link) { return candidate.named(link.folder); });
    });
    if (!needed) unneeded.push_back(wd);
  }
  for (int wd : unneeded) dropWatch(wd);
}

// After watches went away: take up every root that lost one it needs.
void InotifyWatchTree::reviewRoots() {
  for (Root& root : roots_) {
    const bool lostLink = std::any_of(root.links.begin(), root.links.end(),
                                      [&](const SymbolicLinkOnTheWay& link) { return !watched(link.folder); });
    const bool lost =
        lostLink || (root.present ? !watched(root.path) : root.waitingOn.empty() || !watched(root.waitingOn));
    if (lost) {
      root.present = false;
      takeUp(root, true);
    }
  }
}

const InotifyWatchTree::Root* InotifyWatchTree::rootAt(const std::string& path) const {
  for (const Root& root : roots_)
    if (root.path == path) return &root;
  return nullptr;
}

bool InotifyWatchTree::inAnyRoot(const std::string& path) const {
  return std::any_of(roots_.begin(), roots_.end(), [&](const Root& r) { return isWithin(path, r.path); });
}

void InotifyWatchTree::takeUpAll() {
  for (Root& root : roots_) {
    if (root.present) {
      followLinks(root);
      watchTree(root.path, false);  // adds only what is not watched yet
    } else {
      takeUp(root, false);
    }
  }
  pruneWatchesOnTheWay();
}

void InotifyWatchTree::drain() {
  alignas(inotify_event) char buffer[64 * 1024];
  for (int reads = 0; reads < kMaxReadsPerDrain; ++reads) {
    const ssize_t size = ::read(inotify_.get(), buffer, sizeof buffer);
    if (size < 0 && errno == EINTR) continue;
    if (size <= 0) break;  // EAGAIN: nothing left
    for (std::size_t offset = 0; offset + sizeof(inotify_event) <= static_cast<std::size_t>(size);) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + offset);
      handle(*event);
      offset += sizeof(inotify_event) + event->len;
      if (!isOpen()) return;
    }
  }
}

void InotifyWatchTree::handle(const inotify_event& event) {
  if (event.mask & IN_Q_OVERFLOW) {
    recoverFromOverflow();
    return;
  }
  const auto it = watches_.find(event.wd);
  if (it == watches_.end()) return;  // a watch we dropped; its last events trail behind
  const Watch watch = it->second;
  const std::string name = event.len ? std::string(event.name) : std::string();

  if (event.mask & IN_IGNORED) {
    for (const std::string& alias : watch.aliases) watchOfPath_.erase(alias);
    watchOfPath_.erase(watch.path);
    watches_.erase(it);
    reviewRoots();
    return;
  }

  if ((event.mask & kNameEvents) && !name.empty()) {
    // The name a missing root waits for appeared (also inside another root).
    if (event.mask & (IN_CREATE | IN_MOVED_TO)) {
      for (Root& root : roots_)
        if (!root.present && watch.named(root.waitingOn) && root.awaited == name) takeUp(root, true);
    }
    // A link on the way to a root was pointed elsewhere, removed or replaced.
    for (Root& root : roots_) {
      const bool onTheWay = std::any_of(root.links.begin(), root.links.end(), [&](const SymbolicLinkOnTheWay& link) {
        return link.name == name && watch.named(link.folder);
      });
      if (onTheWay) relink(root);
    }
    if (!watches_.count(event.wd)) return;  // a relink dropped this very watch
  }

  if (!watch.tree) {
    if (event.mask & IN_MOVE_SELF) {  // a folder on the way moved: look again from further up
      dropWatch(event.wd);
      reviewRoots();
    }
    return;
  }

  const Root* root = rootAt(watch.path);
  if (event.mask & (IN_DELETE_SELF | IN_MOVE_SELF)) {
    if (!root) return;  // a subfolder: its parent reports the change
    report(watch.path, kEventStreamEventFlagRootChanged);
    if (event.mask & IN_MOVE_SELF) {
      // The watches now follow the folder elsewhere; the name is what we watch.
      unwatchTree(watch.path);
      reviewRoots();
    }
    return;  // on deletion, IN_IGNORED follows and takes the root up again
  }

  report(watch.path, kEventStreamEventFlagNone);
  if (!(event.mask & IN_ISDIR) || name.empty()) return;
  const std::string path = appendPathComponent(watch.path, name);
  if (event.mask & IN_MOVED_FROM) {
    unwatchTree(path);
    reviewRoots();
  } else if ((event.mask & (IN_CREATE | IN_MOVED_TO)) && inAnyRoot(path)) {
    watchTree(path, true);
  }
}

// Events were lost: folders may have been made or removed unseen. Watch
// whatever is there now, forget what is gone, and tell that changes went unseen.
void InotifyWatchTree::recoverFromOverflow() {
  reports_.eventsLost();
  std::vector<int> gone;
  for (const auto& [wd, watch] : watches_)
    if (!isDirectory(watch.path)) gone.push_back(wd);
  for (int wd : gone) dropWatch(wd);
  for (Root& root : roots_) {
    if (root.present && isDirectory(root.path)) {
      followLinks(root);
      watchTree(root.path, false);
    } else {
      takeUp(root, false);
    }
  }
  pruneWatchesOnTheWay();
}

}  // namespace cw

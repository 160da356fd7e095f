#pragma once

#include <sys/inotify.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "Platform/EventStreamFlags.h"
#include "Platform/Paths.h"
#include "Platform/UniqueFd.h"

namespace cw {

// The two inotify calls that run into the kernel's limits (instances per
// user, watches per user). The stream uses the real ones; a test hands in
// its own to make them fail and then succeed.
class InotifyCalls {
public:
  virtual ~InotifyCalls() = default;
  virtual int init1(int flags);
  virtual int addWatch(int fd, const char* path, std::uint32_t mask);
};

// The inotify side of an event stream: watches on its root folders and on
// every folder below them, and on what leads to them. Tells of each change as
// the folder whose contents changed, or as a root itself (root-changed).
//
// A root that does not exist yet is taken up when it appears: meanwhile the
// folder where resolving its path stops is watched for the missing name (its
// nearest existing parent, or, past a link whose target is not made yet, the
// nearest existing parent of that target). One removed and made again is
// watched again; subfolders made later are watched before they are listed.
// Every symbolic link on the way to a root, the root's own name included and
// each link of a chain, is followed: the folder holding it is watched for
// changes of its name, and a link pointed elsewhere or replaced makes the
// root watched anew where it now leads.
class InotifyWatchTree {
public:
  struct Reports {
    std::function<void(const std::string& path, EventStreamEventFlags flags)> changed;
    // The kernel's queue overflowed: changes went unseen.
    std::function<void()> eventsLost;
  };

  InotifyWatchTree(std::vector<std::string> roots, std::shared_ptr<InotifyCalls> calls, Reports reports);
  InotifyWatchTree(const InotifyWatchTree&) = delete;
  InotifyWatchTree& operator=(const InotifyWatchTree&) = delete;

  const std::vector<std::string>& rootPaths() const { return rootPaths_; }

  // Makes the inotify instance; false (logged once) when the limit refuses it.
  bool open();
  bool isOpen() const { return inotify_.valid(); }
  int descriptor() const { return inotify_.get(); }
  // Drops the instance with every watch.
  void close();

  // Watches every root, or the way to it, adding only what is not watched yet.
  void takeUpAll();
  // Reads what the kernel queued and acts on it, a bounded amount per call so
  // that a flood cannot keep the loop from its other sources.
  void drain();

  // A watch was refused for the watch limit since clearLimit().
  bool limitHit() const { return limitHit_; }
  void clearLimit() { limitHit_ = false; }
  // The trouble logged is over; the next will be logged again.
  void troubleOver() { troubleLogged_ = false; }

private:
  struct Root {
    std::string path;
    bool present = false;  // the folder itself is watched
    // While absent: the folder we watch for the name that is missing on the way.
    std::string waitingOn;
    std::string awaited;
    // The links on the way, each watched in the folder that holds it.
    std::vector<SymbolicLinkOnTheWay> links;
  };
  struct Watch {
    std::string path;
    bool tree = false;  // inside a watched folder (else only on the way to a root)
    // The same folder under other names (through links), for watches on the way.
    std::vector<std::string> aliases;
    bool named(const std::string& name) const;
  };

  int addWatch(const std::string& path, bool tree);
  void dropWatch(int wd);
  void watchTree(const std::string& top, bool report);
  void unwatchTree(const std::string& top);
  void takeUp(Root& root, bool report);
  PathResolution followLinks(Root& root);
  void relink(Root& root);
  void pruneWatchesOnTheWay();
  void reviewRoots();
  bool watched(const std::string& path) const { return watchOfPath_.count(path) != 0; }
  const Root* rootAt(const std::string& path) const;
  bool inAnyRoot(const std::string& path) const;
  void handle(const inotify_event& event);
  void recoverFromOverflow();
  void report(const std::string& path, EventStreamEventFlags flags) const { reports_.changed(path, flags); }

  std::vector<std::string> rootPaths_;
  std::vector<Root> roots_;
  std::shared_ptr<InotifyCalls> calls_;
  Reports reports_;
  UniqueFd inotify_;
  std::unordered_map<int, Watch> watches_;
  std::unordered_map<std::string, int> watchOfPath_;
  bool limitHit_ = false;
  bool troubleLogged_ = false;  // the present trouble is logged; its end will be too
};

}  // namespace cw

#pragma once

#include <sys/types.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "Platform/RunLoop.h"
#include "Platform/SystemResult.h"
#include "Platform/UniqueFd.h"

namespace cw {

// One of our descriptors that the child gets under the number `child`.
struct ChildDescriptor {
  int ours;
  int child;
};

// A child process we own, started clean: default signal dispositions (we
// ignore some), an empty signal mask, a process group of its own (an interrupt
// meant for us is ours to handle, and the group can be killed whole), and no
// descriptor of ours but 0, 1, 2 and the mapped ones, whatever other parts
// forgot to mark close-on-exec.
//
// Move-only. Until it is reaped its pid, and so its group's number, cannot
// belong to anybody else, so killing the group is safe exactly until then.
// Destroying an owner of a child that was neither reaped nor detached kills
// the group and reaps the child.
class ChildProcess {
public:
  struct Options {
    std::vector<ChildDescriptor> descriptors;
    // Look the program up in PATH.
    bool searchPath = false;
    // "NAME=value" entries set in this child's copy of our environment (the
    // agent's own environment is never changed for a child).
    std::vector<std::string> environment;
    // A session of its own (and so a group of its own) instead of only a
    // group: no controlling terminal, so our terminal can neither stop it
    // (SIGTTIN, SIGTTOU) nor interrupt it, and a signal meant for our session
    // never reaches it. For programs that outlive their use to us.
    bool newSession = false;
  };

  // The argument vector that starts `program` with `arguments` (argv[1..]):
  // the program's path as argv[0].
  static std::vector<std::string> argumentVector(const std::string& program, const std::vector<std::string>& arguments);

  // `arguments` holds argv[0] first. A failure keeps the errno of the spawn.
  static SystemResult<ChildProcess> spawn(const std::string& program, const std::vector<std::string>& arguments,
                                          const Options& options);

  ChildProcess() = default;
  ChildProcess(ChildProcess&& other) noexcept;
  ChildProcess& operator=(ChildProcess&& other) noexcept;
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  ~ChildProcess();

  // Owns a child: not made empty, moved from or detached.
  bool started() const { return pid_ > 0; }
  pid_t processIdentifier() const { return pid_; }
  // Readable once the child has ended; -1 where pidfds are missing.
  int pidfd() const { return pidfd_.get(); }
  bool reaped() const { return waitStatus_.has_value(); }

  // SIGKILL to the whole group (and the child, in case it left it); nothing
  // once the child is reaped.
  void killGroup();
  // Whether the child has ended, without reaping it: until it is reaped its
  // group's number stays reserved, so the group can still be killed.
  bool hasExited() const;
  // Collects the status if the child has ended; true once reaped.
  bool tryReap();
  // Kills the group and reaps the child at once. Idempotent. A child that is
  // to have time to leave on its own goes to the reaper instead
  // (ChildReaper::killUnlessDoneWithin), so that nobody blocks on its end.
  void terminate();
  // Lets the child run on: neither killed nor reaped by this owner any more.
  void detach();

  // Calls `onExit` once, on `loop` in `modes`, when the child has ended. It
  // is not reaped for that: until the owner reaps it, its group's number
  // stays reserved. Watched through the pidfd, or where there is none by
  // looking every 10 ms. The watch goes when it fires, when the child is
  // reaped (before its pidfd closes), detached or its owner goes; it moves
  // with the owner; a new call replaces it. `onExit` may destroy the owner.
  void watchExit(RunLoop& loop, std::vector<std::string> modes, std::function<void()> onExit);
  void stopWatchingExit();

  // Whether children started from now on get a pidfd; off, every wait for a
  // child's end takes the path of kernels before 5.3 (for tests).
  static void setPidfdsEnabled(bool enabled);

  // The raw wait status once reaped; absent before, and when another waiter
  // took it (SIGCHLD ignored).
  std::optional<int> waitStatus() const { return waitStatus_.value_or(std::nullopt); }
  // As a shell reports it: the exit code or 128 + the signal; 127 when the
  // child never started or its status was lost.
  int shellStatus() const;

private:
  bool reap(bool block);
  void armExitWatch();

  pid_t pid_ = -1;
  UniqueFd pidfd_;
  // Outer: reaped; inner: the status, unless someone else collected it.
  std::optional<std::optional<int>> waitStatus_;
  // The exit watch: where, and what to call. Its source goes before the pidfd.
  RunLoop* exitLoop_ = nullptr;
  std::vector<std::string> exitModes_;
  std::function<void()> onExit_;
  RunLoop::SourceHandle exitWatch_;
};

}  // namespace cw

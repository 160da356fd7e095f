#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "Platform/ChildProcess.h"
#include "Platform/SystemResult.h"
#include "Platform/UniqueFd.h"

namespace cw::ui {

// A child process that talks to us over one end of a stream socket pair,
// which it finds at a fixed descriptor number. Owned for its whole life: the
// destructor kills and reaps it.
class HelperProcess {
public:
  // Starts `path` with `arguments` (argv[1..]); the child's end of the socket
  // becomes its descriptor `childFd`, and it inherits no other descriptor of
  // ours but 0, 1 and 2. A failure keeps the errno of the socket or the spawn.
  static SystemResult<HelperProcess> spawn(const std::string& path, const std::vector<std::string>& arguments,
                                           int childFd);

  HelperProcess(HelperProcess&& other) noexcept = default;
  HelperProcess& operator=(HelperProcess&& other) noexcept;
  HelperProcess(const HelperProcess&) = delete;
  HelperProcess& operator=(const HelperProcess&) = delete;
  ~HelperProcess() { terminate(); }

  // Our end of the socket, non-blocking and close-on-exec.
  int socket() const { return socket_.get(); }
  pid_t processIdentifier() const { return child_.reaped() ? -1 : child_.processIdentifier(); }
  bool reaped() const { return !child_.started() || child_.reaped(); }

  // The child itself, to watch its end.
  const ChildProcess& child() const { return child_; }

  // Closes our end: the helper's signal to quit.
  void closeSocket() { socket_.reset(); }
  // Closes our end and hands the child to the thread's reaper: it has `grace`
  // to leave on its own, then its group is killed; it is reaped on the run
  // loop either way, and nobody waits for it here. This owner has no child
  // afterwards.
  void letGo(std::chrono::milliseconds grace);
  // Closes our end, kills the child's group and reaps it at once. Idempotent;
  // answers the wait status once reaped.
  std::optional<int> terminate();

private:
  HelperProcess(UniqueFd socket, ChildProcess child) : socket_(std::move(socket)), child_(std::move(child)) {}

  UniqueFd socket_;
  ChildProcess child_;
};

}  // namespace cw::ui

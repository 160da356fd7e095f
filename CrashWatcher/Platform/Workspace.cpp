#include "Platform/Workspace.h"

#include <cerrno>
#include <cstring>

#include "Platform/ChildProcess.h"
#include "Platform/ChildReaper.h"
#include "Platform/RunLoop.h"

namespace cw {

std::vector<RunningApplication> RunningApplication::runningApplicationsWithBundleIdentifier(std::string_view) {
  return {};
}

bool RunningApplication::activateWithOptions(unsigned) const {
  return false;
}

Workspace& Workspace::sharedWorkspace() {
  static Workspace workspace;
  return workspace;
}

namespace {

// Without a pidfd (kernels before 5.3) we look for the end this often.
constexpr double kReapPollSeconds = 0.01;

// Serves the default mode until `child` has ended and is reaped, `wait` has
// passed or every run is stopped; whether it was reaped.
bool reapWithin(ChildProcess& child, std::chrono::milliseconds wait) {
  RunLoop& loop = RunLoop::current();
  const RunLoop::RunHandle done;
  RunLoop::SourceHandle end;
  const auto reapIfEnded = [&] {
    if (!child.tryReap()) return;
    end.reset();  // the pidfd it watched has just been closed
    done.stop();
  };
  if (child.pidfd() >= 0)
    end = loop.addFdSource(child.pidfd(), [&](short) { reapIfEnded(); }, {kDefaultRunLoopMode});
  else
    end = loop.addTimer(kReapPollSeconds, true, reapIfEnded, {kDefaultRunLoopMode});
  const RunLoop::SourceHandle deadline =
      loop.addTimer(std::chrono::duration<double>(wait).count(), false, [&] { done.stop(); }, {kDefaultRunLoopMode});
  loop.run(kDefaultRunLoopMode, done);
  return child.reaped();
}

}  // namespace

std::string URLOpening::failureReason() const {
  if (startError != 0) return std::string("xdg-open could not be started: ") + std::strerror(startError);
  if (!exitStatus || *exitStatus == 0) return {};
  std::string reason = "xdg-open exited with status " + std::to_string(*exitStatus);
  // xdg-open's documented statuses that mean something to a user here.
  if (*exitStatus == 3) reason += ": no program is set up to open mailto: links";
  if (*exitStatus == 4) reason += ": the program set up for mailto: links failed";
  return reason;
}

URLOpening Workspace::openURL(const std::string& url, std::chrono::milliseconds wait,
                              std::function<void(int status)> laterFailure) {
  URLOpening opening;
  // The URL cannot pass for an option of xdg-open: it begins with a scheme.
  if (url.empty() || url.front() == '-') {
    opening.startError = EINVAL;
    return opening;
  }
  // Looked up in PATH; a session of its own, so that the mail program it may
  // start is neither stopped by our terminal nor signalled when we stop.
  ChildProcess::Options options;
  options.searchPath = true;
  options.newSession = true;
  ChildProcess opener = ChildProcess::spawn("xdg-open", {"xdg-open", url}, options);
  if (!opener.started()) {
    opening.startError = opener.spawnError();
    return opening;
  }
  if (reapWithin(opener, wait)) {
    // A status collected elsewhere (SIGCHLD ignored) tells nothing.
    if (opener.waitStatus()) opening.exitStatus = opener.shellStatus();
    return opening;
  }
  ChildReaper::current().reapWhenDone(std::move(opener),
                                      [laterFailure = std::move(laterFailure)](const ChildProcess& ended) {
                                        if (laterFailure && ended.waitStatus() && ended.shellStatus() != 0)
                                          laterFailure(ended.shellStatus());
                                      });
  return opening;
}

}  // namespace cw

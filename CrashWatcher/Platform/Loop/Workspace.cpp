#include "Platform/Workspace.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

#include "Platform/ChildProcess.h"
#include "Platform/ChildReaper.h"
#include "Platform/Posix.h"
#include "Platform/PrintableText.h"
#include "Platform/RunLoop.h"
#include "Platform/SystemLog.h"
#include "Platform/UniqueFd.h"

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

// Serves the default mode until `child` has ended and is reaped, `wait` has
// passed or every run is stopped; whether it was reaped.
bool reapWithin(ChildProcess& child, std::chrono::milliseconds wait) {
  RunLoop& loop = RunLoop::current();
  const RunLoop::RunHandle done;
  child.watchExit(loop, {std::string(kDefaultRunLoopMode)}, [&] {
    child.tryReap();
    done.stop();
  });
  const RunLoop::SourceHandle deadline =
      loop.addTimer(std::chrono::duration<double>(wait).count(), false, [&] { done.stop(); }, {kDefaultRunLoopMode});
  loop.run(kDefaultRunLoopMode, done);
  child.stopWatchingExit();
  return child.reaped();
}

// How much of the opener's standard error is read, and of each line shown.
constexpr std::size_t kErrorReadLimit = 64 * 1024;
constexpr std::size_t kErrorLineLimit = 200;

// At most `limit` characters of `line`, never half of one; "…" where cut.
std::string cutToCharacters(std::string_view line, std::size_t limit) {
  std::size_t characters = 0;
  for (std::size_t i = 0; i < line.size(); ++i) {
    if ((static_cast<unsigned char>(line[i]) & 0xC0) == 0x80) continue;
    if (characters++ == limit) return std::string(line.substr(0, i)) + "\u2026";
  }
  return std::string(line);
}

// The opener's standard error, logged once it has ended. A file in memory
// and not a pipe: a mail program the opener starts inherits it and may write
// long after we stopped reading, which a pipe would stop or kill it for.
class OpenerErrors {
public:
  OpenerErrors() : file_(::memfd_create("xdg-open-stderr", MFD_CLOEXEC)) {
    if (!file_) {
      const int error = errno;
      systemLog("Cannot keep xdg-open's standard error apart (%s); it goes to this log as it is", std::strerror(error));
    }
  }

  // The descriptor the opener gets as its standard error; none (ours is
  // inherited) when no such file could be made.
  std::vector<ChildDescriptor> descriptors() const {
    if (!file_) return {};
    return {ChildDescriptor{file_.get(), STDERR_FILENO}};
  }

  void logSummary(std::string_view url) const {
    if (!file_) return;
    std::string output(kErrorReadLimit, '\0');
    const ssize_t length = posix::retryOnEintr([&] { return ::pread(file_.get(), output.data(), output.size(), 0); });
    if (length < 0) {
      const int error = errno;
      systemLog("Cannot read what xdg-open wrote to its standard error: %s", std::strerror(error));
      return;
    }
    output.resize(static_cast<std::size_t>(length));
    const std::string summary = Workspace::openerErrorSummary(output, url);
    if (!summary.empty()) systemLog("%@", summary);
  }

private:
  UniqueFd file_;
};

}  // namespace

std::string Workspace::openerErrorSummary(std::string_view output, std::string_view url) {
  std::vector<std::string> lines;
  for (std::size_t start = 0; start < output.size();) {
    std::size_t end = output.find('\n', start);
    if (end == std::string_view::npos) end = output.size();
    std::string line(output.substr(start, end - start));
    start = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.find_first_not_of(" \t") == std::string::npos) continue;
    constexpr std::string_view placeholder = "<the URL>";
    if (!url.empty())
      for (std::size_t at = line.find(url); at != std::string::npos; at = line.find(url, at + placeholder.size()))
        line.replace(at, url.size(), placeholder);
    lines.push_back(printableForLog(cutToCharacters(line, kErrorLineLimit)));
  }
  if (lines.empty()) return {};
  if (lines.size() == 1) return "xdg-open said: " + lines.front();
  return "xdg-open said (" + std::to_string(lines.size()) + " lines): " + lines.front() + " \u2026 " + lines.back();
}

std::string URLOpening::failureReason() const {
  if (startError) return "xdg-open could not be started: " + startError->reason();
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
    opening.startError = SystemError(EINVAL);
    return opening;
  }
  // Looked up in PATH; a session of its own, so that the mail program it may
  // start is neither stopped by our terminal nor signalled when we stop.
  ChildProcess::Options options;
  options.searchPath = true;
  options.newSession = true;
  auto errors = std::make_shared<const OpenerErrors>();
  options.descriptors = errors->descriptors();
  SystemResult<ChildProcess> spawned = ChildProcess::spawn("xdg-open", {"xdg-open", url}, options);
  if (!spawned) {
    opening.startError = SystemError(spawned.error());
    return opening;
  }
  ChildProcess& opener = *spawned;
  if (reapWithin(opener, wait)) {
    // A status collected elsewhere (SIGCHLD ignored) tells nothing.
    if (opener.waitStatus()) opening.exitStatus = opener.shellStatus();
    errors->logSummary(url);
    return opening;
  }
  ChildReaper::current().reapWhenDone(std::move(opener),
                                      [laterFailure = std::move(laterFailure), errors, url](const ChildProcess& ended) {
                                        errors->logSummary(url);
                                        if (laterFailure && ended.waitStatus() && ended.shellStatus() != 0)
                                          laterFailure(ended.shellStatus());
                                      });
  return opening;
}

}  // namespace cw

#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Platform/SystemResult.h"

namespace cw {

// Activation option: bring all of the application's windows forward.
inline constexpr unsigned kApplicationActivateAllWindows = 1u << 0;

// A running application, as the desktop names it by bundle identifier.
//
// Linux desktops have no bundle identifiers and no common way to bring another
// program's windows forward, so this is best effort: the desktop layer finds no
// application for any identifier ("com.apple.mail" names nothing here) and its
// callers then simply have nothing to activate.
class RunningApplication {
public:
  RunningApplication(std::string bundleIdentifier, pid_t processIdentifier)
      : bundleIdentifier_(std::move(bundleIdentifier)), processIdentifier_(processIdentifier) {}

  // The running instances with this identifier, in the desktop's order.
  static std::vector<RunningApplication> runningApplicationsWithBundleIdentifier(std::string_view bundleIdentifier);
  // Makes it the active application; false when that did not happen.
  bool activateWithOptions(unsigned options) const;

  const std::string& bundleIdentifier() const { return bundleIdentifier_; }
  pid_t processIdentifier() const { return processIdentifier_; }

private:
  std::string bundleIdentifier_;
  pid_t processIdentifier_;
};

// What became of a URL handed to the opener.
struct URLOpening {
  // Why the start failed, if it did (ENOENT: no xdg-open; E2BIG: the URL is
  // too long for an argument; EINVAL: a URL that could pass for an option).
  std::optional<SystemError> startError;
  // How the opener ended, as the shell reports it, when it ended within the
  // wait; absent while it runs on (a mail program it runs in the foreground).
  std::optional<int> exitStatus;

  bool succeeded() const { return !startError && exitStatus.value_or(0) == 0; }
  // Why it failed, to be logged; empty when it succeeded.
  std::string failureReason() const;
};

// Hands URLs to the user's default handler for their scheme.
class Workspace {
public:
  // How long openURL waits for xdg-open. Where a desktop opens the URL,
  // xdg-open ends at once with its verdict; with no handler at all it ends
  // within milliseconds with status 3. Without a desktop it runs the mail
  // program in the foreground and ends only with it, so still running after
  // the wait means the mail program runs.
  static constexpr std::chrono::milliseconds kOpenerWait{5000};

  static Workspace& sharedWorkspace();

  // What xdg-open wrote to its standard error, in one log line: its first and
  // last lines (it tries every browser it knows, one line each, and says what
  // it made of the URL last), each cut to a readable length, and the URL,
  // which holds the whole mail, replaced by "<the URL>". Empty for no output.
  static std::string openerErrorSummary(std::string_view output, std::string_view url);

  // Starts `xdg-open url` (no shell, no descriptors but 0, 1 and 2, default
  // signal dispositions, a session of its own) and waits up to `wait` for it
  // to end, serving the current run loop in its default mode; a stop of every
  // run (a shutdown) ends the wait at once. An opener still running then is
  // reaped on the run loop when it ends, never killed, and `laterFailure`
  // learns its status if that is not 0. Its standard error is not copied to
  // ours: when it ends, any it wrote is logged as one line (see
  // openerErrorSummary).
  URLOpening openURL(const std::string& url, std::chrono::milliseconds wait = kOpenerWait,
                     std::function<void(int status)> laterFailure = {});

private:
  Workspace() = default;
};

}  // namespace cw

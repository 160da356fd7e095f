#include "CommandLine.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <string_view>

#include "BuildConfig.h"
#include "Platform/Posix.h"
#include "Platform/PrintableText.h"

namespace cw {
namespace {

std::string usage() {
  return std::string(
             "Usage: CrashWatcher [--help | --version]\n"
             "\n"
             "A per-user background agent. It watches ~/Library/Logs/DiagnosticReports\n"
             "for Finder crash logs that concern Vellumdrift and asks in a dialog whether\n"
             "a report may be sent. On consent it uploads the crash log, redacted, to\n"
             "the paste service ") +
         build::kPasteServiceHostName +
         " and opens a pre-filled mail to\n"
         "the vendor in your mail program. Run without arguments, one per user.\n"
         "\n"
         "Files:\n"
         "  ~/Library/Application Support/.VellumdriftCrashWatcher.lock\n"
         "      held while the agent runs (it does not create the folder)\n"
         "  ~/Library/Application Support/.VellumdriftCrashWatcher.state\n"
         "      the crashes answered and the last scan, kept across runs\n"
         "  ~/Library/Logs/DiagnosticReports\n"
         "      watched (the agent does not create it)\n"
         "  /Library/Logs/CrashReporter/, ~/Library/Logs/CrashReporter/\n"
         "      searched for Finder crash logs\n"
         "  ~/Library/Preferences/com.vellumdrift.CrashWatcher.plist\n"
         "      preferences\n"
         "\n"
         "Signals:\n"
         "  SIGINT, SIGTERM  end the agent, removing the lock file\n"
         "  SIGUSR1          scan for crash logs at once\n"
         "  SIGHUP, SIGUSR2  ignored\n"
         "\n"
         "Log: one line per event on standard error. Run by the user unit: the\n"
         "journal (journalctl --user -u crashwatcher.service). Run from a terminal\n"
         "(as scripts/run does): the terminal. Run from the autostart entry: the\n"
         "session's log (~/.xsession-errors, or the journal where systemd runs\n"
         "the session).\n"
         "\n"
         "Exit status: 0 after an orderly end, 1 when another instance holds the\n"
         "lock, 10 when no reporter can be made, 64 for an unexpected argument.\n"
         "See CrashWatcher(1).\n";
}

// 0 when all of `text` went to standard output; else says why on standard
// error, status 1: a usage nobody could read is no success.
int printToStandardOutput(std::string_view text) {
  const SystemResult<void> written = posix::writeAll(STDOUT_FILENO, text);
  if (written) return 0;
  const std::string failure = "CrashWatcher: cannot write to standard output: " + written.reason() + "\n";
  posix::writeAll(STDERR_FILENO, failure);
  return 1;
}

}  // namespace

std::optional<int> answerCommandLine(int argc, const char* const argv[]) {
  if (argc <= 1) return std::nullopt;
  const std::string_view argument = argv[1];
  if (argc == 2 && argument == "--help") return printToStandardOutput(usage());
  if (argc == 2 && argument == "--version")
    return printToStandardOutput(std::string("CrashWatcher ") + build::kVersion + "\n");
  const std::string_view unknown = argc == 2 || (argument != "--help" && argument != "--version") ? argument : argv[2];
  posix::writeAll(STDERR_FILENO, "CrashWatcher: unexpected argument '" + printableForLog(unknown) + "'\n" + usage());
  return kUsageExitStatus;
}

}  // namespace cw

// Report composition: the crash log is uploaded and summarised by the helper
// scripts, and a pre-filled mail to the crash-report mailbox is handed to the
// user's mail program. The agent sends nothing itself.
#include "ReporterReport.h"

#include <cstdlib>
#include <string_view>

#include "BuildConfig.h"
#include "Platform/PropertyList.h"
#include "Platform/SystemLog.h"
#include "Platform/UrlEscaping.h"
#include "Platform/Workspace.h"
#include "Reporter.h"

namespace cw {
namespace {

constexpr std::string_view kVersionKey = "CFBundleVersion";
constexpr std::string_view kVersionFallback = "???";
constexpr std::string_view kMissingCrashLog = "unable to find last crash :-(";
constexpr std::string_view kMailBundleIdentifier = "com.apple.mail";
// upload-gist learns the build-fixed paste service from here. The protocol and
// the expiry are kept when the agent's own environment already names them, so
// that a test can point the agent at another kind of server.
constexpr const char* kPasteHostVariable = "CRASHWATCHER_PASTE_HOST";
constexpr const char* kPasteProtocolVariable = "CRASHWATCHER_PASTE_PROTOCOL";
constexpr const char* kPasteExpiryVariable = "CRASHWATCHER_PASTE_EXPIRY_DAYS";

std::optional<std::string>& infoPlistOverride() {
  static std::optional<std::string> path;
  return path;
}

// The fourteen lines of the mail body, the upload address in line 6. Built by
// concatenation: neither text may act as a format.
std::string mailBody(const std::optional<std::string>& uploadAddress) {
  std::string body;
  body += "Hi Ilvard,\n";
  body += "\n";
  body += "My Vellumdrift just crashed!\n";
  body += "\n";
  body += "The crash report is available here:\n";
  body += uploadAddress ? *uploadAddress : "(null)";
  body += "\n";
  body += "\n";
  body += ">\n";
  body += "> You may help me fix the problem by describing what happened before the crash.\n";
  body += "> I appreciate your help and I read these crash reports, but don't expect my direct answer.\n";
  body += "> For further discussion please open a topic at\n";
  body += "> ";
  body += build::kSupportForumAddress;
  body += ".\n";
  body += ">\n";
  body += "> Thank you, Ilvard";
  return body;
}

// The escaped mailto: URL, or absent when a part is not valid UTF-8. The
// subject and the body are escaped each as one field value: a "&" of theirs
// becomes %26, so that a crash summary or an upload address cannot end its
// field and add header fields of its own (a CC or BCC to anyone). Everything
// else is escaped exactly as one pass over the whole text would.
std::optional<std::string> mailURL(const std::string& subject, const std::string& body) {
  constexpr std::string_view kFieldSeparator = "&";
  const auto recipient = stringByAddingPercentEscapes(build::kCrashReportRecipient);
  const auto escapedSubject = stringByAddingPercentEscapes(subject, kFieldSeparator);
  const auto escapedBody = stringByAddingPercentEscapes(body, kFieldSeparator);
  if (!recipient || !escapedSubject || !escapedBody) return std::nullopt;
  return format("mailto:%@?SUBJECT=%@&BODY=%@", *recipient, *escapedSubject, *escapedBody);
}

}  // namespace

std::string vellumdriftInfoPlistPath() {
  const std::optional<std::string>& path = infoPlistOverride();
  return path ? *path : std::string(build::kVellumdriftInfoPlist);
}

void setVellumdriftInfoPlistPathForTesting(std::optional<std::string> path) {
  infoPlistOverride() = std::move(path);
}

std::string Reporter::readVellumdriftVersion() {
  const std::optional<PlistDictionary> info = readDictionaryFromFile(vellumdriftInfoPlistPath());
  if (info) {
    if (const PlistValue* version = lookup(*info, kVersionKey)) return version->description();
  }
  return std::string(kVersionFallback);
}

void Reporter::report(const std::optional<std::string>& crashFile) {
  std::optional<std::string> uploadAddress;
  std::string crashSummary;
  if (!crashFile) {
    uploadAddress = std::string(kMissingCrashLog);
  } else {
    // The host goes in as an argument: it is no format of its own.
    systemLog("Uploading crash report to %@: %@", build::kPasteServiceHostName, *crashFile);
    ::setenv(kPasteHostVariable, build::kPasteServiceHostName, 1);
    ::setenv(kPasteProtocolVariable, build::kPasteServiceProtocol, 0);
    ::setenv(kPasteExpiryVariable, build::kPasteExpiryDays, 0);
    uploadAddress = runShellCommandWithCrashFile("upload-gist", *crashFile);
    systemLog("  => %@", uploadAddress);
    // An empty address is an address: only output that was not text counts as none.
    if (uploadAddress) crashSummary = runShellCommandWithCrashFile("extract-crash-info", *crashFile).value_or("");
  }

  const std::optional<std::string> subject = format("Vellumdrift %@ crash %@", readVellumdriftVersion(), crashSummary);
  if (!subject) return;
  const std::optional<std::string> url = mailURL(*subject, mailBody(uploadAddress));
  if (!url) return;  // nothing opened, nothing logged

  Workspace::sharedWorkspace().openURL(*url);
  const std::vector<RunningApplication> mail =
      RunningApplication::runningApplicationsWithBundleIdentifier(kMailBundleIdentifier);
  if (!mail.empty()) mail.front().activateWithOptions(kApplicationActivateAllWindows);
}

}  // namespace cw

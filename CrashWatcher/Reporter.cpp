#include "Reporter.h"

#include <cstdlib>
#include <utility>

#include "BuildConfig.h"
#include "Platform/PrintableText.h"
#include "Platform/PropertyList.h"
#include "Platform/SystemLog.h"
#include "UI/MessagePanel.h"

namespace cw {
namespace {

constexpr std::string_view kExcludeAllSyncKeys = "com.apple.PreferenceSync.ExcludeAllSyncKeys";
constexpr std::string_view kVersionKey = "CFBundleVersion";
constexpr std::string_view kVersionFallback = "???";
constexpr std::string_view kMissingCrashLog = "unable to find last crash :-(";
constexpr std::string_view kMailBundleIdentifier = "com.apple.mail";

// Script output as a log line may hold it: it can forge no line of its own.
std::optional<std::string> printable(const std::optional<std::string>& text) {
  return text ? std::optional<std::string>(printableForLog(*text)) : std::nullopt;
}

}  // namespace

std::vector<std::string> helperScriptEnvironment() {
  std::vector<std::string> environment{std::string("CRASHWATCHER_PASTE_HOST=") + build::kPasteServiceHostName};
  for (const auto& [name, value] : {std::pair{"CRASHWATCHER_PASTE_PROTOCOL", build::kPasteServiceProtocol},
                                    std::pair{"CRASHWATCHER_PASTE_EXPIRY_DAYS", build::kPasteExpiryDays}}) {
    if (!std::getenv(name)) environment.push_back(std::string(name) + "=" + value);
  }
  return environment;
}

std::string pasteServiceDestination() {
  const char* overriding = std::getenv("CRASHWATCHER_PASTE_URL");
  return printableForLog(overriding && *overriding ? overriding : build::kPasteServiceHostName);
}

ReporterParts standardReporterParts() {
  ReporterParts parts;
  const Bundle& bundle = Bundle::mainBundle();
  parts.bundle = &bundle;
  parts.defaults = &UserDefaults::standardUserDefaults();
  parts.scripts = std::make_shared<BundleHelperScripts>(bundle, helperScriptEnvironment());
  parts.dialog = ConsentDialog::make(bundle);
  parts.desktop = std::make_shared<WorkspaceDesktop>();
  parts.productInfoPlistPath = build::kVellumdriftInfoPlist;
  parts.pasteServiceHostName = pasteServiceDestination();
  return parts;
}

std::shared_ptr<Reporter> Reporter::alloc(ReporterParts parts) {
  return std::make_shared<Reporter>(PrivateTag{}, std::move(parts));
}

std::shared_ptr<Reporter> Reporter::init() {
  if (!parts_.scripts || !parts_.dialog || !parts_.desktop) return nullptr;
  if (parts_.defaults && !parts_.defaults->boolForKey(kExcludeAllSyncKeys))
    parts_.defaults->setBoolForKey(kExcludeAllSyncKeys, true);
  return shared_from_this();
}

bool Reporter::readConfigurationData() {
  parts_.dialog->setParameters(parts_.bundle ? &parts_.bundle->infoDictionary() : nullptr);
  return true;
}

bool Reporter::askUserPermissionToSend() {
  return parts_.dialog->askUserPermissionToSend();
}

ConsentAnswer Reporter::askForConsent() {
  const bool send = askUserPermissionToSend();
  if (!parts_.dialog->lastDialogAnswered()) return ConsentAnswer::NotAnswered;
  return send ? ConsentAnswer::Send : ConsentAnswer::Refuse;
}

std::optional<std::string> Reporter::runShellCommandWithCrashFile(std::string_view command,
                                                                  std::string_view crashFile) {
  return parts_.scripts->run(command, crashFile, true).output;
}

std::int32_t Reporter::askShellCommandWithCrashFile(std::string_view command, std::string_view crashFile) {
  return askScriptWithCrashFile(command, crashFile).status;
}

HelperScripts::Result Reporter::askScriptWithCrashFile(std::string_view command, std::string_view crashFile) {
  return parts_.scripts->run(command, crashFile, false);
}

std::string Reporter::readVellumdriftVersion() {
  const std::optional<PlistDictionary> info = readDictionaryFromFile(parts_.productInfoPlistPath);
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
    systemLog("Uploading crash report to %@: %@", parts_.pasteServiceHostName, *crashFile);
    const HelperScripts::Result upload = parts_.scripts->run("upload-gist", *crashFile, true);
    // A shutdown cut the upload short: nothing more is asked or handed over.
    if (upload.interrupted) return;
    uploadAddress = upload.output;
    systemLog("  => %@", printable(uploadAddress));
    // An empty address is an address: only output that was not text counts as none.
    if (uploadAddress) {
      const HelperScripts::Result summary = parts_.scripts->run("extract-crash-info", *crashFile, true);
      if (summary.interrupted) return;
      crashSummary = summary.output.value_or("");
    }
  }

  const MailComposer::Mail composed = parts_.composer.compose(readVellumdriftVersion(), crashSummary, uploadAddress);
  // What was uploaded, if anything: the address the user is told about.
  const std::optional<std::string> uploaded = crashFile ? uploadAddress : std::nullopt;
  if (!composed.url) {
    tellMailFailure("the mail could not be composed: " + composed.failure, uploaded);
    return;
  }

  const URLOpening opening = parts_.desktop->openURL(*composed.url, [uploaded](int status) {
    systemLog(
        "The mail program ended with a failure (xdg-open exited with status %d); the crash report was "
        "uploaded to: %@",
        status, printable(uploaded));
  });
  if (!opening.succeeded()) {
    tellMailFailure(opening.failureReason(), uploaded);
    return;
  }
  const std::vector<RunningApplication> mailPrograms =
      parts_.desktop->runningApplicationsWithBundleIdentifier(kMailBundleIdentifier);
  if (!mailPrograms.empty()) parts_.desktop->activate(mailPrograms.front(), kApplicationActivateAllWindows);
}

void Reporter::tellMailFailure(const std::string& reason, const std::optional<std::string>& uploadAddress) {
  systemLog("Could not open the report in a mail program (%@); the crash report was uploaded to: %@", reason,
            printable(uploadAddress));
  // The user pressed Send and would otherwise see nothing: say so, with the
  // address to pass on by other means.
  ui::runMessagePanel(ui::mailFailurePanel(uploadAddress.value_or(""), parts_.composer.recipient()));
}

}  // namespace cw

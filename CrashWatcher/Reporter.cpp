#include "Reporter.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "BuildConfig.h"
#include "Platform/Posix.h"
#include "Platform/PrintableText.h"
#include "Platform/PropertyList.h"
#include "Platform/SystemLog.h"
#include "UI/LocalizedStrings.h"
#include "UI/MessagePanel.h"
#include "UI/ProgressPanel.h"

namespace cw {
namespace {

constexpr std::string_view kExcludeAllSyncKeys = "com.apple.PreferenceSync.ExcludeAllSyncKeys";
constexpr std::string_view kVersionKey = "CFBundleVersion";
constexpr std::string_view kVersionFallback = "???";
constexpr std::string_view kMissingCrashLog = "unable to find last crash :-(";
constexpr std::string_view kMailBundleIdentifier = "com.apple.mail";

// A report that is done this soon shows no progress: the panel would only flash.
constexpr double kProgressDelaySeconds = 0.5;

// The text the user saw, kept for upload-gist in a private file (mode 0600)
// that goes when this object does.
class ShownTextFile {
public:
  // Absent, with errno kept, when it cannot be written whole.
  static std::optional<ShownTextFile> write(std::string_view text) {
    const char* folder = std::getenv("TMPDIR");
    std::string path = std::string(folder && *folder == '/' ? folder : "/tmp") + "/crashwatcher-shown-XXXXXX";
    const int fd = ::mkostemp(path.data(), O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    ShownTextFile file(std::move(path));
    const bool written = posix::writeAll(fd, text);
    const int error = errno;
    ::close(fd);
    errno = error;
    if (!written) return std::nullopt;
    return file;
  }
  ShownTextFile(ShownTextFile&& other) noexcept : path_(std::exchange(other.path_, std::string())) {}
  ShownTextFile& operator=(ShownTextFile&&) = delete;
  ~ShownTextFile() {
    if (!path_.empty()) ::unlink(path_.c_str());
  }
  const std::string& path() const { return path_; }

private:
  explicit ShownTextFile(std::string path) : path_(std::move(path)) {}
  std::string path_;
};

// Script output as a log line may hold it: it can forge no line of its own.
std::optional<std::string> printable(const std::optional<std::string>& text) {
  return text ? std::optional<std::string>(printableForLog(*text)) : std::nullopt;
}

}  // namespace

struct ReportProgress {
  // Shows the panel once the report has taken a moment.
  RunLoop::SourceHandle delay;
  std::unique_ptr<ui::ProgressPanelSession> panel;
  // The handle of the script run under way.
  std::shared_ptr<RunLoop::RunHandle> stop = std::make_shared<RunLoop::RunHandle>();
  bool stopped = false;
};

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

ConsentAnswer Reporter::askForConsent(const std::string& crashFile) {
  const std::weak_ptr<Reporter> weakSelf = weak_from_this();
  parts_.dialog->setDetailsMaker([weakSelf, crashFile](const std::shared_ptr<RunLoop::RunHandle>& stop) {
    const auto self = weakSelf.lock();
    return self ? self->makeDetails(crashFile, stop) : ReportDetails{};
  });
  const bool send = askUserPermissionToSend();
  parts_.dialog->setDetailsMaker(nullptr);
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

ReportDetails Reporter::makeDetails(const std::string& crashFile, const std::shared_ptr<RunLoop::RunHandle>& stop) {
  ReportDetails details;
  details.crashFile = crashFile;
  details.recipient = parts_.composer.recipient();
  details.pasteServiceHostName = parts_.pasteServiceHostName;
  HelperScripts::Options options;
  options.mode = std::string(kModalPanelRunLoopMode);
  options.stop = stop;
  const HelperScripts::Result summary = parts_.scripts->run("extract-crash-info", crashFile, true, options);
  if (summary.interrupted) return details;
  details.summary = summary.output.value_or("");
  // The subject as the mail will have it.
  details.subject = parts_.composer.compose(readVellumdriftVersion(), details.summary, std::string()).subject;
  options.arguments = {"--show"};
  const HelperScripts::Result shown = parts_.scripts->run("upload-gist", crashFile, true, options);
  if (shown.interrupted) return details;
  if (shown.ownExit && shown.status == 0 && shown.output) {
    details.uploadText = shown.output;
    return details;
  }
  // Status 1 is upload-gist's own refusal; it said why on standard error.
  details.failure = shown.ownExit && shown.status == 1 ? ui::localizedStringForKey("detailsUnreadable")
                                                       : "upload-gist --show " + shown.ending;
  systemLog("The details of '%@' could not be made: upload-gist --show %@", printableForLog(crashFile), shown.ending);
  return details;
}

HelperScripts::Result Reporter::runReportScript(std::string_view name, const std::string& crashFile,
                                                std::vector<std::string> arguments, ReportProgress& progress) {
  HelperScripts::Options options;
  options.arguments = std::move(arguments);
  options.mode = std::string(kModalPanelRunLoopMode);
  options.stop = progress.stop;
  return parts_.scripts->run(name, crashFile, true, options);
}

void Reporter::report(const std::optional<std::string>& crashFile) {
  std::optional<std::string> uploadAddress;
  std::string crashSummary;
  if (!crashFile) {
    uploadAddress = std::string(kMissingCrashLog);
  } else {
    // What the user saw in the dialog's details, if anything, is what is sent.
    std::optional<ReportDetails> shown = parts_.dialog->shownDetails();
    if (shown && (shown->crashFile != *crashFile || !shown->uploadText)) shown.reset();
    // The host goes in as an argument: it is no format of its own.
    systemLog("Uploading crash report to %@: %@", parts_.pasteServiceHostName, *crashFile);
    // Until the mail opens, a panel says the report is being sent and can
    // stop it; the scripts run in the modal mode so that it is answered.
    ReportProgress progress;
    progress.delay = RunLoop::current().addTimer(kProgressDelaySeconds, false,
                                                 [&progress] {
                                                   progress.panel = ui::ProgressPanelSession::show(
                                                       ui::sendingProgressPanel(), [&progress] {
                                                         progress.stopped = true;
                                                         progress.stop->stop();
                                                       });
                                                 },
                                                 {kModalPanelRunLoopMode});
    std::optional<ShownTextFile> shownFile = shown ? ShownTextFile::write(*shown->uploadText) : std::nullopt;
    if (shown && !shownFile)
      systemLog("Could not keep the text shown in the details (%@); the crash log is redacted anew for the upload",
                std::strerror(errno));
    const HelperScripts::Result upload = runReportScript(
        "upload-gist", *crashFile,
        shownFile ? std::vector<std::string>{"--shown", shownFile->path()} : std::vector<std::string>{}, progress);
    shownFile.reset();
    if (progress.stopped) {
      systemLog("Sending the crash report was stopped by the user: the upload was ended and no mail was opened");
      return;
    }
    // A shutdown cut the upload short: nothing more is asked or handed over.
    if (upload.interrupted) return;
    uploadAddress = upload.output;
    systemLog("  => %@", printable(uploadAddress));
    // An empty address is an address: only output that was not text counts as none.
    if (uploadAddress && shown) {
      crashSummary = shown->summary;  // the subject the user saw
    } else if (uploadAddress) {
      const HelperScripts::Result summary = runReportScript("extract-crash-info", *crashFile, {}, progress);
      if (progress.stopped) {
        systemLog("Sending the crash report was stopped by the user: no mail was opened");
        return;
      }
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

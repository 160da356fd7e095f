#include "Reporter.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "BuildConfig.h"
#include "Platform/Paths.h"
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
  // Fails when it cannot be written whole.
  static SystemResult<ShownTextFile> write(std::string_view text) {
    const char* folder = std::getenv("TMPDIR");
    std::string path = std::string(folder && *folder == '/' ? folder : "/tmp") + "/crashwatcher-shown-XXXXXX";
    const UniqueFd fd(::mkostemp(path.data(), O_CLOEXEC));
    if (!fd) return SystemError::last();
    ShownTextFile file(std::move(path));
    if (const SystemResult<void> written = posix::writeAll(fd.get(), text); !written)
      return SystemError(written.error());
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

// How upload-gist's note on a failure begins.
constexpr std::string_view kUploadFailedNoteStart = "(upload failed: ";
constexpr std::string_view kUploadFailedNoteAttach = " \u2014 please attach ";
// The failure message closes by itself after the dialog's countdown, and
// after this long at most.
constexpr double kLongestMessageSeconds = 120.0;

// The reason that upload-gist's note on a failure gives.
std::string reasonInNote(std::string_view note) {
  note.remove_prefix(kUploadFailedNoteStart.size());
  const std::size_t end = note.find(kUploadFailedNoteAttach);
  return printableForLog(note.substr(0, end));
}

// The note that stands in the mail in place of the address when the upload
// failed, as upload-gist writes it: the home folder as "~", printable.
std::string uploadFailedNote(const std::string& reason, const std::string& crashFile) {
  return std::string(kUploadFailedNoteStart) + reason + std::string(kUploadFailedNoteAttach) +
         printableForLog(abbreviateWithTilde(crashFile)) + ")";
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

ConsentAnswer Reporter::askForConsent(const std::string& crashFile, const CrashOccurrences& occurrences) {
  parts_.dialog->setOccurrences(occurrences);
  const std::weak_ptr<Reporter> weakSelf = weak_from_this();
  if (!crashFile.empty())
    parts_.dialog->setDetailsMaker([weakSelf, crashFile](const std::shared_ptr<RunLoop::RunHandle>& stop) {
      const auto self = weakSelf.lock();
      return self ? self->makeDetails(crashFile, stop) : ReportDetails{};
    });
  const bool send = askUserPermissionToSend();
  parts_.dialog->setDetailsMaker(nullptr);
  parts_.dialog->setOccurrences({});
  if (!parts_.dialog->lastDialogAnswered()) return ConsentAnswer::NotAnswered;
  if (send) return ConsentAnswer::Send;
  return parts_.dialog->lastDialogCountedDown() ? ConsentAnswer::Countdown : ConsentAnswer::Refuse;
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

HelperScripts::Result Reporter::askSignatureWithCrashFile(std::string_view command, std::string_view crashFile) {
  // A signature is a line: more is no signature, and is not held in memory.
  return parts_.scripts->runKeepingAtMost(command, crashFile, AgentState::kMaxSignatureBytes + 1);
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
  const std::string why =
      shown.outputTaken ? "gave no text: " + std::string(HelperScripts::kOutputTakenReason) : shown.ending;
  // Status 1 is upload-gist's own refusal; it said why on standard error.
  details.failure =
      shown.ownExit && shown.status == 1 ? ui::localizedStringForKey("detailsUnreadable") : "upload-gist --show " + why;
  systemLog("The details of '%@' could not be made: upload-gist --show %@", printableForLog(crashFile), why);
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

std::optional<Reporter::Upload> Reporter::uploadCrashLog(const std::string& crashFile,
                                                         std::vector<std::string> arguments, ReportProgress& progress) {
  // The host goes in as an argument: it is no format of its own.
  systemLog("Uploading crash report to %@: %@", parts_.pasteServiceHostName, printableForLog(crashFile));
  const HelperScripts::Result result = runReportScript("upload-gist", crashFile, std::move(arguments), progress);
  if (progress.stopped) {
    systemLog("Sending the crash report was stopped by the user: the upload was ended and no mail was opened");
    return std::nullopt;
  }
  // A shutdown cut the upload short: nothing more is asked or handed over.
  if (result.interrupted) return std::nullopt;
  Upload upload;
  upload.crashFile = crashFile;
  if (!result.ownExit)
    upload.failure = result.timedOut ? "timed out" : "upload-gist " + result.ending;
  else if (result.outputTaken)
    upload.failure = "upload-gist gave no address: " + std::string(HelperScripts::kOutputTakenReason);
  else if (!result.output || result.output->empty())
    upload.failure = "upload-gist gave no address";
  else
    upload.text = *result.output;
  // Its own note on a failure stands as it is; the agent's says the same.
  if (upload.text.starts_with(kUploadFailedNoteStart))
    upload.failure = reasonInNote(upload.text);
  else if (upload.failure)
    upload.text = uploadFailedNote(*upload.failure, crashFile);
  systemLog("  => %@", printableForLog(upload.text));
  return upload;
}

void Reporter::report(const std::optional<std::string>& crashFile, const CrashOccurrences& occurrences) {
  std::optional<Upload> upload;
  std::string crashSummary;
  if (crashFile) {
    // What the user saw in the dialog's details, if anything, is what is sent.
    std::optional<ReportDetails> shown = parts_.dialog->shownDetails();
    if (shown && (shown->crashFile != *crashFile || !shown->uploadText)) shown.reset();
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
    std::optional<ShownTextFile> shownFile;
    if (shown) {
      SystemResult<ShownTextFile> written = ShownTextFile::write(*shown->uploadText);
      if (written)
        shownFile.emplace(std::move(*written));
      else
        systemLog("Could not keep the text shown in the details (%@); the crash log is redacted anew for the upload",
                  written.reason());
    }
    upload = uploadCrashLog(
        *crashFile, shownFile ? std::vector<std::string>{"--shown", shownFile->path()} : std::vector<std::string>{},
        progress);
    shownFile.reset();
    if (!upload) return;
    if (shown) {
      crashSummary = shown->summary;  // the subject the user saw
    } else {
      // Made even when the upload failed: the mail still says what crashed.
      const HelperScripts::Result summary = runReportScript("extract-crash-info", *crashFile, {}, progress);
      if (progress.stopped) {
        systemLog("Sending the crash report was stopped by the user: no mail was opened");
        return;
      }
      if (summary.interrupted) return;
      crashSummary = summary.output.value_or("");
    }
  }
  const std::string uploadText = upload ? upload->text : std::string(kMissingCrashLog);

  const MailComposer::Mail composed =
      parts_.composer.compose(readVellumdriftVersion(), crashSummary, uploadText, occurrences);
  if (!composed.url) {
    tellMailFailure("the mail could not be composed: " + composed.failure, upload);
    return;
  }

  const std::string whereItIs = whereTheReportIs(upload);
  const URLOpening opening = parts_.desktop->openURL(*composed.url, [whereItIs](int status) {
    systemLog("The mail program ended with a failure (xdg-open exited with status %d); %@", status, whereItIs);
  });
  if (!opening.succeeded()) {
    tellMailFailure(opening.failureReason(), upload);
    return;
  }
  const std::vector<RunningApplication> mailPrograms =
      parts_.desktop->runningApplicationsWithBundleIdentifier(kMailBundleIdentifier);
  if (!mailPrograms.empty()) parts_.desktop->activate(mailPrograms.front(), kApplicationActivateAllWindows);
}

std::string Reporter::whereTheReportIs(const std::optional<Upload>& upload) const {
  if (upload && upload->failure)
    return "the crash report was not uploaded (" + *upload->failure + "): attach '" +
           printableForLog(upload->crashFile) + "' to a mail to " + parts_.composer.recipient() + " instead";
  // No crash log at all: nothing was uploaded, and there is nothing to attach.
  return "the crash report was uploaded to: " + (upload ? printableForLog(upload->text) : std::string("(null)"));
}

void Reporter::tellMailFailure(const std::string& reason, const std::optional<Upload>& upload) {
  systemLog("Could not open the report in a mail program (%@); %@", reason, whereTheReportIs(upload));
  // The user pressed Send and would otherwise see nothing: say so, with the
  // address to pass on (or the file to attach) by other means. Bounded, so
  // that the scan it holds goes on: the crashes that came meanwhile are
  // asked about right after.
  const double countdown = parts_.dialog->messageTimeout();
  const double bound = countdown > 0.001 ? std::min(countdown, kLongestMessageSeconds) : kLongestMessageSeconds;
  if (upload && upload->failure)
    ui::runMessagePanel(ui::mailFailurePanelWithoutUpload(upload->crashFile, parts_.composer.recipient()), bound);
  else
    ui::runMessagePanel(ui::mailFailurePanel(upload ? upload->text : "", parts_.composer.recipient()), bound);
}

}  // namespace cw

#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ConsentDialog.h"
#include "CrashScan.h"
#include "Desktop.h"
#include "HelperScripts.h"
#include "MailComposer.h"
#include "Platform/Bundle.h"
#include "Platform/Object.h"
#include "Platform/UserDefaults.h"

namespace cw {

// What a Reporter is made of. main builds the real parts
// (standardReporterParts()); tests build their own.
struct ReporterParts {
  // Its information property list configures the Reporter (and the dialog).
  const Bundle* bundle = nullptr;
  // Where init marks every key as excluded from preference sync.
  UserDefaults* defaults = nullptr;
  std::shared_ptr<HelperScripts> scripts;
  std::shared_ptr<ConsentDialog> dialog;
  std::shared_ptr<Desktop> desktop;
  MailComposer composer;
  // The installed product's property list, holding its CFBundleVersion.
  std::string productInfoPlistPath;
  // Named in the upload's log line: where the upload goes (see
  // pasteServiceDestination).
  std::string pasteServiceHostName;
};

// The parts of the agent itself: its main bundle and preferences, its helper
// scripts (upload-gist learns the build's paste host from
// CRASHWATCHER_PASTE_HOST), the consent dialog on the dialog helper, and the
// user's desktop.
ReporterParts standardReporterParts();
// What every helper script is given beside the agent's environment: the
// build's paste host, and the paste protocol and expiry unless the agent's own
// environment chooses them.
std::vector<std::string> helperScriptEnvironment();

// Where upload-gist sends a crash log, for the log: the base URL that the
// agent's environment puts in place of the build's paste host
// (CRASHWATCHER_PASTE_URL), else that host. Printable.
std::string pasteServiceDestination();

// A report under way: its progress panel and how to stop it.
struct ReportProgress;

// The one object of crash reporting: runs the helper scripts, asks for
// consent and composes the report, each through one of its parts.
class Reporter : public Object, public ScanReporter, public std::enable_shared_from_this<Reporter> {
  struct PrivateTag {
    explicit PrivateTag() = default;
  };

public:
  // Allocation; init() completes the object.
  static std::shared_ptr<Reporter> alloc(ReporterParts parts);
  Reporter(PrivateTag, ReporterParts parts) : parts_(std::move(parts)) {}
  // The Reporter, or absent when the base initialisation gives none.
  std::shared_ptr<Reporter> init();

  bool readConfigurationData();

  // Consent dialog.
  bool askUserPermissionToSend();
  // The same dialog, telling a refusal from a dialog that was not answered.
  ConsentAnswer askForConsent() { return askForConsent(std::string(), CrashOccurrences{}); }
  // The dialog says how often the fault happened since it was last answered;
  // its details, made only when the user asks, show what reporting
  // `crashFile` sends (nothing can be shown without one).
  ConsentAnswer askForConsent(const std::string& crashFile, const CrashOccurrences& occurrences) override;
  void configureAlertWindow() { parts_.dialog->configureAlertWindow(); }
  std::int64_t runModalWindowWithTimeout(const std::shared_ptr<ui::Window>& window, double timeout) {
    return parts_.dialog->runModalWindowWithTimeout(window, timeout);
  }
  void sendReport(const std::shared_ptr<Object>& sender) { parts_.dialog->sendReport(sender); }
  void cancel(const std::shared_ptr<Object>& sender) { parts_.dialog->cancel(sender); }
  void updateSecondsLeftInDialogDisplay(const RunLoop::SourceHandle& timer) {
    parts_.dialog->updateSecondsLeftInDialogDisplay(timer);
  }
  std::optional<std::string> countdownMessage() const { return parts_.dialog->countdownMessage(); }
  void setCountdownMessage(const std::optional<std::string>& message) { parts_.dialog->setCountdownMessage(message); }
  double messageTimeout() const { return parts_.dialog->messageTimeout(); }
  double remainingDialogTime() const { return parts_.dialog->remainingDialogTime(); }

  // Helper scripts: the whole standard output (absent when not UTF-8), and the exit status.
  std::optional<std::string> runShellCommandWithCrashFile(std::string_view command, std::string_view crashFile);
  std::int32_t askShellCommandWithCrashFile(std::string_view command, std::string_view crashFile);
  // The same run, telling how it ended.
  HelperScripts::Result askScriptWithCrashFile(std::string_view command, std::string_view crashFile) override;
  HelperScripts::Result askSignatureWithCrashFile(std::string_view command, std::string_view crashFile) override;

  // Report composition.
  std::string readVellumdriftVersion();
  void report(const std::optional<std::string>& crashFile) { report(crashFile, CrashOccurrences{}); }
  // The mail says how often the fault happened, and when.
  void report(const std::optional<std::string>& crashFile, const CrashOccurrences& occurrences) override;
  std::string installedVersion() override { return readVellumdriftVersion(); }

  std::string description() const override { return "<Reporter>"; }

  // What reporting `crashFile` would send, made by the scripts while the
  // modal mode is served (extract-crash-info, then upload-gist --show).
  ReportDetails makeDetails(const std::string& crashFile, const std::shared_ptr<RunLoop::RunHandle>& stop);

private:
  // Runs a script of the report in the modal mode, so that the progress panel
  // (shown once `progress` has run for a moment) can stop it.
  HelperScripts::Result runReportScript(std::string_view name, const std::string& crashFile,
                                        std::vector<std::string> arguments, ReportProgress& progress);
  // What became of an upload.
  struct Upload {
    std::string crashFile;
    // The address, or the note that stands in its place in the mail.
    std::string text;
    // Why nothing usable was uploaded; absent when it was.
    std::optional<std::string> failure;
  };
  // Uploads `crashFile` (given `arguments` before it) and logs the outcome;
  // absent when a shutdown or the user's stop cut it short. An upload killed
  // at the time limit, or that gave no address (none, or one that is not
  // UTF-8), failed like one upload-gist reports itself.
  std::optional<Upload> uploadCrashLog(const std::string& crashFile, std::vector<std::string> arguments,
                                       ReportProgress& progress);
  // For the log: where the report is, or that it was not uploaded and what to
  // attach instead.
  std::string whereTheReportIs(const std::optional<Upload>& upload) const;
  // Logs why the mail could not be handed over, with where the report is,
  // and tells the user in a small message that closes by itself in time.
  void tellMailFailure(const std::string& reason, const std::optional<Upload>& upload);

  ReporterParts parts_;
};

}  // namespace cw

#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "CrashScan.h"
#include "Platform/Object.h"
#include "Platform/PropertyList.h"
#include "Platform/RunLoop.h"
#include "UI/LayoutOwner.h"

namespace cw {

namespace ui {
class Window;
class TextField;
class Button;
}  // namespace ui

// The one object of crash reporting: runs the helper scripts, holds the
// consent dialog and composes the report.
class Reporter : public Object,
                 public ui::LayoutOwner,
                 public ScanReporter,
                 public std::enable_shared_from_this<Reporter> {
public:
  // Allocation; init() completes the object.
  static std::shared_ptr<Reporter> alloc();
  // The Reporter, or absent when the base initialisation gives none.
  std::shared_ptr<Reporter> init();

  bool readConfigurationData();

  // Consent dialog.
  bool askUserPermissionToSend() override;
  void configureAlertWindow();
  std::int64_t runModalWindowWithTimeout(const std::shared_ptr<ui::Window>& window, double timeout);
  void sendReport(const std::shared_ptr<Object>& sender);
  void cancel(const std::shared_ptr<Object>& sender);
  void updateSecondsLeftInDialogDisplay(const RunLoop::SourceHandle& timer);
  std::optional<std::string> countdownMessage() const;
  void setCountdownMessage(const std::optional<std::string>& message);
  double messageTimeout() const;

  // Helper scripts: the whole standard output (absent when not UTF-8), and the exit status.
  std::optional<std::string> runShellCommandWithCrashFile(std::string_view command, std::string_view crashFile);
  std::int32_t askShellCommandWithCrashFile(std::string_view command, std::string_view crashFile) override;

  // Report composition.
  std::string readVellumdriftVersion();
  void report(const std::optional<std::string>& crashFile) override;

  // Layout owner.
  bool connectOutlet(std::string_view name, const std::shared_ptr<Object>& object) override;
  bool performAction(std::string_view selector, const std::shared_ptr<Object>& sender) override;
  bool respondsToAction(std::string_view selector) const override;
  std::optional<std::string> stringValueForKey(std::string_view key) const override;

  std::string description() const override { return "<Reporter>"; }

  // The remaining dialog time, for tests of the countdown.
  double remainingDialogTime() const { return remainingDialogTime_; }
  // TEST ONLY: the countdown timer's period, 1.0 second; tests lengthen it to
  // drive ticks by hand, or shorten it. Never called by the agent itself.
  static void setCountdownIntervalForTesting(double seconds);

private:
  struct PrivateTag {
    explicit PrivateTag() = default;
  };

public:
  explicit Reporter(PrivateTag) {}

private:
  std::shared_ptr<ui::Window> alertWindow_;
  std::shared_ptr<ui::TextField> dialogTitle_;
  std::shared_ptr<ui::TextField> dialogNote_;
  std::shared_ptr<ui::TextField> commentMessage_;
  std::shared_ptr<ui::Button> sendButton_;
  std::shared_ptr<ui::Button> cancelButton_;
  std::shared_ptr<ui::TextField> countdownLabel_;
  std::optional<std::string> countdownMessage_;
  const PlistDictionary* parameters_ = nullptr;
  double remainingDialogTime_ = 0;
  RunLoop::SourceHandle messageTimer_;

  // Invalidates the countdown timer if one runs.
  void stopCountdownTimer();
};

}  // namespace cw

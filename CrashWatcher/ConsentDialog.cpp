// The consent dialog: loading and configuring it, the modal loop with its
// optional countdown, and the owner side of the layout (outlets, button
// actions, the countdown label's binding).
#include "ConsentDialog.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

#include "Platform/Format.h"
#include "ResizabilityExtensions.h"
#include "UI/Application.h"
#include "UI/Button.h"
#include "UI/LayoutLoader.h"
#include "UI/LocalizedStrings.h"
#include "UI/TextField.h"
#include "UI/TextView.h"
#include "UI/Window.h"

namespace cw {
namespace {

constexpr std::string_view kLayoutName = "CrashWatcher";
constexpr std::string_view kConfirmTimeoutKey = "ConfirmTimeout";
constexpr std::string_view kCountdownMessageKey = "countdownMessage";
constexpr std::string_view kSendReportAction = "sendReport:";
constexpr std::string_view kCancelAction = "cancel:";
constexpr std::string_view kToggleDetailsAction = "toggleDetails:";
// Between the open details area and the buttons below it.
constexpr double kDetailsGap = 12;
// Kept free around a dialog grown for its details, and above it for a title
// bar; an area is never made lower than this to fit.
constexpr double kScreenMargin = 20;
constexpr double kTitleBarRoom = 40;
constexpr double kSmallestDetailsHeight = 120;
// One countdown tick takes one second off the time left.
constexpr double kCountdownTickSeconds = 1.0;

// A timeout must be greater than this to start a countdown. Compared in
// single precision, the precision the timeout is configured in: widened,
// 0.001f lies above 0.001, and a configured 0.001 would count.
constexpr float kShortestTimeout = 0.001f;
// From this many seconds left the countdown shows in red.
constexpr double kRedFromSeconds = 30.0;
// Above this many seconds left the countdown shows whole minutes.
constexpr double kMinutesAboveSeconds = 59.0;

// Toward zero, clamped: a huge timeout must not overflow the conversion.
std::int32_t truncateToInt32(double value) {
  if (std::isnan(value)) return 0;
  constexpr double kMax = std::numeric_limits<std::int32_t>::max();
  constexpr double kMin = std::numeric_limits<std::int32_t>::min();
  return static_cast<std::int32_t>(std::trunc(std::clamp(value, kMin, kMax)));
}

bool startsCountdown(double timeout) {
  if (!(timeout > kShortestTimeout)) return false;  // also NaN
  // Clamped first: narrowing a double beyond float's range is undefined.
  return static_cast<float>(std::min(timeout, static_cast<double>(std::numeric_limits<float>::max()))) >
         kShortestTimeout;
}

template <typename T>
bool assignOutlet(std::shared_ptr<T>& outlet, const std::shared_ptr<Object>& object) {
  std::shared_ptr<T> typed = std::dynamic_pointer_cast<T>(object);
  if (!typed) return false;
  outlet = std::move(typed);
  return true;
}

}  // namespace

std::shared_ptr<ConsentDialog> ConsentDialog::make(const Bundle& bundle) {
  return std::make_shared<ConsentDialog>(PrivateTag{}, bundle);
}

std::string ConsentDialog::localizedString(std::string_view key) const {
  return ui::localizedStringForKey(bundle_, key);
}

bool ConsentDialog::askUserPermissionToSend() {
  lastDialogAnswered_ = false;
  lastDialogCountedDown_ = false;
  ui::applicationLoad();
  const double timeout = messageTimeout();
  detailsOpen_ = false;
  ending_ = false;
  details_.reset();
  shownDetails_.reset();
  if (!ui::loadNibNamedOwner(bundle_, kLayoutName, shared_from_this())) return false;
  // A layout without a window outlet has nothing to ask with.
  if (!alertWindow_) return false;
  configureAlertWindow();
  const std::int64_t code = runModalWindowWithTimeout(alertWindow_, timeout);
  // A button answers; so do the countdown and the user closing the window,
  // unless the loop ended because the helper was lost or never came.
  const bool helperAlive = alertWindow_->backend() && alertWindow_->backend()->isAlive();
  lastDialogAnswered_ =
      code == 1 || code == 0 || ((code == ui::kModalResponseStop || code == ui::kModalResponseAbort) && helperAlive);
  lastDialogCountedDown_ =
      lastDialogAnswered_ && code != 1 && code != 0 && startsCountdown(timeout) && remainingDialogTime_ <= 0.0;
  alertWindow_->orderOut(shared_from_this());
  // Hidden, the controls are used no more; the helper drawing them need not
  // stay resident until the next crash.
  ui::applicationEndDialogSession();
  return code == 1;
}

std::string ConsentDialog::repeatedNote() const {
  const std::uint64_t count = occurrences_.sinceAnswer.count;
  if (count == 0 || !occurrences_.lastAnswered) return "";
  const std::string noteFormat = localizedString(count == 1 ? "crashRepeatedOnceNote" : "crashRepeatedNote");
  const std::string when = formatLocalTime(*occurrences_.lastAnswered);
  const auto times = static_cast<std::int32_t>(std::min<std::uint64_t>(count, INT32_MAX));
  const std::optional<std::string> text = count == 1 ? format(noteFormat, when) : format(noteFormat, times, when);
  return " " + text.value_or(noteFormat);
}

void ConsentDialog::configureAlertWindow() {
  using namespace ResizabilityExtentions;
  if (dialogTitle_) dialogTitle_->setStringValue(localizedString("crashDialogHeader"));
  if (commentMessage_) commentMessage_->setStringValue(localizedString("crashDialogMsg"));
  if (dialogNote_) {
    const std::string repeated = repeatedNote();
    dialogNote_->setStringValue(localizedString("crashDialogNote") + repeated);
    if (!repeated.empty()) fitNoteWithItsRepeats();
  }
  if (sendButton_) sendButton_->setTitle(localizedString("sendReportButton"));
  const double sendGrowth = sendButton_ ? breakpad_smartSizeToFit(*sendButton_) : 0;
  if (cancelButton_) {
    // Cancel moves with Send's left edge, then fits its own title to the left.
    breakpad_shiftHorizontally(*cancelButton_, -sendGrowth);
    cancelButton_->setTitle(localizedString("cancelButton"));
    breakpad_smartSizeToFit(*cancelButton_);
  }
  titleDetailsButton();
}

void ConsentDialog::fitNoteWithItsRepeats() {
  using namespace ResizabilityExtentions;
  // The layout sizes the note for the longest localization of the note
  // alone. The sentence on a fault that came back can need more: the note
  // then grows at its top, and the window and the texts above it with it.
  if (!alertWindow_) return;
  const ui::Rect laidOut = dialogNote_->frame();
  const double growth = breakpad_adjustHeightToFit(*dialogNote_);
  if (growth <= 0) {
    dialogNote_->setFrame(laidOut);
    return;
  }
  const double noteTop = laidOut.origin.y + laidOut.size.height;
  breakpad_adjustHeight(*alertWindow_, growth);
  for (const auto& view : alertWindow_->contentView()->subviews())
    if (view != dialogNote_ && view->frame().origin.y >= noteTop) breakpad_shiftVertically(*view, growth);
}

void ConsentDialog::titleDetailsButton() {
  using namespace ResizabilityExtentions;
  if (!detailsButton_) return;
  detailsButton_->setTitle(localizedString(detailsOpen_ ? "hideDetailsButton" : "detailsButton"));
  // Fitting keeps the right edge; this button stands at the left, so its
  // left edge is moved back.
  breakpad_shiftHorizontally(*detailsButton_, breakpad_smartSizeToFit(*detailsButton_));
}

void ConsentDialog::toggleDetails(const std::shared_ptr<Object>&) {
  if (!alertWindow_ || !detailsView_) return;
  detailsOpen_ = !detailsOpen_;
  if (detailsOpen_) stopCountdownForGood();
  layOutDetails(detailsOpen_ ? 1 : -1);
  detailsView_->setHidden(!detailsOpen_);
  titleDetailsButton();
  if (!detailsOpen_) return;
  if (details_) {
    showDetailsText();
    return;
  }
  if (detailsStop_) return;  // still being made: the area says so already
  makeDetails();
}

void ConsentDialog::makeDetails() {
  detailsView_->setString(localizedString("detailsBeingMade"));
  if (!detailsMaker_) {
    details_ = ReportDetails{};
    details_->failure = localizedString("detailsNoCrashLog");
    showDetailsText();
    return;
  }
  // The dialog's loop goes on inside the maker: this object must outlive it.
  const auto self = shared_from_this();
  detailsStop_ = std::make_shared<RunLoop::RunHandle>();
  ReportDetails made = detailsMaker_(detailsStop_);
  detailsStop_.reset();
  if (ending_) return;  // answered meanwhile: what was made is not used
  details_ = std::move(made);
  if (detailsOpen_) showDetailsText();
}

void ConsentDialog::layOutDetails(int direction) {
  using namespace ResizabilityExtentions;
  ui::Rect area = detailsView_->frame();
  const ui::Rect window = alertWindow_->frame();
  if (direction > 0) {
    // The area keeps the window's margin on its right too; a screen too small
    // for it (room kept for a title bar) gets a smaller area, which scrolls.
    const ui::Size screen = alertWindow_->backend()->screenSize();
    double width = area.size.width;
    double height = area.size.height;
    if (screen.width > 0 && screen.height > 0) {
      width = std::min(
          width, std::max(window.size.width - 2 * area.origin.x, screen.width - kScreenMargin - 2 * area.origin.x));
      height = std::min(height, std::max(kSmallestDetailsHeight, screen.height - kScreenMargin - kTitleBarRoom -
                                                                     window.size.height - kDetailsGap));
    }
    laidOutArea_ = area;
    area.size = ui::Size{width, height};
    detailsView_->setFrame(area);
    detailsWidthGrowth_ = std::max(0.0, area.origin.x + area.size.width + area.origin.x - window.size.width);
    detailsHeightGrowth_ = area.size.height + kDetailsGap;
  }
  const double dx = direction * detailsWidthGrowth_;
  const double dy = direction * detailsHeightGrowth_;
  alertWindow_->setFrameDisplay(
      ui::makeRect(window.origin.x, window.origin.y, window.size.width + dx, window.size.height + dy), true);
  // What stands where the area goes moves up above it; Send and Cancel keep
  // to the right edge; the Details button stays at the left.
  for (const auto& view : alertWindow_->contentView()->subviews()) {
    if (view == detailsView_) continue;
    if (view->frame().origin.y >= area.origin.y)
      breakpad_shiftVertically(*view, dy);
    else if (view == sendButton_ || view == cancelButton_)
      breakpad_shiftHorizontally(*view, dx);
  }
  // Closed, the area takes the layout's frame again.
  if (direction < 0) detailsView_->setFrame(laidOutArea_);
}

void ConsentDialog::stopCountdownForGood() {
  if (!messageTimer_) return;
  messageTimer_.reset();
  // The red of the last seconds would warn of a close that no longer comes.
  if (countdownLabel_) countdownLabel_->setTextColor(ui::Color::controlTextColor());
  setCountdownMessage(localizedString("countdownStoppedMsg"));
}

void ConsentDialog::showDetailsText() {
  const ReportDetails& made = *details_;
  const auto filled = [this](std::string_view key, std::string_view value) {
    const std::string pattern = localizedString(key);
    return format(pattern, value).value_or(pattern);
  };
  if (!made.uploadText) {
    detailsView_->setString(filled("detailsCannotBeMade", made.failure));
    return;
  }
  std::string text =
      filled("detailsRecipient", made.recipient) + "\n" + filled("detailsSubject", made.subject) + "\n\n";
  const std::string heading = localizedString("detailsUploadHeading");
  text += format(heading, made.pasteServiceHostName, std::to_string(made.uploadText->size())).value_or(heading);
  text += "\n\n";
  text += *made.uploadText;
  detailsView_->setString(text);
  shownDetails_ = made;
}

std::int64_t ConsentDialog::runModalWindowWithTimeout(const std::shared_ptr<ui::Window>& window, double timeout) {
  if (startsCountdown(timeout)) {
    messageTimer_.reset();  // a leftover timer must never tick into this dialog
    remainingDialogTime_ = timeout;
    // Scheduled in the modal mode only: it ticks while the dialog is open and
    // never in the agent's default mode.
    const std::weak_ptr<ConsentDialog> weakSelf = weak_from_this();
    messageTimer_ = RunLoop::current().addTimer(kCountdownTickSeconds, true,
                                                [weakSelf] {
                                                  if (const auto self = weakSelf.lock())
                                                    self->updateSecondsLeftInDialogDisplay(self->messageTimer_);
                                                },
                                                {kModalPanelRunLoopMode});
    updateSecondsLeftInDialogDisplay(messageTimer_);
  }
  ui::Application& application = ui::Application::sharedApplication();
  application.activateIgnoringOtherApps(true);
  // Details still being made are not waited for: that work ends with the loop.
  const std::int64_t code = application.runModalForWindow(window, [this] {
    ending_ = true;
    if (detailsStop_) detailsStop_->stop();
  });
  // The loop may also have ended without a button or the countdown: the
  // window closed, the backend lost, an interrupt.
  messageTimer_.reset();
  return code;
}

void ConsentDialog::sendReport(const std::shared_ptr<Object>&) {
  messageTimer_.reset();
  ui::Application::sharedApplication().stopModalWithCode(1);
}

void ConsentDialog::cancel(const std::shared_ptr<Object>&) {
  messageTimer_.reset();
  ui::Application::sharedApplication().stopModalWithCode(0);
}

void ConsentDialog::updateSecondsLeftInDialogDisplay(const RunLoop::SourceHandle&) {
  remainingDialogTime_ -= kCountdownTickSeconds;
  const double remaining = remainingDialogTime_;
  std::int32_t count;
  std::string_view key;
  if (remaining > kMinutesAboveSeconds) {
    count = truncateToInt32(remaining / 60.0);
    key = count == 1 ? "countdownMsgMinuteSingular" : "countdownMsgMinutesPlural";
  } else {
    count = truncateToInt32(remaining);
    key = count == 1 ? "countdownMsgSecondSingular" : "countdownMsgSecondsPlural";
  }
  const std::string countdownFormat = localizedString(key);
  // A table whose text does not take one integer shows that text unformatted.
  const std::string text = format(countdownFormat, count).value_or(countdownFormat);
  if (remaining <= kRedFromSeconds && countdownLabel_) countdownLabel_->setTextColor(ui::Color::redColor());
  setCountdownMessage(text);
  if (remaining <= 0.0) {
    messageTimer_.reset();
    ui::Application::sharedApplication().stopModal();
  }
}

std::optional<std::string> ConsentDialog::countdownMessage() const {
  return countdownMessage_;
}

void ConsentDialog::setCountdownMessage(const std::optional<std::string>& message) {
  if (&message != &countdownMessage_) countdownMessage_ = message;
  // Observers (the label's binding) learn of every call.
  didChangeValueForKey(kCountdownMessageKey);
}

double ConsentDialog::messageTimeout() const {
  if (!parameters_) return 0;
  const PlistValue* value = lookup(*parameters_, kConfirmTimeoutKey);
  return value ? static_cast<double>(value->floatValue()) : 0;
}

bool ConsentDialog::connectOutlet(std::string_view name, const std::shared_ptr<Object>& object) {
  if (name == "alertWindow_") return assignOutlet(alertWindow_, object);
  if (name == "dialogTitle_") return assignOutlet(dialogTitle_, object);
  if (name == "dialogNote_") return assignOutlet(dialogNote_, object);
  if (name == "commentMessage_") return assignOutlet(commentMessage_, object);
  if (name == "sendButton_") return assignOutlet(sendButton_, object);
  if (name == "cancelButton_") return assignOutlet(cancelButton_, object);
  if (name == "countdownLabel_") return assignOutlet(countdownLabel_, object);
  if (name == "detailsButton_") return assignOutlet(detailsButton_, object);
  if (name == "detailsView_") return assignOutlet(detailsView_, object);
  return false;
}

bool ConsentDialog::performAction(std::string_view selector, const std::shared_ptr<Object>& sender) {
  if (selector == kSendReportAction) {
    sendReport(sender);
    return true;
  }
  if (selector == kCancelAction) {
    cancel(sender);
    return true;
  }
  if (selector == kToggleDetailsAction) {
    toggleDetails(sender);
    return true;
  }
  return false;
}

bool ConsentDialog::respondsToAction(std::string_view selector) const {
  return selector == kSendReportAction || selector == kCancelAction || selector == kToggleDetailsAction;
}

std::optional<std::string> ConsentDialog::stringValueForKey(std::string_view key) const {
  if (key == kCountdownMessageKey) return countdownMessage();
  return std::nullopt;
}

}  // namespace cw

// The consent dialog's operations of the Reporter. Until the dialog lands the
// agent asks nobody and so never reports.
#include "Reporter.h"

namespace cw {

bool Reporter::askUserPermissionToSend() { return false; }
void Reporter::configureAlertWindow() {}
std::int64_t Reporter::runModalWindowWithTimeout(const std::shared_ptr<ui::Window>&, double) { return 0; }
void Reporter::sendReport(const std::shared_ptr<Object>&) {}
void Reporter::cancel(const std::shared_ptr<Object>&) {}
void Reporter::updateSecondsLeftInDialogDisplay(RunLoop::SourceId) {}
std::optional<std::string> Reporter::countdownMessage() const { return countdownMessage_; }
void Reporter::setCountdownMessage(const std::optional<std::string>& message) { countdownMessage_ = message; }
double Reporter::messageTimeout() const { return 0; }
bool Reporter::connectOutlet(std::string_view, const std::shared_ptr<Object>&) { return false; }
bool Reporter::performAction(std::string_view, const std::shared_ptr<Object>&) { return false; }
bool Reporter::respondsToAction(std::string_view) const { return false; }
std::optional<std::string> Reporter::stringValueForKey(std::string_view) const { return std::nullopt; }

}  // namespace cw

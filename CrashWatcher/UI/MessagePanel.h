#pragma once

#include <optional>
#include <string_view>

#include "UI/Backend.h"

namespace cw::ui {

enum class MessagePanelAnswer {
  Acknowledged,  // its button
  Dismissed,     // closed by the user, the backend lost, or the run loop stopped (an interrupt)
  NotShown,      // no backend could show it, or a modal dialog is open
  TimedOut,      // it closed by itself after its time
};

// Shows `panel` on the current backend (made as for a dialog when there is
// none, and its session ended afterwards) and serves the run loop's modal
// mode until the panel's button is pressed or it is closed; then takes it
// down; with `closeAfterSeconds`, also once that time has passed, so that it
// never holds its caller for longer. Main thread only; not while a modal
// dialog runs.
MessagePanelAnswer runMessagePanel(const MessagePanel& panel, std::optional<double> closeAfterSeconds = std::nullopt);

// The panel that tells the user the mail program could not be opened, with
// the address of the uploaded report to copy, in the user's language (keys
// "mailFailureTitle", "mailFailureMsg" with the recipient for its "%@", and
// "mailFailureButton"). An empty address reads "mailFailureNoAddress".
MessagePanel mailFailurePanel(std::string_view uploadAddress, std::string_view recipient);
// The same when the upload failed as well: it says so, and shows the crash
// log to attach (key "mailFailureNotUploadedMsg", the recipient for its "%@").
MessagePanel mailFailurePanelWithoutUpload(std::string_view crashLog, std::string_view recipient);

}  // namespace cw::ui

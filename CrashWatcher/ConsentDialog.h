#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "CrashOccurrences.h"
#include "Platform/Bundle.h"
#include "Platform/Object.h"
#include "Platform/PropertyList.h"
#include "Platform/RunLoop.h"
#include "ReportDetails.h"
#include "UI/Geometry.h"
#include "UI/LayoutOwner.h"

namespace cw {

namespace ui {
class Window;
class TextField;
class TextView;
class Button;
}  // namespace ui

// The consent dialog: loaded afresh from the layout "CrashWatcher" of a bundle
// for every question, its texts from that bundle's string tables, run as a
// modal loop with an optional countdown (a timer it owns through its handle)
// after which it closes as a refusal. The layout's outlets, actions and the
// countdown label's binding are connected to this object.
//
// Its Details button opens an area below the texts, the window growing to
// hold it, that shows what would leave the machine (made on demand by the
// details maker); a second press closes it again. Opening it stops the
// countdown for good: whoever reads is not refused by the clock.
class ConsentDialog : public Object, public ui::LayoutOwner, public std::enable_shared_from_this<ConsentDialog> {
  struct PrivateTag {
    explicit PrivateTag() = default;
  };

public:
  static std::shared_ptr<ConsentDialog> make(const Bundle& bundle);
  ConsentDialog(PrivateTag, const Bundle& bundle) : bundle_(bundle) {}

  // The information property list whose "ConfirmTimeout" sets the countdown;
  // not owned, it lives as long as its bundle.
  void setParameters(const PlistDictionary* parameters) { parameters_ = parameters; }
  // What the details of the next dialog show; without one they say that
  // nothing can be shown. Kept until replaced.
  void setDetailsMaker(DetailsMaker maker) { detailsMaker_ = std::move(maker); }
  // The details of the last dialog as the user saw them (the area open with
  // the text made), else absent.
  const std::optional<ReportDetails>& shownDetails() const { return shownDetails_; }

  bool askUserPermissionToSend();
  // Whether the last dialog was shown and answered: by a button, the
  // countdown or the user closing it. Not when it could not be loaded or
  // shown, or its helper was lost.
  bool lastDialogAnswered() const { return lastDialogAnswered_; }
  // Whether the countdown, not a button, answered the last dialog.
  bool lastDialogCountedDown() const { return lastDialogCountedDown_; }
  // The next dialogs say how often their fault happened since it was last
  // answered (in a sentence after the note), until this is set again.
  void setOccurrences(const CrashOccurrences& occurrences) { occurrences_ = occurrences; }
  void configureAlertWindow();
  // Grows the note, the window and the texts above the note when the note
  // with its sentence on repeats does not fit the layout's frame.
  void fitNoteWithItsRepeats();
  std::int64_t runModalWindowWithTimeout(const std::shared_ptr<ui::Window>& window, double timeout);
  void sendReport(const std::shared_ptr<Object>& sender);
  void cancel(const std::shared_ptr<Object>& sender);
  // Action of the Details button: opens the details, or closes them.
  void toggleDetails(const std::shared_ptr<Object>& sender);
  bool detailsOpen() const { return detailsOpen_; }
  void updateSecondsLeftInDialogDisplay(const RunLoop::SourceHandle& timer);
  std::optional<std::string> countdownMessage() const;
  void setCountdownMessage(const std::optional<std::string>& message);
  double messageTimeout() const;
  double remainingDialogTime() const { return remainingDialogTime_; }

  // Layout owner.
  bool connectOutlet(std::string_view name, const std::shared_ptr<Object>& object) override;
  bool performAction(std::string_view selector, const std::shared_ptr<Object>& sender) override;
  bool respondsToAction(std::string_view selector) const override;
  std::optional<std::string> stringValueForKey(std::string_view key) const override;

  std::string description() const override { return "<ConsentDialog>"; }

private:
  std::string localizedString(std::string_view key) const;
  // What the note adds about a fault that came back after its quiet period.
  std::string repeatedNote() const;
  // The Details button's title for the area's state, fitted with its left
  // edge kept.
  void titleDetailsButton();
  // Grows the window (or shrinks it, -1) by the details area and moves the
  // controls so that the area sits between the texts and the buttons.
  void layOutDetails(int direction);
  void stopCountdownForGood();
  void makeDetails();
  void showDetailsText();

  const Bundle& bundle_;
  std::shared_ptr<ui::Window> alertWindow_;
  std::shared_ptr<ui::TextField> dialogTitle_;
  std::shared_ptr<ui::TextField> dialogNote_;
  std::shared_ptr<ui::TextField> commentMessage_;
  std::shared_ptr<ui::Button> sendButton_;
  std::shared_ptr<ui::Button> cancelButton_;
  std::shared_ptr<ui::TextField> countdownLabel_;
  std::shared_ptr<ui::Button> detailsButton_;
  std::shared_ptr<ui::TextView> detailsView_;
  std::optional<std::string> countdownMessage_;
  const PlistDictionary* parameters_ = nullptr;
  double remainingDialogTime_ = 0;
  bool lastDialogAnswered_ = false;
  bool lastDialogCountedDown_ = false;
  CrashOccurrences occurrences_;
  // The countdown timer of the open dialog; it stops when the handle goes.
  RunLoop::SourceHandle messageTimer_;
  DetailsMaker detailsMaker_;
  bool detailsOpen_ = false;
  // How much the window grew for the open area.
  double detailsWidthGrowth_ = 0;
  double detailsHeightGrowth_ = 0;
  // The area's frame in the layout, taken again when it closes.
  ui::Rect laidOutArea_;
  // Stops the details being made; set while they are.
  std::shared_ptr<RunLoop::RunHandle> detailsStop_;
  // The dialog's loop has been told to end.
  bool ending_ = false;
  std::optional<ReportDetails> details_;
  std::optional<ReportDetails> shownDetails_;
};

}  // namespace cw

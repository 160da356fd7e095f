#pragma once

#include <functional>
#include <memory>

#include "UI/Backend.h"

namespace cw::ui {

// A progress panel on screen for as long as this object lives: shown on the
// current backend (made as for a dialog when there is none), taken down, and
// the backend's session ended, when it goes. Its events come while the run
// loop serves the modal mode; the owner serves it. Main thread only; not
// while a modal dialog runs.
class ProgressPanelSession {
public:
  // `onStop` runs once, when the user presses Stop (or Escape) or closes the
  // panel. Absent when no backend can show it; the work then goes on unseen.
  static std::unique_ptr<ProgressPanelSession> show(const ProgressPanel& panel, std::function<void()> onStop);
  ~ProgressPanelSession();
  ProgressPanelSession(const ProgressPanelSession&) = delete;
  ProgressPanelSession& operator=(const ProgressPanelSession&) = delete;

  ControlId panel() const { return id_; }

private:
  ProgressPanelSession(std::shared_ptr<Backend> backend, ControlId id) : backend_(std::move(backend)), id_(id) {}

  std::shared_ptr<Backend> backend_;
  ControlId id_;
};

// The panel shown while a report is being sent, in the user's language (keys
// "progressTitle", "progressMsg", "progressStopButton").
ProgressPanel sendingProgressPanel();

}  // namespace cw::ui

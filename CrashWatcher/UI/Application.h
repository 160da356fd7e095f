#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "Platform/RunLoop.h"
#include "UI/Backend.h"

namespace cw::ui {

class Window;

// Modal result codes besides those a caller chooses (the dialog uses 1 and 0).
// A plain stop, from stopModal().
inline constexpr std::int64_t kModalResponseStop = -1000;
// The loop ended otherwise: the window closed by the user, the backend lost,
// the run loop stopped from outside (an interrupt), no backend to show it on.
inline constexpr std::int64_t kModalResponseAbort = -1001;

// The application object of this background process: activation and modal
// loops. Main thread only.
class Application {
public:
  // The one application object, made on first use.
  static Application& sharedApplication();

  Application(const Application&) = delete;
  Application& operator=(const Application&) = delete;

  // Brings the agent's windows in front of other applications' windows.
  void activateIgnoringOtherApps(bool flag);

  // Shows `window`, makes it key and runs the current run loop in the modal
  // mode, serving only this window and what is scheduled in that mode, until a
  // stop. Answers the stop's code; kModalResponseAbort when the window closes,
  // the backend is lost, the run loop is stopped from outside, or there is no
  // window or live backend. A stop requested while no modal loop ran ends the
  // next loop as soon as it starts, before the window is shown.
  // `whenStopping` runs once as the loop is told to end, however that comes
  // (a work nested in the loop can end with it).
  std::int64_t runModalForWindow(const std::shared_ptr<Window>& window, std::function<void()> whenStopping = {});
  // Ends the innermost modal loop with `code`.
  void stopModalWithCode(std::int64_t code);
  // Ends the innermost modal loop with kModalResponseStop.
  void stopModal() { stopModalWithCode(kModalResponseStop); }

  // The window of the innermost modal loop, or nullptr.
  std::shared_ptr<Window> modalWindow() const;

private:
  Application() = default;

  struct Session {
    std::shared_ptr<Window> window;
    std::optional<std::int64_t> code;
    // This modal loop's own run: a stop never ends another level.
    RunLoop::RunHandle run;
    std::function<void()> whenStopping;
  };

  void handleBackendEvent(const BackendEvent& event);

  // Innermost last; each runModalForWindow pushes one.
  std::vector<std::shared_ptr<Session>> sessions_;
  std::optional<std::int64_t> pendingStop_;
};

// Makes sure the application object exists and that a backend is current:
// when none is, the default one is made (the default factory's, else the
// dialog helper client); one made here that has since been lost is replaced.
// Harmless when called again. Answers whether a live backend is current; the
// dialog ignores the answer, since showing on a lost backend fails by itself.
bool applicationLoad();

// Ends the session of the backend that applicationLoad() made, once a dialog
// is over: the dialog helper and its memory go with it, and the next dialog
// starts a fresh one. A backend installed by someone else is left alone.
void applicationEndDialogSession();

}  // namespace cw::ui

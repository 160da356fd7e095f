#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "Platform/RunLoop.h"
#include "UI/Backend.h"
#include "UI/HelperProcess.h"
#include "UI/HelperProtocol.h"

namespace cw::ui {

// The backend that draws through the dialog helper, a GTK program started
// afresh for each client and spoken to over a socket. GTK stays out of the
// agent: its memory goes away with the helper, and a fault in the helper is a
// lost dialog, not a lost agent.
//
// Any failure of the helper (it cannot start, has no display, dies, hangs or
// talks nonsense) makes the client lost: the helper is killed, every later
// call does nothing, and the event handler receives one Lost event, delivered
// like the helper's events while the run loop serves the modal mode.
class DialogHelperClient final : public Backend {
public:
  struct Options {
    // Empty: kDialogHelperRelativePath from the agent's executable folder.
    std::string helperPath;
    // How long a measurement may take before the helper counts as hung; also
    // bounds a send that the helper does not read.
    std::chrono::milliseconds replyTimeout{std::chrono::seconds(5)};
  };

  DialogHelperClient();
  explicit DialogHelperClient(std::string helperPath);
  explicit DialogHelperClient(Options options);
  ~DialogHelperClient() override;  // kills and reaps the helper
  DialogHelperClient(const DialogHelperClient&) = delete;
  DialogHelperClient& operator=(const DialogHelperClient&) = delete;

  // Where the installed helper lies for this executable.
  static std::string defaultHelperPath();

  ControlId createControl(ControlKind kind, ControlId parent, const Rect& frame) override;
  void destroyControl(ControlId control) override;
  void setFrame(ControlId control, const Rect& frame) override;
  void setText(ControlId control, std::string_view text) override;
  void setTextColor(ControlId control, const Color& color) override;
  void setKeyEquivalent(ControlId control, std::string_view key) override;
  void setTextStyle(ControlId control, bool bold, double pointSize, bool wraps) override;
  void setHidden(ControlId control, bool hidden) override;
  Size fittingSize(ControlId control) override;
  Size cellSizeForBounds(ControlId control, const Rect& bounds) override;
  Size screenSize() override { return measure(0, std::nullopt); }
  ControlId showMessagePanel(const MessagePanel& panel) override;
  ControlId showProgressPanel(const ProgressPanel& panel) override;
  void showWindow(ControlId window) override;
  void orderOut(ControlId window) override;
  void activate() override;
  void setEventHandler(std::function<void(const BackendEvent&)> handler) override;
  bool isAlive() const override { return helper_.has_value(); }
  // Lets the helper go (it quits when our end closes); its end is the
  // reaper's, which kills it if it has not quit within half a second, or at
  // once while the loop stops. Returns without waiting; no Lost event
  // follows, since nobody is waiting for one.
  void close() override;

  // The helper's process id while it runs, else -1.
  pid_t helperProcessIdentifier() const;
  // Why the client was lost, empty while alive: for diagnostics.
  const std::string& lostReason() const { return lostReason_; }

private:
  void send(const protocol::Request& request);
  bool writeAll(std::string_view bytes);
  // Reads what the socket holds without blocking; false on end or error.
  bool readAvailable();
  // Decodes buffered lines into queued events; a Measured reply for
  // `awaitedSequence` is stored in `measured`. false on a broken line.
  bool processLines(std::uint64_t awaitedSequence, std::optional<Size>& measured);
  Size measure(ControlId control, std::optional<double> boundsWidth);
  void onSocketReady(short revents);
  // Logs why, unless `logIt` is false.
  void markLost(std::string reason, bool logIt = true);
  // A shutdown came while we waited for the helper: lost, without a word.
  void giveUpForShutdown();
  void scheduleDelivery();
  void deliverEvents();

  RunLoop& loop_;
  std::chrono::milliseconds replyTimeout_;
  std::optional<HelperProcess> helper_;
  RunLoop::SourceHandle socketSource_;
  RunLoop::SourceHandle deliveryTimer_;
  protocol::LineBuffer lines_;
  std::deque<BackendEvent> pendingEvents_;
  std::function<void(const BackendEvent&)> handler_;
  ControlId nextControl_ = 1;
  std::uint64_t nextSequence_ = 1;
  bool lost_ = false;
  std::string lostReason_;
  // What a helper that gave up said about why.
  std::string helperFailure_;
  // Lets a delivery notice that a handler destroyed this client.
  std::shared_ptr<int> lifetime_ = std::make_shared<int>(0);
};

}  // namespace cw::ui

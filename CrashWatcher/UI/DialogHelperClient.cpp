#include "UI/DialogHelperClient.h"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cmath>
#include <utility>

#include "BuildConfig.h"
#include "Platform/Bundle.h"
#include "Platform/Paths.h"
#include "Platform/Posix.h"
#include "Platform/PrintableText.h"
#include "Platform/SystemLog.h"

namespace cw::ui {
namespace {

using Clock = std::chrono::steady_clock;
using protocol::Reply;
using protocol::Request;

// A cell as wide as this is as good as unbounded.
constexpr double kUnboundedWidth = 1e6;
// The run-loop mode of a wait for the helper's reply.
constexpr std::string_view kReplyWaitMode = "dialog-helper-reply";
// How long a helper that was let go has to quit by itself before it is killed.
constexpr std::chrono::milliseconds kQuitGrace{500};

std::string secondsText(std::chrono::milliseconds duration) {
  const auto count = duration.count();
  if (count % 1000 == 0) return std::to_string(count / 1000) + " s";
  return std::to_string(count) + " ms";
}

// The longest start of `text` of at most `limit` bytes that does not end
// inside a UTF-8 sequence (bytes that are not UTF-8 count one by one).
std::size_t utf8PrefixLength(std::string_view text, std::size_t limit) {
  if (text.size() <= limit) return text.size();
  std::size_t length = limit;
  // Back over continuation bytes, at most a sequence's length.
  while (length > limit - 3 && (static_cast<unsigned char>(text[length]) & 0xC0) == 0x80) --length;
  return (static_cast<unsigned char>(text[length]) & 0xC0) == 0x80 ? limit : length;
}

}  // namespace

DialogHelperClient::DialogHelperClient() : DialogHelperClient(Options{}) {}

DialogHelperClient::DialogHelperClient(std::string helperPath) : DialogHelperClient(Options{std::move(helperPath)}) {}

DialogHelperClient::DialogHelperClient(Options options)
    : loop_(RunLoop::current()), replyTimeout_(options.replyTimeout) {
  const std::string path = options.helperPath.empty() ? defaultHelperPath() : options.helperPath;
  SystemResult<HelperProcess> spawned =
      HelperProcess::spawn(path, {"--fd", std::to_string(protocol::kHelperSocketFd)}, protocol::kHelperSocketFd);
  if (!spawned) {
    markLost("the dialog helper could not be started: " + spawned.reason());
    return;
  }
  helper_ = std::move(*spawned);
  socketSource_ =
      loop_.addFdSource(helper_->socket(), [this](short revents) { onSocketReady(revents); }, {kModalPanelRunLoopMode});
}

DialogHelperClient::~DialogHelperClient() {
  // The sources go before the socket they watch.
  socketSource_.reset();
  deliveryTimer_.reset();
  helper_.reset();
}

std::string DialogHelperClient::defaultHelperPath() {
  return standardizePath(appendPathComponent(executableDirectory(), build::kDialogHelperRelativePath));
}

pid_t DialogHelperClient::helperProcessIdentifier() const {
  return helper_ ? helper_->processIdentifier() : pid_t(-1);
}

ControlId DialogHelperClient::createControl(ControlKind kind, ControlId parent, const Rect& frame) {
  // Ids stay unique even once lost: the views above still tell their
  // controls apart by them.
  const ControlId control = nextControl_++;
  const Request request{.op = Request::Op::Create, .control = control, .kind = kind, .parent = parent, .frame = frame};
  send(request);
  return control;
}

void DialogHelperClient::destroyControl(ControlId control) {
  const Request request{.op = Request::Op::Destroy, .control = control};
  send(request);
}

void DialogHelperClient::setFrame(ControlId control, const Rect& frame) {
  const Request request{.op = Request::Op::SetFrame, .control = control, .frame = frame};
  send(request);
}

void DialogHelperClient::setText(ControlId control, std::string_view text) {
  // A whole crash log is far longer than a line may be: it goes in pieces.
  Request::Op op = Request::Op::SetText;
  do {
    const std::size_t length = utf8PrefixLength(text, protocol::kMaxTextPiece);
    const Request request{.op = op, .control = control, .text = std::string(text.substr(0, length))};
    send(request);
    text.remove_prefix(length);
    op = Request::Op::AppendText;
  } while (!text.empty() && isAlive());
}

void DialogHelperClient::setTextColor(ControlId control, const Color& color) {
  const Request request{.op = Request::Op::SetTextColor, .control = control, .color = color};
  send(request);
}

void DialogHelperClient::setKeyEquivalent(ControlId control, std::string_view key) {
  const Request request{.op = Request::Op::SetKeyEquivalent, .control = control, .text = std::string(key)};
  send(request);
}

void DialogHelperClient::setTextStyle(ControlId control, bool bold, double pointSize, bool wraps) {
  const Request request{
      .op = Request::Op::SetTextStyle, .control = control, .bold = bold, .pointSize = pointSize, .wraps = wraps};
  send(request);
}

void DialogHelperClient::setHidden(ControlId control, bool hidden) {
  const Request request{.op = Request::Op::SetHidden, .control = control, .hidden = hidden};
  send(request);
}

Size DialogHelperClient::fittingSize(ControlId control) {
  return measure(control, std::nullopt);
}

Size DialogHelperClient::cellSizeForBounds(ControlId control, const Rect& bounds) {
  const double width = bounds.size.width;
  if (!std::isfinite(width) || width <= 0 || width >= kUnboundedWidth) return measure(control, std::nullopt);
  return measure(control, width);
}

ControlId DialogHelperClient::showMessagePanel(const MessagePanel& panel) {
  if (!isAlive()) return 0;
  const Request request{.op = Request::Op::ShowMessagePanel, .control = nextControl_++, .panel = panel};
  send(request);
  return isAlive() ? request.control : 0;
}

ControlId DialogHelperClient::showProgressPanel(const ProgressPanel& panel) {
  if (!isAlive()) return 0;
  const Request request{.op = Request::Op::ShowProgressPanel, .control = nextControl_++, .progressPanel = panel};
  send(request);
  return isAlive() ? request.control : 0;
}

void DialogHelperClient::showWindow(ControlId window) {
  const Request request{.op = Request::Op::Show, .control = window};
  send(request);
}

void DialogHelperClient::orderOut(ControlId window) {
  const Request request{.op = Request::Op::OrderOut, .control = window};
  send(request);
}

void DialogHelperClient::activate() {
  const Request request{.op = Request::Op::Activate};
  send(request);
}

void DialogHelperClient::setEventHandler(std::function<void(const BackendEvent&)> handler) {
  handler_ = std::move(handler);
  scheduleDelivery();
}

void DialogHelperClient::send(const Request& request) {
  if (!isAlive()) return;
  writeAll(protocol::encode(request));
}

bool DialogHelperClient::writeAll(std::string_view bytes) {
  const auto deadline = Clock::now() + replyTimeout_;
  while (!bytes.empty()) {
    // MSG_NOSIGNAL: a helper that died gives EPIPE here, never a SIGPIPE
    // that would end the agent.
    const ssize_t written = ::send(helper_->socket(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (written > 0) {
      bytes.remove_prefix(static_cast<std::size_t>(written));
      continue;
    }
    if (written < 0 && errno == EINTR) continue;
    if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      pollfd entry{helper_->socket(), POLLOUT, 0};
      const int timeout = posix::pollTimeoutUntil(deadline);
      if (timeout == 0) {
        markLost("the dialog helper stopped reading");
        return false;
      }
      if (::poll(&entry, 1, timeout) < 0) {
        if (errno != EINTR) {
          markLost("the dialog helper's socket failed");
          return false;
        }
        // A signal: let its wake-up be served, and give up for a shutdown.
        loop_.runOnce(kReplyWaitMode, std::chrono::milliseconds(0));
        if (loop_.stopping()) {
          giveUpForShutdown();
          return false;
        }
      }
      continue;
    }
    markLost("the dialog helper ended");
    return false;
  }
  return true;
}

bool DialogHelperClient::readAvailable() {
  char buffer[16 * 1024];
  // A bounded helping per call: a helper that writes without pause can
  // neither keep us here nor grow the buffer past a line's limit by much.
  // The socket stays readable, so the rest comes on the next call.
  for (int round = 0; round < 4; ++round) {
    const ssize_t got = ::recv(helper_->socket(), buffer, sizeof buffer, MSG_DONTWAIT);
    if (got > 0) {
      lines_.append(std::string_view(buffer, static_cast<std::size_t>(got)));
      continue;
    }
    if (got < 0 && errno == EINTR) continue;
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
    return false;  // end of stream or a broken socket
  }
  return true;
}

bool DialogHelperClient::processLines(std::uint64_t awaitedSequence, std::optional<Size>& measured) {
  while (auto line = lines_.nextLine()) {
    const auto reply = protocol::decodeReply(*line);
    if (!reply) return false;
    switch (reply->type) {
      case Reply::Type::ButtonPressed:
        pendingEvents_.push_back({BackendEvent::Type::ButtonPressed, reply->control});
        break;
      case Reply::Type::WindowClosed:
        pendingEvents_.push_back({BackendEvent::Type::WindowClosed, reply->control});
        break;
      case Reply::Type::Measured:
        // A reply nobody waits for is late; its request already gave up.
        if (awaitedSequence != 0 && reply->sequence == awaitedSequence) measured = reply->size;
        break;
      case Reply::Type::Failed:
        helperFailure_ = reply->reason;
        break;
      case Reply::Type::Ready:
        break;
    }
  }
  // A peer that sends lines past the limit is not one we can follow.
  return lines_.overlongLines() == 0;
}

Size DialogHelperClient::measure(ControlId control, std::optional<double> boundsWidth) {
  if (!isAlive()) return {};
  const std::uint64_t sequence = nextSequence_++;
  const Request request{
      .op = Request::Op::Measure, .control = control, .sequence = sequence, .boundsWidth = boundsWidth};
  send(request);

  const auto deadline = Clock::now() + replyTimeout_;
  std::optional<Size> measured;
  while (isAlive()) {
    if (!processLines(sequence, measured)) {
      markLost("the dialog helper sent a malformed message");
      break;
    }
    if (measured) {
      // Events that came along with the reply go out from the run loop, not
      // from inside this call.
      scheduleDelivery();
      return *measured;
    }
    const int timeout = posix::pollTimeoutUntil(deadline);
    if (timeout == 0) {
      markLost("the dialog helper did not answer within " + secondsText(replyTimeout_));
      break;
    }
    // Waited for on the run loop, in a mode of its own: only the socket and
    // what every mode serves (the signal wake-up) can end the wait, so a
    // shutdown does not wait for a helper that does not answer.
    bool ready = false;
    {
      const RunLoop::SourceHandle reply =
          loop_.addFdSource(helper_->socket(), [&ready](short) { ready = true; }, {kReplyWaitMode});
      loop_.runOnce(kReplyWaitMode, std::chrono::milliseconds(timeout));
    }
    if (loop_.stopping()) {
      giveUpForShutdown();
      break;
    }
    if (!ready || !isAlive()) continue;
    if (!readAvailable()) {
      if (processLines(sequence, measured) && measured) {
        markLost("the dialog helper ended");
        return *measured;
      }
      markLost("the dialog helper ended");
      break;
    }
  }
  return {};
}

void DialogHelperClient::onSocketReady(short /*revents*/) {
  if (!isAlive()) return;
  const bool open = readAvailable();
  std::optional<Size> unawaited;
  if (!processLines(0, unawaited))
    markLost("the dialog helper sent a malformed message");
  else if (!open)
    markLost("the dialog helper ended");
  deliverEvents();
}

void DialogHelperClient::close() {
  socketSource_.reset();
  deliveryTimer_.reset();
  pendingEvents_.clear();
  lost_ = true;
  if (lostReason_.empty()) lostReason_ = "closed";
  // A helper is given time to quit by itself, but not while we shut down;
  // nobody waits for it meanwhile.
  if (helper_ && !loop_.stopping())
    helper_->letGo(kQuitGrace);
  else if (helper_)
    helper_->terminate();
  helper_.reset();
}

void DialogHelperClient::giveUpForShutdown() {
  // Nobody is told: the dialog ends with the agent.
  markLost("the agent is shutting down", false);
}

void DialogHelperClient::markLost(std::string reason, bool logIt) {
  if (lost_) return;
  lost_ = true;
  if (helper_) {
    // Whatever the helper said last (a press, why it failed) still counts.
    readAvailable();
    std::optional<Size> unawaited;
    processLines(0, unawaited);
  }
  lostReason_ = helperFailure_.empty() ? std::move(reason) : reason + ": " + helperFailure_;
  // Once: the dialog (or message) it drew ends without an answer.
  if (logIt) systemLog("The dialog helper was given up: %@", printableForLog(lostReason_));
  socketSource_.reset();
  helper_.reset();  // kills and reaps it
  pendingEvents_.push_back({BackendEvent::Type::Lost, 0});
  scheduleDelivery();
}

void DialogHelperClient::scheduleDelivery() {
  if (!handler_ || deliveryTimer_.active() || pendingEvents_.empty()) return;
  deliveryTimer_ = loop_.addTimer(0.0, false,
                                  [this] {
                                    deliveryTimer_.reset();
                                    deliverEvents();
                                  },
                                  {kModalPanelRunLoopMode});
}

void DialogHelperClient::deliverEvents() {
  const std::weak_ptr<int> alive = lifetime_;
  while (handler_ && !pendingEvents_.empty()) {
    const BackendEvent event = pendingEvents_.front();
    pendingEvents_.pop_front();
    // A copy: the handler may replace itself, or end the dialog and with it
    // this client.
    const auto handler = handler_;
    handler(event);
    if (alive.expired()) return;
  }
}

}  // namespace cw::ui

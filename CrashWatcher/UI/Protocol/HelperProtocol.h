#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "UI/Controls.h"
#include "UI/Geometry.h"

// The conversation between the agent and the dialog helper: one JSON object
// per line, in both directions. The agent names every control by an id of its
// own choosing, so creating a control needs no reply; only measurements are
// answered. Both sides decode without trusting the other: anything malformed
// decodes to absent.
namespace cw::ui::protocol {

// Longer lines are a broken peer, not a message; the reader drops them.
inline constexpr std::size_t kMaxLineLength = 64 * 1024;
// The descriptor number the helper finds its end of the socket on.
inline constexpr int kHelperSocketFd = 3;

// Agent to helper.
struct Request {
  enum class Op {
    Create,            // control, kind, parent, frame
    Destroy,           // control
    SetFrame,          // control, frame
    SetText,           // control, text
    SetTextColor,      // control, color
    SetKeyEquivalent,  // control, text
    SetTextStyle,      // control, bold, pointSize, wraps
    Measure,           // control, sequence, boundsWidth (absent: natural size); control 0: the screen's work area
    Show,              // control (a window)
    OrderOut,          // control (a window)
    Activate,
    ShowMessagePanel,   // control (the panel's window), panel
    AppendText,         // control, text: added to the end of its text
    SetHidden,          // control, hidden
    ShowProgressPanel,  // control (the panel's window), progressPanel
  };
  Op op = Op::Activate;
  ControlId control = 0;
  ControlKind kind = ControlKind::View;
  ControlId parent = 0;
  Rect frame{};
  std::string text{};
  Color color{};
  bool bold = false;
  double pointSize = 0;
  bool wraps = false;
  std::uint64_t sequence = 0;
  std::optional<double> boundsWidth{};
  MessagePanel panel{};
  bool hidden = false;
  ProgressPanel progressPanel{};
};

// Text longer than this goes in pieces (a SetText, then AppendTexts), each cut
// at a character boundary: even escaped six-fold in JSON a piece stays far
// below the line limit.
inline constexpr std::size_t kMaxTextPiece = 8 * 1024;

// Helper to agent.
struct Reply {
  enum class Type {
    Ready,          // the display is open
    Failed,         // reason; the helper exits next
    ButtonPressed,  // control
    WindowClosed,   // control
    Measured,       // sequence, size
  };
  Type type = Type::Ready;
  ControlId control = 0;
  std::uint64_t sequence = 0;
  Size size;
  std::string reason;
};

// One line each, newline included. Text that is not valid UTF-8 is sent with
// replacement characters rather than dropped; numbers that are not finite are
// sent as 0.
std::string encode(const Request& request);
std::string encode(const Reply& reply);

// Absent for anything that is not a well-formed message of a known kind.
std::optional<Request> decodeRequest(std::string_view line);
std::optional<Reply> decodeReply(std::string_view line);

// Cuts a byte stream into lines of at most kMaxLineLength bytes (newline not
// counted). A longer line is skipped up to its newline and counted as overlong.
class LineBuffer {
public:
  void append(std::string_view bytes);
  // The next complete line without its newline, or absent.
  std::optional<std::string> nextLine();
  // How many overlong lines were dropped so far.
  std::size_t overlongLines() const { return overlong_; }

private:
  std::string pending_;
  std::size_t scanned_ = 0;
  bool skipping_ = false;
  std::size_t overlong_ = 0;
};

}  // namespace cw::ui::protocol

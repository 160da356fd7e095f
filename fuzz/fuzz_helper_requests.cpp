// Fuzzes what the dialog helper reads from the agent: the socket's bytes cut
// into lines by protocol::LineBuffer and each line decoded by
// protocol::decodeRequest, as AgentChannel does. A request that decodes must
// encode to one line that decodes to the same request.

#include <cstdint>
#include <string>

#include "FuzzLineStream.h"

namespace {

using cw::ui::protocol::Request;

bool sameRequest(const Request& a, const Request& b) {
  using Op = Request::Op;
  if (a.op != b.op) return false;
  if (a.op == Op::Activate) return true;
  if (a.control != b.control) return false;
  switch (a.op) {
    case Op::Create:
      return a.kind == b.kind && a.parent == b.parent && a.frame == b.frame;
    case Op::SetFrame:
      return a.frame == b.frame;
    case Op::SetText:
    case Op::AppendText:
    case Op::SetKeyEquivalent:
      return a.text == b.text;
    case Op::SetHidden:
      return a.hidden == b.hidden;
    case Op::ShowMessagePanel:
      return a.panel == b.panel;
    case Op::ShowProgressPanel:
      return a.progressPanel == b.progressPanel;
    case Op::SetTextColor:
      return a.color == b.color;
    case Op::SetTextStyle:
      return a.bold == b.bold && a.pointSize == b.pointSize && a.wraps == b.wraps;
    case Op::Measure:
      return a.sequence == b.sequence && a.boundsWidth == b.boundsWidth;
    case Op::Destroy:
    case Op::Show:
    case Op::OrderOut:
    case Op::Activate:
      return true;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const cw::fuzz::LineStream stream = cw::fuzz::lineStreamFrom(data, size);
  cw::fuzz::readLines(stream, [](const std::string& line) {
    const std::optional<Request> request = cw::ui::protocol::decodeRequest(line);
    if (!request) return;
    const std::string encoded = cw::ui::protocol::encode(*request);
    cw::fuzz::checkOneLine(encoded);
    const std::optional<Request> again =
        cw::ui::protocol::decodeRequest(std::string_view(encoded).substr(0, encoded.size() - 1));
    if (!again) cw::fuzz::fail("a decoded request does not survive encoding", encoded);
    if (!sameRequest(*request, *again)) cw::fuzz::fail("a request changed on the way through encoding", encoded);
  });
  return 0;
}

// Fuzzes what the agent's DialogHelperClient reads from the dialog helper:
// the socket's bytes cut into lines by protocol::LineBuffer and each line
// decoded by protocol::decodeReply. A decoded reply must hold what the client
// relies on (a measured size is finite and not negative) and survive
// encoding unchanged.

#include <cmath>
#include <cstdint>
#include <string>

#include "FuzzLineStream.h"

namespace {

using cw::ui::protocol::Reply;

bool sameReply(const Reply& a, const Reply& b) {
  if (a.type != b.type) return false;
  switch (a.type) {
    case Reply::Type::ButtonPressed:
    case Reply::Type::WindowClosed:
      return a.control == b.control;
    case Reply::Type::Measured:
      return a.sequence == b.sequence && a.size == b.size;
    case Reply::Type::Failed:
      return a.reason == b.reason;
    case Reply::Type::Ready:
      return true;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const cw::fuzz::LineStream stream = cw::fuzz::lineStreamFrom(data, size);
  cw::fuzz::readLines(stream, [](const std::string& line) {
    const std::optional<Reply> reply = cw::ui::protocol::decodeReply(line);
    if (!reply) return;
    if (reply->type == Reply::Type::Measured) {
      const cw::ui::Size& measured = reply->size;
      if (!std::isfinite(measured.width) || !std::isfinite(measured.height) || measured.width < 0 ||
          measured.height < 0)
        cw::fuzz::fail("a measured size the client cannot lay out with", line);
    }
    const std::string encoded = cw::ui::protocol::encode(*reply);
    cw::fuzz::checkOneLine(encoded);
    const std::optional<Reply> again =
        cw::ui::protocol::decodeReply(std::string_view(encoded).substr(0, encoded.size() - 1));
    if (!again) cw::fuzz::fail("a decoded reply does not survive encoding", encoded);
    if (!sameReply(*reply, *again)) cw::fuzz::fail("a reply changed on the way through encoding", encoded);
  });
  return 0;
}

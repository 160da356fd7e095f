#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "CrashOccurrences.h"

namespace cw {

// The mail that asks the vendor to look at a crash: pure text work, no
// effects. The subject names the version and the crash summary, line 6 of the
// body the upload address; the mailto: URL carries both, each field escaped
// so that every mail program reads it back as it stands (see mailtoURL). No
// line of the body is longer than a mail program keeps as it is.
class MailComposer {
public:
  struct Mail {
    // On one line: control characters of the summary have become spaces.
    std::string subject;
    std::string body;
    // Absent when a part is not valid UTF-8, or the recipient leaves no room
    // in a process argument: then nothing can be handed over.
    std::optional<std::string> url;
    // Why there is no URL, to be logged; empty when there is one.
    std::string failure;
  };

  // The build's crash-report mailbox and support forum.
  MailComposer();
  MailComposer(std::string recipient, std::string supportForumAddress);

  // An absent upload address reads "(null)", as the report logs it.
  Mail compose(std::string_view version, std::string_view crashSummary,
               const std::optional<std::string>& uploadAddress) const {
    return compose(version, crashSummary, uploadAddress, {});
  }
  // A fault that happened more than once says how often, and when, in a line
  // after the third ("It crashed 20 times, from … to …").
  Mail compose(std::string_view version, std::string_view crashSummary, const std::optional<std::string>& uploadAddress,
               const CrashOccurrences& occurrences) const;

  const std::string& recipient() const { return recipient_; }

  // The longest line a body may have so that no mail program re-wraps it:
  // 72 is the usual limit, and Evolution already re-wraps a line of 72.
  static constexpr std::size_t kBodyLineLimit = 71;

  // Each line longer than `limit` characters broken at its spaces; a quoted
  // line's prefix ("> ", ">> ") begins each of its lines again. A word longer
  // than the limit (an address) stays whole on a line of its own.
  static std::string wrapBodyLines(std::string_view body, std::size_t limit = kBodyLineLimit);

private:
  std::string recipient_;
  std::string supportForumAddress_;
};

}  // namespace cw

#include "MailComposer.h"

#include <algorithm>

#include "BuildConfig.h"
#include "Platform/MailtoURL.h"
#include "Platform/Utf8.h"

namespace cw {
namespace {

// Characters, not bytes: a mail program counts "—" as one.
std::size_t characterCount(std::string_view text) {
  std::size_t count = 0;
  for (const char byte : text)
    if ((static_cast<unsigned char>(byte) & 0xC0) != 0x80) ++count;
  return count;
}

// A quoted line's prefix: its leading run of ">" and spaces.
std::string_view quotePrefix(std::string_view line) {
  if (line.empty() || line.front() != '>') return {};
  return line.substr(0, line.find_first_not_of("> "));
}

void appendWrappedLine(std::string& out, std::string_view line, std::size_t limit) {
  const std::string_view prefix = quotePrefix(line);
  std::string_view rest = line.substr(prefix.size());
  const std::size_t room = limit > characterCount(prefix) ? limit - characterCount(prefix) : 0;
  while (characterCount(rest) > room) {
    // The last space that leaves a piece within the room, else the first one
    // after a word too long for it; never one of the line's leading spaces.
    std::size_t cut = std::string_view::npos;
    for (std::size_t space = rest.find(' ', rest.find_first_not_of(' ')); space != std::string_view::npos;
         space = rest.find(' ', space + 1)) {
      if (cut != std::string_view::npos && characterCount(rest.substr(0, space)) > room) break;
      cut = space;
    }
    if (cut == std::string_view::npos) break;  // one word: nothing to break at
    std::string_view piece = rest.substr(0, cut);
    piece.remove_suffix(piece.size() - (piece.find_last_not_of(' ') + 1));
    out.append(prefix).append(piece).push_back('\n');
    rest.remove_prefix(std::min(rest.find_first_not_of(' ', cut), rest.size()));
    if (rest.empty()) return;
  }
  out.append(prefix).append(rest).push_back('\n');
}

std::string times(std::uint64_t count) {
  return count == 1 ? "once" : std::to_string(count) + " times";
}

std::string fromTo(const Repeats& repeats) {
  if (!repeats.first || !repeats.last) return "";
  if (*repeats.first == *repeats.last) return ", at " + formatLocalTime(*repeats.first);
  return ", from " + formatLocalTime(*repeats.first) + " to " + formatLocalTime(*repeats.last);
}

// What the mail says about how often the fault happened; empty for a crash
// that happened once.
std::string occurrenceLines(const CrashOccurrences& occurrences) {
  std::string lines;
  if (occurrences.folded.count > 1)
    lines += "It crashed " + times(occurrences.folded.count) + fromTo(occurrences.folded) + ".\n";
  if (occurrences.sinceAnswer.count > 0 && occurrences.lastAnswered)
    lines += "The same crash happened " + times(occurrences.sinceAnswer.count) + " since I was last asked about it (" +
             formatLocalTime(*occurrences.lastAnswered) + ")" + fromTo(occurrences.sinceAnswer) + ".\n";
  return lines;
}

}  // namespace

std::string MailComposer::wrapBodyLines(std::string_view body, std::size_t limit) {
  std::string wrapped;
  for (std::size_t start = 0;;) {
    const std::size_t end = body.find('\n', start);
    appendWrappedLine(wrapped, body.substr(start, end == std::string_view::npos ? body.size() - start : end - start),
                      limit);
    if (end == std::string_view::npos) break;
    start = end + 1;
  }
  wrapped.pop_back();  // the body's own last line has no line break
  return wrapped;
}

MailComposer::MailComposer() : MailComposer(build::kCrashReportRecipient, build::kSupportForumAddress) {}

MailComposer::MailComposer(std::string recipient, std::string supportForumAddress)
    : recipient_(std::move(recipient)), supportForumAddress_(std::move(supportForumAddress)) {}

MailComposer::Mail MailComposer::compose(std::string_view version, std::string_view crashSummary,
                                         const std::optional<std::string>& uploadAddress,
                                         const CrashOccurrences& occurrences) const {
  Mail mail;
  // Built by concatenation: none of these texts may act as a format.
  mail.subject = "Vellumdrift ";
  mail.subject += version;
  mail.subject += " crash ";
  mail.subject += crashSummary;
  mail.subject = replacingControlCharactersWithSpaces(mail.subject);

  // The fourteen lines of the body, the upload address in line 6; how often
  // a repeated fault happened goes after the third.
  mail.body += "Hi Ilvard,\n";
  mail.body += "\n";
  mail.body += "My Vellumdrift just crashed!\n";
  mail.body += occurrenceLines(occurrences);
  mail.body += "\n";
  mail.body += "The crash report is available here:\n";
  mail.body += uploadAddress ? *uploadAddress : "(null)";
  mail.body += "\n";
  mail.body += "\n";
  mail.body += ">\n";
  mail.body += "> You may help me fix the problem by describing what happened before the crash.\n";
  mail.body += "> I appreciate your help and I read these crash reports, but don't expect my direct answer.\n";
  mail.body += "> For further discussion please open a topic at\n";
  mail.body += "> ";
  mail.body += supportForumAddress_;
  mail.body += ".\n";
  mail.body += ">\n";
  mail.body += "> Thank you, Ilvard";
  mail.body = wrapBodyLines(mail.body);

  // Each field escaped on its own down to the unreserved characters: a "&",
  // "=", "+" or "://" of the summary or the address can neither end its field
  // nor add one (a CC or BCC to anyone), and no mail program misreads it.
  mail.url = mailtoURL(recipient_, mail.subject, mail.body);
  if (!mail.url) {
    mail.failure = isValidUtf8(recipient_) && isValidUtf8(mail.subject) && isValidUtf8(mail.body)
                       ? "the recipient leaves no room for a mailto: URL"
                       : "a text of it is not valid UTF-8";
  }
  return mail;
}

}  // namespace cw

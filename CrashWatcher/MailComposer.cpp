#include "MailComposer.h"

#include "BuildConfig.h"
#include "Platform/MailtoURL.h"
#include "Platform/Utf8.h"

namespace cw {

MailComposer::MailComposer() : MailComposer(build::kCrashReportRecipient, build::kSupportForumAddress) {}

MailComposer::MailComposer(std::string recipient, std::string supportForumAddress)
    : recipient_(std::move(recipient)), supportForumAddress_(std::move(supportForumAddress)) {}

MailComposer::Mail MailComposer::compose(std::string_view version, std::string_view crashSummary,
                                         const std::optional<std::string>& uploadAddress) const {
  Mail mail;
  // Built by concatenation: none of these texts may act as a format.
  mail.subject = "Vellumdrift ";
  mail.subject += version;
  mail.subject += " crash ";
  mail.subject += crashSummary;
  mail.subject = replacingControlCharactersWithSpaces(mail.subject);

  // The fourteen lines of the body, the upload address in line 6.
  mail.body += "Hi Ilvard,\n";
  mail.body += "\n";
  mail.body += "My Vellumdrift just crashed!\n";
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

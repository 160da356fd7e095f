#include "MailComposer.h"

#include "BuildConfig.h"
#include "Platform/Format.h"
#include "Platform/UrlEscaping.h"

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

  // The subject and the body are escaped each as one field value: a "&" of
  // theirs becomes %26, so that a crash summary or an upload address cannot
  // end its field and add header fields of its own (a CC or BCC to anyone).
  // Everything else is escaped exactly as one pass over the whole text would.
  constexpr std::string_view kFieldSeparator = "&";
  const auto recipient = stringByAddingPercentEscapes(recipient_);
  const auto subject = stringByAddingPercentEscapes(mail.subject, kFieldSeparator);
  const auto body = stringByAddingPercentEscapes(mail.body, kFieldSeparator);
  if (recipient && subject && body) mail.url = format("mailto:%@?SUBJECT=%@&BODY=%@", *recipient, *subject, *body);
  return mail;
}

}  // namespace cw

// The mailto: URL of a report opened by real mail programs through xdg-open,
// each field compared with the text the agent meant.
#include <gtest/gtest.h>

#include <fstream>

#include "MailComposer.h"
#include "Platform/MailtoURL.h"
#include "Platform/UrlEscaping.h"
#include "dialog/DialogTestSupport.h"
#include "mail/MailClients.h"

namespace cw::test {
namespace {

const std::string kForum = "https://forum.vellumdrift.example";
const std::string kAddress = "https://paste.vellumdrift.example/raw/a1B2c3?x=1&y=2";

// The note upload-gist prints in place of an address, and how the body
// carries it: no line longer than 71 characters.
const std::string kFailureNote =
    "(upload failed: connection refused \xE2\x80\x94 please attach "
    "~/Library/Logs/CrashReporter/Finder_2024-03-14-094127_studio.crash)";
const std::string kFailureNoteWrapped =
    "(upload failed: connection refused \xE2\x80\x94 please attach\n"
    "~/Library/Logs/CrashReporter/Finder_2024-03-14-094127_studio.crash)";

// The report's body, as the agent composes it.
std::string body(const std::string& addressLines = kAddress) {
  return "Hi Ilvard,\n\nMy Vellumdrift just crashed!\n\nThe crash report is available here:\n" + addressLines +
         "\n\n>\n> You may help me fix the problem by describing what happened before\n> the crash.\n"
         "> I appreciate your help and I read these crash reports, but don't\n> expect my direct answer.\n"
         "> For further discussion please open a topic at\n> " +
         kForum + ".\n>\n> Thank you, Ilvard";
}

// Hostile summaries: what extract-crash-info may print.
struct Summary {
  std::string name, text;
  bool uploadFailed = false;
};
const std::vector<Summary> kSummaries = {
    {"operator", "EXC_BAD_ACCESS (SIGSEGV) in C++ operator=(a+b) at 0x10"},
    {"percent-crlf", "50% & more; x=1\r\nBcc: someone@evil.example\n"},
    {"non-ascii, upload failed", "Grüße aus 東京 💥 ~_.- \"quoted\" #1", true},
};

std::string subjectOf(const Summary& summary) {
  return "Vellumdrift 2.1 crash " + summary.text;
}

// The very URL the agent hands over for this summary.
std::string reportURL(const Summary& summary) {
  return *MailComposer("crashes@vellumdrift.example", kForum)
              .compose("2.1", summary.text, summary.uploadFailed ? kFailureNote : kAddress)
              .url;
}

// The URL the agent made before: RFC 2396 escaping, "&" escaped in the fields.
std::string previousURL(const std::string& subject, const std::string& text) {
  return "mailto:crashes@vellumdrift.example?SUBJECT=" + *stringByAddingPercentEscapes(subject, "&") +
         "&BODY=" + *stringByAddingPercentEscapes(text, "&");
}

std::string describe(const MailOutcome& outcome) {
  if (!outcome.draft) return "no message; " + outcome.trace;
  return "To: " + outcome.draft->to + "\nSubject: " + outcome.draft->subject + "\nBody:\n" + outcome.draft->body;
}

class MailClientsTest : public DialogTest {
protected:
  static void record(const std::string& line) {
    makeDirectories(std::string(CW_BINARY_DIR) + "/artifacts");
    std::ofstream(std::string(CW_BINARY_DIR) + "/artifacts/mail-clients.txt", std::ios::app) << line << "\n";
  }

  // Each field as meant. `savedForm`: what a saved message does to any text
  // (Claws Mail drops a header's trailing blanks and ends the body with a
  // line break), applied to the intended texts before they are compared.
  static void expectIntended(const MailOutcome& outcome, const Summary& summary, bool savedForm = false) {
    ASSERT_TRUE(outcome.draft) << outcome.trace;
    std::string subject = replacingControlCharactersWithSpaces(subjectOf(summary));
    std::string text = summary.uploadFailed ? body(kFailureNoteWrapped) : body();
    if (savedForm) {
      subject.erase(subject.find_last_not_of(' ') + 1);
      text += "\n";
    }
    EXPECT_EQ(outcome.draft->to, "crashes@vellumdrift.example");
    EXPECT_EQ(outcome.draft->subject, subject);
    EXPECT_EQ(outcome.draft->body, text);
  }
};

TEST_F(MailClientsTest, NeomuttShowsEveryFieldAsMeantAndSendsNothing) {
  for (const Summary& summary : kSummaries) {
    SCOPED_TRACE(summary.name);
    MailClientHome home(display());
    const MailOutcome outcome = home.openInNeomutt(reportURL(summary));
    expectIntended(outcome, summary);
    const MailOutcome before = home.openInNeomutt(previousURL(subjectOf(summary), body()));
    record("neomutt, previous URL, " + summary.name + ":\n" + describe(before) + "\n");
    EXPECT_FALSE(home.neomuttSentAnything());
  }
}

TEST_F(MailClientsTest, ClawsMailShowsEveryFieldAsMeant) {
  for (const Summary& summary : kSummaries) {
    SCOPED_TRACE(summary.name);
    MailClientHome home(display());
    expectIntended(home.openInClawsMail(reportURL(summary)), summary, true);
  }
  // Before, every URL held the forum's "://" as it stands.
  MailClientHome home(display());
  const MailOutcome before =
      home.openInClawsMail(previousURL(subjectOf(kSummaries[0]), body()), std::chrono::seconds(10));
  record("Claws Mail, previous URL, " + kSummaries[0].name + ":\n" + describe(before) + "\n");
}

}  // namespace
}  // namespace cw::test

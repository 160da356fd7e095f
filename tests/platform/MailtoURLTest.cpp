// The mailto: URL every mail program reads back unchanged, and its bound.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "Platform/MailtoURL.h"
#include "Platform/UrlEscaping.h"
#include "Platform/Utf8.h"
#include "support/TestSupport.h"

namespace cw {
namespace {

constexpr std::string_view kRecipient = "crashes@vellumdrift.example";
constexpr std::string_view kEllipsis = "\xE2\x80\xA6";

// A strict decoder: absent on a "%" that does not start a %XX triple.
std::optional<std::string> percentDecoded(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out.push_back(text[i]);
      continue;
    }
    if (i + 2 >= text.size() || !std::isxdigit(static_cast<unsigned char>(text[i + 1])) ||
        !std::isxdigit(static_cast<unsigned char>(text[i + 2])))
      return std::nullopt;
    out.push_back(static_cast<char>(std::stoi(std::string(text.substr(i + 1, 2)), nullptr, 16)));
    i += 2;
  }
  return out;
}

struct Fields {
  std::string recipient, subject, body;  // decoded
};

// Splits as a mail program does: the recipient up to "?", then "&"-separated
// name=value pairs. Fails the test on anything but exactly SUBJECT and BODY,
// or on a character in a value that is neither unreserved nor an escape.
Fields parse(const std::string& url) {
  Fields fields;
  EXPECT_EQ(url.rfind("mailto:", 0), 0u) << url;
  const std::size_t query = url.find('?');
  fields.recipient = percentDecoded(url.substr(7, query - 7)).value_or("(broken)");
  std::vector<std::string> pairs;
  for (std::size_t start = query + 1; start <= url.size();) {
    const std::size_t end = std::min(url.find('&', start), url.size());
    pairs.push_back(url.substr(start, end - start));
    start = end + 1;
  }
  EXPECT_EQ(pairs.size(), 2u) << url;
  for (const std::string& pair : pairs) {
    const std::size_t equals = pair.find('=');
    const std::string name = pair.substr(0, equals), value = pair.substr(equals + 1);
    for (const char c : value) EXPECT_TRUE(isUnreservedUrlCharacter(c) || c == '%') << "'" << c << "' in " << name;
    const auto decoded = percentDecoded(value);
    EXPECT_TRUE(decoded) << "a broken escape in " << name;
    (name == "SUBJECT" ? fields.subject : name == "BODY" ? fields.body : fields.recipient) = decoded.value_or("");
    EXPECT_TRUE(name == "SUBJECT" || name == "BODY") << name;
  }
  return fields;
}

TEST(MailtoURLTest, HostileTextsDecodeToExactlyTheirTexts) {
  const std::string body =
      "Hi Ilvard,\n\nThe crash report is available here:\nhttps://paste.example/abc?x=1&y=2#z\n\n"
      "> For further discussion please open a topic at\n> https://forum.vellumdrift.example.\n> Thank you, Ilvard";
  struct Case {
    std::string subject, expectedSubject;
  };
  const std::vector<Case> cases = {
      {"Vellumdrift 2.1 crash EXC_BAD_ACCESS in C++ operator=",
       "Vellumdrift 2.1 crash EXC_BAD_ACCESS in C++ operator="},
      {"a+b = c & d; 50% & more #1", "a+b = c & d; 50% & more #1"},
      {"line one\r\nBcc: someone@evil.example", "line one  Bcc: someone@evil.example"},
      {"tab\there\x01\x1f\x7f end", "tab here    end"},
      {"C1 \xC2\x85 and \xC2\x9B[31m", "C1   and  [31m"},
      {"Grüße, 東京 💥 ~_.-", "Grüße, 東京 💥 ~_.-"},
      {"forum https://forum.example/?a=b&c=d", "forum https://forum.example/?a=b&c=d"},
      {"%41%%20 already escaped?", "%41%%20 already escaped?"},
      {"", ""},
  };
  for (const Case& c : cases) {
    const auto url = mailtoURL(kRecipient, c.subject, body);
    ASSERT_TRUE(url) << c.subject;
    const Fields fields = parse(*url);
    EXPECT_EQ(fields.recipient, kRecipient);
    EXPECT_EQ(fields.subject, c.expectedSubject);
    EXPECT_EQ(fields.body, body) << "the body keeps its line feeds and every character";
  }
  EXPECT_EQ(*mailtoURL(kRecipient, "a+b=c", "x y"), "mailto:crashes@vellumdrift.example?SUBJECT=a%2Bb%3Dc&BODY=x%20y");
}

TEST(MailtoURLTest, TextsThatAreNotUtf8OrARecipientThatCannotFitGiveAbsent) {
  EXPECT_FALSE(mailtoURL(kRecipient, "bad \xFF", "body"));
  EXPECT_FALSE(mailtoURL(kRecipient, "subject", "bad \xC3"));
  EXPECT_FALSE(mailtoURL(kRecipient, "s", "b", kRecipient.size() + 20));  // "mailto:" and the keys need 22
  EXPECT_TRUE(mailtoURL(kRecipient, "", "", kRecipient.size() + 22));
  // A recipient's own "?" or "&" cannot start the query.
  EXPECT_EQ(parse(*mailtoURL("a?b&c@x.example", "s", "b")).recipient, "a?b&c@x.example");
}

TEST(MailtoURLTest, TooLongTextsAreShortenedWithinTheBoundAtCharacterBoundaries) {
  const std::string summary = "Vellumdrift 2.1 crash " + std::string(30000, 'x') + "ü+é" + std::string(60000, '=');
  const std::string address = "https://paste.example/" + std::string(50000, '~');
  const std::string body = "The crash report is available here:\n" + address + "\n> Thank you, Ilvard";
  struct Case {
    std::string subject, body;
    std::size_t bound;
    bool subjectKept, bodyKept;
  };
  const std::vector<Case> cases = {
      {summary, body, kMaxProcessArgumentLength, false, true},   // a long summary gives way to the body
      {"short", std::string(200000, 'b'), 4096, true, false},    // a huge body: the short subject stays
      {summary, std::string(200000, '\n'), 4096, false, false},  // both: the subject keeps a quarter
      {"ü", std::string(100, 'b'), 60, false, false},            // one character: cut whole or kept whole
      {summary, body, summary.size() * 3 + body.size() * 3 + 64, true, true},
  };
  for (const Case& c : cases) {
    const auto url = mailtoURL(kRecipient, c.subject, c.body, c.bound);
    ASSERT_TRUE(url);
    EXPECT_LE(url->size(), c.bound);
    const Fields fields = parse(*url);
    ASSERT_TRUE(isValidUtf8(fields.subject) && isValidUtf8(fields.body)) << "cut inside a character";
    for (const auto& [text, decoded, kept] :
         {std::tuple{c.subject, fields.subject, c.subjectKept}, std::tuple{c.body, fields.body, c.bodyKept}}) {
      if (kept) {
        EXPECT_EQ(decoded, text);
      } else if (!decoded.empty()) {
        ASSERT_GE(decoded.size(), kEllipsis.size());
        EXPECT_EQ(decoded.substr(decoded.size() - kEllipsis.size()), kEllipsis);
        EXPECT_EQ(text.rfind(decoded.substr(0, decoded.size() - kEllipsis.size()), 0), 0u) << "not a start of it";
      }
    }
    if (c.bound == 4096 && c.subject == summary) {
      EXPECT_GE(fields.subject.size(), 4096u / 4 / 3 - 10);
    }
    EXPECT_EQ(mailtoURL(kRecipient, c.subject, c.body, c.bound), url) << "the same every time";
  }
  // A long summary's shortened URL still fills nearly the whole room.
  EXPECT_GT(mailtoURL(kRecipient, summary, body)->size(), kMaxProcessArgumentLength - 12);
}

TEST(MailtoURLTest, TheBoundIsWhatOneProgramArgumentMayHold) {
  // The kernel is the judge: a program takes an argument of the bound's
  // length, and refuses one a byte longer.
  const auto spawnsWith = [](std::size_t length) {
    const std::string argument(length, 'x');
    const pid_t child = ::fork();
    if (child == 0) {
      const char* argv[] = {"/bin/true", argument.c_str(), nullptr};
      ::execv("/bin/true", const_cast<char* const*>(argv));
      ::_exit(errno == E2BIG ? 42 : 43);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
  };
  EXPECT_TRUE(spawnsWith(kMaxProcessArgumentLength));
  EXPECT_FALSE(spawnsWith(kMaxProcessArgumentLength + 1));
}

}  // namespace
}  // namespace cw

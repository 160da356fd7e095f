// Report composition and the mail hand-off: the URL that report() builds,
// its log lines, and the delivery through xdg-open to a mail handler.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <sstream>
#include <vector>

#include "BuildConfig.h"
#include "MailComposer.h"
#include "Platform/Bundle.h"
#include "Platform/ChildReaper.h"
#include "Platform/RunLoop.h"
#include "Platform/UrlEscaping.h"
#include "Reporter.h"
#include "support/FakeReporterParts.h"
#include "support/TestSupport.h"
#include "support/XdgDesktop.h"

namespace cw {
namespace {

using ::testing::ElementsAre;
using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

using test::RecordingDesktop;

// The escaped mail up to line 6 of the body, and from line 7 on: each field
// keeps only letters, digits and "-", ".", "_", "~".
std::string urlHead(const std::string& escapedSubject) {
  return "mailto:" + std::string(build::kCrashReportRecipient) + "?SUBJECT=" + escapedSubject +
         "&BODY=Hi%20Ilvard%2C%0A%0AMy%20Vellumdrift%20just%20crashed%21%0A%0AThe%20crash%20report%20is%20available%20"
         "here%3A%0A";
}
std::string urlTail() {
  return "%0A%0A%3E%0A%3E%20You%20may%20help%20me%20fix%20the%20problem%20by%20describing%20what%20happened%20"
         "before%0A%3E%20the%20crash.%0A%3E%20I%20appreciate%20your%20help%20and%20I%20read%20these%20crash%20reports%"
         "2C%20"
         "but%20don%27t%0A%3E%20expect%20my%20direct%20answer.%0A%3E%20For%20further%20discussion%20please%20open%20a%"
         "20"
         "topic%20at%0A%3E%20" +
         *stringByAddingPercentEscapesExceptUnreserved(build::kSupportForumAddress) +
         ".%0A%3E%0A%3E%20Thank%20you%2C%20Ilvard";
}

std::string percentDecoded(const std::string& text) {
  std::string decoded;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size()) {
      decoded.push_back(static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16)));
      i += 2;
    } else {
      decoded.push_back(text[i]);
    }
  }
  return decoded;
}

// The messages of the system-log lines in captured standard error.
std::vector<std::string> logMessages(const std::string& captured) {
  std::vector<std::string> messages;
  std::istringstream lines(captured);
  for (std::string line; std::getline(lines, line);) {
    const auto tag = line.find(" CrashWatcher[");
    const auto end = line.find("] ", tag);
    if (tag != std::string::npos && end != std::string::npos) messages.push_back(line.substr(end + 2));
  }
  return messages;
}

class ReporterReportTest : public ::testing::Test {
protected:
  ReporterReportTest() {
    test::makeDirectories(bundle_ / "Resources");
    // Each script records that it ran, with what, and prints its output file.
    for (const char* name : {"upload-gist", "extract-crash-info"}) {
      const std::string out = work_ / name;
      test::writeFile(
          bundle_ / ("Resources/" + std::string(name) + ".rb"),
          "#!/bin/sh\nprintf '%s|%s|%s|%s' \"$1\" \"$CRASHWATCHER_PASTE_HOST\" \"$CRASHWATCHER_PASTE_PROTOCOL\" "
          "\"$CRASHWATCHER_PASTE_EXPIRY_DAYS\" > '" +
              out + ".ran'\ncat '" + out + ".out' 2>/dev/null\n",
          0755);
    }
    test::writeFile(crash_, "crash");
  }

  // A Reporter on the test's bundle, product and desktop; upload-gist's child
  // gets the paste host as the agent's own parts give it.
  std::shared_ptr<Reporter> reporter(std::shared_ptr<HelperScripts> scripts = nullptr) {
    ReporterParts parts;
    parts.bundle = &bundle_.bundle;
    parts.scripts =
        scripts ? std::move(scripts) : std::make_shared<BundleHelperScripts>(bundle_.bundle, helperScriptEnvironment());
    parts.dialog = ConsentDialog::make(bundle_.bundle);
    parts.desktop = desktop_;
    parts.productInfoPlistPath = product_ / "Info.plist";
    parts.pasteServiceHostName = pasteServiceDestination();
    return Reporter::alloc(std::move(parts))->init();
  }

  void version(const std::string& text) {
    test::writeFile(product_ / "Info.plist",
                    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
                    "<key>CFBundleVersion</key><string>" +
                        text + "</string></dict></plist>\n");
  }
  void output(const std::string& script, const std::string& text) { test::writeFile(work_ / (script + ".out"), text); }
  bool ran(const std::string& script) const { return test::pathExists(work_ / (script + ".ran")); }

  // report() with the desktop recorded; gives the one URL opened, or "".
  std::string report(const std::optional<std::string>& crashFile) {
    test::CaptureStderr captured;
    reporter()->report(crashFile);
    log_ = logMessages(captured.text());
    EXPECT_LE(desktop_->opened.size(), 1u);
    return desktop_->opened.empty() ? "" : desktop_->opened.back();
  }

  struct BundleFolder {
    test::TempDir dir;
    Bundle bundle{dir.path()};
    std::string operator/(std::string_view relative) const { return dir / relative; }
    const std::string& path() const { return dir.path(); }
  };

  test::TempHome home_;
  BundleFolder bundle_;
  test::TempDir product_;
  test::TempDir work_;
  const std::string crash_ = work_ / "Finder_2024 one.crash";
  std::shared_ptr<RecordingDesktop> desktop_ = std::make_shared<RecordingDesktop>();
  std::vector<std::string> log_;
};

TEST_F(ReporterReportTest, AbsentPathGivesThePlaceholderAndRunsNoScript) {
  // No product installed: the version is "???".
  EXPECT_EQ(report(std::nullopt),
            urlHead("Vellumdrift%20%3F%3F%3F%20crash%20") + "unable%20to%20find%20last%20crash%20%3A-%28" + urlTail());
  EXPECT_FALSE(ran("upload-gist"));
  EXPECT_FALSE(ran("extract-crash-info"));
  EXPECT_THAT(log_, IsEmpty());
}

TEST_F(ReporterReportTest, UploadedReportGivesTheExactUrlAndTwoLogLines) {
  version("2.1");
  output("upload-gist", "https://paste.example/ab_c");
  output("extract-crash-info", "SIGSEGV");
  EXPECT_EQ(report(crash_),
            urlHead("Vellumdrift%202.1%20crash%20SIGSEGV") + "https%3A%2F%2Fpaste.example%2Fab_c" + urlTail());
  // Both scripts got the crash log as their one argument; upload-gist the paste service.
  EXPECT_EQ(
      test::readFile(work_ / "upload-gist.ran"),
      crash_ + "|" + build::kPasteServiceHostName + "|" + build::kPasteServiceProtocol + "|" + build::kPasteExpiryDays);
  EXPECT_THAT(test::readFile(work_ / "extract-crash-info.ran"), testing::StartsWith(crash_ + "|"));
  EXPECT_THAT(log_,
              ElementsAre(std::string("Uploading crash report to ") + build::kPasteServiceHostName + ": " + crash_,
                          "  => https://paste.example/ab_c"));
  // Mail is asked for; none runs here, so nothing is activated.
  EXPECT_THAT(desktop_->asked, ElementsAre("com.apple.mail"));
  EXPECT_THAT(desktop_->activated, IsEmpty());
}

// The log names where the upload really goes: an overriding base URL (for
// tests and self-hosted services), printably, else the build's host.
TEST_F(ReporterReportTest, UploadLineNamesWhereTheUploadGoes) {
  for (const char* url : {static_cast<const char*>(nullptr), "", "http://127.0.0.1:9/paste\n"}) {
    test::ScopedEnv overriding("CRASHWATCHER_PASTE_URL", url);
    desktop_->opened.clear();
    report(crash_);
    const std::string destination = url && *url ? "http://127.0.0.1:9/paste\\n" : build::kPasteServiceHostName;
    EXPECT_THAT(log_, testing::Contains("Uploading crash report to " + destination + ": " + crash_));
  }
}

// An upload that gave no address (none, not UTF-8, killed at the time limit)
// failed as one that upload-gist reports itself: the mail carries the same
// note in place of the address, the summary is still made, and nothing says
// that the report was uploaded.
TEST_F(ReporterReportTest, FailedUploadPutsTheNoteInTheMailAndStillMakesTheSummary) {
  version("2.1");
  test::writeFile(bundle_ / "Info.plist",
                  "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
                  "<key>HelperScriptTimeLimit</key><real>0.5</real></dict></plist>\n");
  const std::string inHome = home_.path() + "/Library/Logs/CrashReporter/Finder_x.crash";
  test::writeFile(inHome, "crash");
  struct Case {
    const char* what;
    std::string crash, output;
    bool hangs;
    std::string note;
    const char* profile = "";
  };
  const std::vector<Case> cases = {
      {"empty", crash_, "", false, "(upload failed: upload-gist gave no address \u2014 please attach " + crash_ + ")"},
      {"not UTF-8", inHome, "\xFF\xFE", false,
       "(upload failed: upload-gist gave no address \u2014 please attach ~/Library/Logs/CrashReporter/Finder_x.crash)"},
      {"time limit", crash_, "", true, "(upload failed: timed out \u2014 please attach " + crash_ + ")"},
      {"its own note", crash_, "(upload failed: host not found \u2014 please attach ~/a.crash)", false,
       "(upload failed: host not found \u2014 please attach ~/a.crash)"},
      // Not run again for its output: that would upload twice.
      {"output taken by the login profile", crash_, "https://paste.example/1", false,
       "(upload failed: upload-gist gave no address: a start-up file of the login shell took its output \u2014 "
       "please attach " +
           crash_ + ")",
       "exec >/dev/null\n"},
  };
  const std::string script = test::readFile(bundle_ / "Resources/upload-gist.rb");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    output("upload-gist", c.output);
    output("extract-crash-info", "SIGBUS");
    test::writeFile(bundle_ / "Resources/upload-gist.rb", script + (c.hangs ? "exec sleep 60\n" : ""), 0755);
    test::writeFile(home_.path() + "/.bash_profile", c.profile);
    desktop_->opened.clear();
    const std::string url = report(c.crash);
    const std::string head = urlHead("Vellumdrift%202.1%20crash%20SIGBUS");
    ASSERT_THAT(url, testing::StartsWith(head));
    // The body's lines are wrapped: the note is read with its breaks as spaces.
    std::string body = percentDecoded(url.substr(head.size()));
    std::replace(body.begin(), body.end(), '\n', ' ');
    EXPECT_THAT(body, HasSubstr(c.note));
    if (*c.profile)
      EXPECT_THAT(log_, ElementsAre(HasSubstr("Uploading"), HasSubstr("sends its output elsewhere"), "  => " + c.note));
    else
      EXPECT_THAT(log_, ElementsAre(HasSubstr("Uploading"), "  => " + c.note));
  }
}

// Script output and the crash log's name reach the log escaped: neither can
// forge a line or reach a terminal as a control sequence.
TEST_F(ReporterReportTest, UploadOutputIsLoggedPrintably) {
  output("upload-gist", "https://paste.example/1\nJan  1 00:00:00 h CrashWatcher[1] forged\x1b[2J");
  const std::string hostile = work_ / "Finder_x.crash\nJan  1 00:00:00 h CrashWatcher[1] forged";
  test::writeFile(hostile, "crash");
  report(hostile);
  EXPECT_THAT(log_,
              ElementsAre(EndsWith(": " + work_.path() + "/Finder_x.crash\\nJan  1 00:00:00 h CrashWatcher[1] forged"),
                          "  => https://paste.example/1\\nJan  1 00:00:00 h CrashWatcher[1] forged\\x1b[2J"));
}

// The composer alone: the texts as they stand in the URL.
TEST(MailComposerTest, EachFieldKeepsOnlyUnreservedCharactersAndTheSubjectOneLine) {
  struct Case {
    const char* name;
    std::string version, summary;
    std::optional<std::string> address;
    std::string subject;
    std::optional<std::string> url;
  };
  const std::vector<Case> cases = {
      // The address's line break gives the body an extra empty line before
      // line 7; the summary's CR LF become spaces.
      {"final line breaks and non-ASCII", "2.1",
       "Gr\xC3\xB6\xC3\x9F"
       "e\r\n",
       "https://paste.example/1\n",
       "Vellumdrift 2.1 crash Gr\xC3\xB6\xC3\x9F"
       "e  ",
       urlHead("Vellumdrift%202.1%20crash%20Gr%C3%B6%C3%9Fe%20%20") + "https%3A%2F%2Fpaste.example%2F1%0A" + urlTail()},
      // The one "&" left is the separator of the two fields; no "=" is left in a value.
      {"ampersands add no fields", "2&CC=v@evil.example", "SIGSEGV&CC=y@evil.example",
       "https://paste.example/?a=1&BCC=x@evil.example#top",
       "Vellumdrift 2&CC=v@evil.example crash SIGSEGV&CC=y@evil.example",
       urlHead("Vellumdrift%202%26CC%3Dv%40evil.example%20crash%20SIGSEGV%26CC%3Dy%40evil.example") +
           "https%3A%2F%2Fpaste.example%2F%3Fa%3D1%26BCC%3Dx%40evil.example%23top" + urlTail()},
      {"absent address", "???", "", std::nullopt, "Vellumdrift ??? crash ",
       urlHead("Vellumdrift%20%3F%3F%3F%20crash%20") + "%28null%29" + urlTail()},
      {"text that is not UTF-8", "2.1\xFF", "", "x", "Vellumdrift 2.1\xFF crash ", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const MailComposer::Mail mail = MailComposer().compose(c.version, c.summary, c.address);
    EXPECT_EQ(mail.url, c.url);
    EXPECT_EQ(mail.subject, c.subject);
    EXPECT_EQ(mail.failure.empty(), c.url.has_value()) << mail.failure;
  }
}

// No line longer than a mail program keeps: wrapped at spaces, each piece of
// a quoted line quoted again, a word too long for a line (an address) whole.
TEST(MailComposerTest, BodyLinesAreWrappedAtSpacesKeepingTheQuotePrefix) {
  struct Case {
    const char* name;
    std::string line;
    std::size_t limit;
    std::string wrapped;
  };
  const std::vector<Case> cases = {
      {"fits", "> one two", 9, "> one two"},
      {"quoted", "> one two three", 9, "> one two\n> three"},
      {"deeper quote", ">> one two three", 9, ">> one\n>> two\n>> three"},
      {"plain, spaces dropped at the cut", "one two   three", 9, "one two\nthree"},
      {"counted in characters", "\xE2\x80\x94\xE2\x80\x94 \xC3\xA4 bb", 4, "\xE2\x80\x94\xE2\x80\x94 \xC3\xA4\nbb"},
      {"long word whole", "> https://forum.example/a/b. x", 9, "> https://forum.example/a/b.\n> x"},
      {"leading spaces kept", "   indented words", 9, "   indented\nwords"},
      {"empty and bare quote lines", "\n>\n", 9, "\n>\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(MailComposer::wrapBodyLines(c.line, c.limit), c.wrapped);
  }
  // The composed body: 72 is the usual limit, and Evolution re-wraps a line
  // of 72 already; every quoted line quoted whole.
  const std::string body = MailComposer()
                               .compose("2.1", "",
                                        "(upload failed: connection refused \xE2\x80\x94 please attach "
                                        "~/Library/Logs/CrashReporter/Finder_2024-03-14-094127_studio.crash)")
                               .body;
  std::istringstream lines(body);
  int quoted = 0;
  for (std::string line; std::getline(lines, line);) {
    EXPECT_LE(line.size(), MailComposer::kBodyLineLimit) << line;
    if (line.starts_with(">")) ++quoted;
  }
  EXPECT_EQ(quoted, 9);
  EXPECT_THAT(body, HasSubstr("before\n> the crash.\n"));
}

// A repeated fault says how often and when, after the third line; a crash
// that happened once leaves the body as it was.
TEST(MailComposerTest, TheBodySaysHowOftenARepeatedFaultHappened) {
  const Date at = Date(std::chrono::seconds(1796729089));  // 2026-12-08 11:24:49 UTC
  const Repeats twenty{20, at, at + std::chrono::seconds(19)};
  const Repeats one{1, at, at};
  const std::string lead = "Hi Ilvard,\n\nMy Vellumdrift just crashed!\n";
  const std::vector<std::pair<CrashOccurrences, std::string>> cases = {
      {{one, std::nullopt, {}}, lead + "\nThe crash report"},
      {{twenty, std::nullopt, {}}, lead + "It crashed 20 times, from 2026-12-08 11:24:49 to 2026-12-08 11:25:08.\n\n"},
      {{one, at - std::chrono::hours(25), one},
       lead + "The same crash happened once since I was last asked about it\n(2026-12-07 10:24:49), at 2026-12-08 "
              "11:24:49.\n\n"},
  };
  {
    test::ScopedEnv utc("TZ", "UTC");
    ::tzset();
    for (const auto& [occurrences, start] : cases) {
      const std::string body = MailComposer().compose("2.1", "", "https://paste.example/x", occurrences).body;
      EXPECT_TRUE(body.starts_with(start)) << body;
    }
  }
  ::tzset();
}

// A shutdown that cuts a script short ends the report: nothing is handed over.
TEST_F(ReporterReportTest, InterruptedScriptEndsTheReportWithNothingOpened) {
  class Interrupted final : public HelperScripts {
  public:
    Result run(std::string_view name, std::string_view, bool) override {
      ran.emplace_back(name);
      Result result;
      result.interrupted = ran.size() == interruptAt;
      result.output = result.interrupted ? std::nullopt : std::optional<std::string>("text");
      return result;
    }
    std::size_t interruptAt = 1;
    std::vector<std::string> ran;
  };
  for (std::size_t at : {1u, 2u}) {
    auto scripts = std::make_shared<Interrupted>();
    scripts->interruptAt = at;
    test::CaptureStderr quiet;
    reporter(scripts)->report(crash_);
    EXPECT_EQ(scripts->ran.size(), at);
    EXPECT_THAT(desktop_->opened, IsEmpty());
  }
}

TEST_F(ReporterReportTest, OnlyTheFirstRunningMailIsActivated) {
  desktop_->running = {RunningApplication("com.apple.mail", 41), RunningApplication("com.apple.mail", 42)};
  report(std::nullopt);
  EXPECT_THAT(desktop_->activated, ElementsAre(std::make_pair(pid_t{41}, kApplicationActivateAllWindows)));
}

TEST_F(ReporterReportTest, VersionIsReadAnewWithFallback) {
  auto reporter = this->reporter();
  EXPECT_EQ(reporter->readVellumdriftVersion(), "???");  // missing
  test::writeFile(product_ / "Info.plist", "not a property list");
  EXPECT_EQ(reporter->readVellumdriftVersion(), "???");
  test::writeFile(
      product_ / "Info.plist",
      "<plist version=\"1.0\"><dict><key>CFBundleShortVersionString</key><string>3</string></dict></plist>");
  EXPECT_EQ(reporter->readVellumdriftVersion(), "???");
  version("4.0.1 (b7)");
  EXPECT_EQ(reporter->readVellumdriftVersion(), "4.0.1 (b7)");
  version("4.0.2");
  EXPECT_EQ(reporter->readVellumdriftVersion(), "4.0.2");
}

// The real hand-off: xdg-open, in its generic desktop mode, finds a recording
// mail handler registered for mailto: in a temporary XDG setup.
class MailHandOffTest : public ReporterReportTest {
protected:
  MailHandOffTest() {
    const std::string handler = xdg_ / "record-mail";
    test::writeFile(
        handler,
        "#!/bin/sh\nprintf '%s' \"$1\" > '" + received_ + ".tmp' && mv '" + received_ + ".tmp' '" + received_ + "'\n",
        0755);
    xdg_.registerMailHandler(handler);
  }

  test::GenericXdgDesktop xdg_;
  const std::string received_ = xdg_ / "received";
};

TEST_F(MailHandOffTest, XdgOpenDeliversExactlyTheBuiltUrlToTheMailHandler) {
  version("2.1");
  output("upload-gist", "https://paste.example/x?y=1&z=2\n");
  output("extract-crash-info", "EXC_BAD_ACCESS (SIGSEGV) at 0x0 \xE2\x80\x94 *[x]?\n");
  const std::string expected = report(crash_);  // composed with the recorder in place
  ASSERT_FALSE(expected.empty());
  {
    test::CaptureStderr quiet;
    ReporterParts parts;
    parts.scripts = std::make_shared<BundleHelperScripts>(bundle_.bundle, std::vector<std::string>{});
    parts.dialog = ConsentDialog::make(bundle_.bundle);
    parts.desktop = std::make_shared<WorkspaceDesktop>();
    parts.productInfoPlistPath = product_ / "Info.plist";
    Reporter::alloc(std::move(parts))->init()->report(crash_);
  }
  // Serve the run loop until the handler has written and xdg-open is reaped.
  const auto giveUp = std::chrono::steady_clock::now() + std::chrono::minutes(2);  // hang guard only
  while (!test::pathExists(received_) || ChildReaper::current().pendingCount() > 0) {
    ASSERT_LT(std::chrono::steady_clock::now(), giveUp) << "no delivery within the hang guard";
    RunLoop::current().runOnce(kDefaultRunLoopMode, std::chrono::milliseconds(100));
  }
  EXPECT_EQ(test::readFile(received_), expected);
}

}  // namespace
}  // namespace cw

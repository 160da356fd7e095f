// After Send: a mail that cannot be handed over is logged with the upload
// address and told to the user in the failure message.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>

#include "BuildConfig.h"
#include "Reporter.h"
#include "UiTestSupport.h"
#include "support/FakeReporterParts.h"
#include "support/XdgDesktop.h"

namespace cw {
namespace {

using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;

const std::string kAddress = "https://paste.example/raw/a1?x=1&y=2";

// upload-gist prints the address (or its note on a failure),
// extract-crash-info a summary.
class CannedHelperScripts final : public HelperScripts {
public:
  explicit CannedHelperScripts(std::string address = kAddress) : address_(std::move(address)) {}
  Result run(std::string_view name, std::string_view, bool) override {
    Result result;
    result.status = 0;
    result.output = name == "upload-gist" ? address_ : "SIGSEGV";
    return result;
  }

private:
  std::string address_;
};

TEST(ReporterMailFailureTest, AFailedHandOffIsLoggedWithTheAddressAndToldInTheMessage) {
  test::TempHome home;
  test::ScopedLanguage language("en_US.UTF-8");
  test::TempDir product;
  struct Case {
    const char* name;
    std::function<void()> arrange;  // in the scope of the case
    std::shared_ptr<Desktop> desktop;
    std::string version;
    std::string reason;  // empty: the mail opens, nothing is told
  };
  std::optional<test::GenericXdgDesktop> xdg;
  std::optional<test::ScopedEnv> path;
  test::TempDir empty;
  const std::vector<Case> cases = {
      {"no mailto handler", [&] { xdg.emplace(); }, std::make_shared<WorkspaceDesktop>(), "2.1",
       "xdg-open exited with status 3: no program is set up to open mailto: links"},
      {"no xdg-open", [&] { path.emplace("PATH", empty.path().c_str()); }, std::make_shared<WorkspaceDesktop>(), "2.1",
       "xdg-open could not be started: No such file or directory"},
      {"no URL", [] {}, std::make_shared<test::RecordingDesktop>(), "2.1\xFF",
       "the mail could not be composed: a text of it is not valid UTF-8"},
      {"opened", [] {}, std::make_shared<test::RecordingDesktop>(), "2.1", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    c.arrange();
    test::writeFile(product / "Info.plist",
                    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
                    "<key>CFBundleVersion</key><string>" +
                        c.version + "</string></dict></plist>\n");
    ReporterParts parts;
    parts.scripts = std::make_shared<CannedHelperScripts>();
    parts.dialog = ConsentDialog::make(Bundle::mainBundle());
    parts.desktop = c.desktop;
    parts.productInfoPlistPath = product / "Info.plist";
    const auto reporter = Reporter::alloc(std::move(parts))->init();

    test::ScopedMemoryBackend backend;
    std::vector<std::string> shown;
    backend->runAfterTicks(0, [&] {
      for (const auto kind : {ui::ControlKind::Window, ui::ControlKind::TextField})
        for (const auto* control : backend->controls(kind)) shown.push_back(control->text);
    });
    backend->pressButtonAfterTicks("OK", 1);
    test::CaptureStderr log;
    reporter->report("/tmp/Finder.crash");
    xdg.reset();
    path.reset();

    if (c.reason.empty()) {
      EXPECT_THAT(shown, IsEmpty());
      EXPECT_THAT(log.text(), Not(HasSubstr("Could not open")));
      continue;
    }
    EXPECT_THAT(log.text(), HasSubstr("Could not open the report in a mail program (" + c.reason +
                                      "); the crash report was uploaded to: " + kAddress + "\n"));
    ASSERT_EQ(shown.size(), 3u);
    EXPECT_EQ(shown[0], "Mail Program Not Opened");
    EXPECT_THAT(shown[1], HasSubstr(build::kCrashReportRecipient));
    EXPECT_EQ(shown[2], kAddress);
    EXPECT_TRUE(backend->scriptFailures().empty());
    EXPECT_EQ(backend->liveControlCount(), 0u) << "the message was taken down";
  }
}

// When the upload failed as well, neither the log nor the message says it was
// uploaded: both say what to attach instead, in the user's language.
TEST(ReporterMailFailureTest, AFailedUploadAndHandOffSayWhatToAttach) {
  test::TempHome home;
  const std::string crash = "/tmp/Finder 1.crash";
  for (const auto& [language, message] :
       {std::pair{"en_US.UTF-8", "and the crash report could not be uploaded either. Please attach"},
        std::pair{"de_DE.UTF-8", "und der Absturzbericht konnte auch nicht hochgeladen werden. Bitte h\u00e4ngen"}}) {
    test::ScopedLanguage scoped(language);
    ReporterParts parts;
    parts.scripts =
        std::make_shared<CannedHelperScripts>("(upload failed: host not found \u2014 please attach " + crash + ")");
    parts.dialog = ConsentDialog::make(Bundle::mainBundle());
    auto desktop = std::make_shared<test::RecordingDesktop>();
    desktop->opening.startError = SystemError(ENOENT);
    parts.desktop = desktop;
    const auto reporter = Reporter::alloc(std::move(parts))->init();

    test::ScopedMemoryBackend backend;
    std::vector<std::string> shown;
    backend->runAfterTicks(0, [&] {
      for (const auto* control : backend->controls(ui::ControlKind::TextField)) shown.push_back(control->text);
    });
    backend->pressButtonAfterTicks("OK", 1);
    test::CaptureStderr log;
    reporter->report(crash);
    EXPECT_THAT(log.text(), HasSubstr("; the crash report was not uploaded (host not found): attach '" + crash +
                                      "' to a mail to " + build::kCrashReportRecipient + " instead\n"));
    EXPECT_THAT(log.text(), Not(HasSubstr("uploaded to")));
    ASSERT_EQ(shown.size(), 2u);
    EXPECT_THAT(shown[0], HasSubstr(message));
    EXPECT_EQ(shown[1], crash);
  }
}

}  // namespace
}  // namespace cw

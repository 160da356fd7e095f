// The Reporter's helper-script runners and its creation.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "Platform/Bundle.h"
#include "Platform/UserDefaults.h"
#include "Reporter.h"
#include "support/FakeReporterParts.h"
#include "support/TestSupport.h"

namespace cw {
namespace {

using ::testing::HasSubstr;

class ReporterScriptsTest : public ::testing::Test {
protected:
  ReporterScriptsTest() { test::makeDirectories(bundle_ / "Resources"); }

  void script(const std::string& name, const std::string& body) {
    test::writeFile(bundle_ / ("Resources/" + name + ".rb"), "#!/bin/sh\n" + body, 0755);
  }

  // A Reporter running the scripts of the bundle folder `path`.
  std::shared_ptr<Reporter> reporter(std::optional<std::string> path = std::nullopt) {
    bundles_.push_back(std::make_unique<Bundle>(path.value_or(bundle_.path())));
    ReporterParts parts;
    parts.bundle = bundles_.back().get();
    parts.defaults = &defaults_;
    parts.scripts = std::make_shared<BundleHelperScripts>(*bundles_.back(), std::vector<std::string>{});
    parts.dialog = ConsentDialog::make(*bundles_.back());
    parts.desktop = std::make_shared<test::RecordingDesktop>();
    return Reporter::alloc(std::move(parts))->init();
  }

  test::TempHome home_;
  test::TempDir bundle_;
  UserDefaults defaults_{"com.vellumdrift.CrashWatcher"};
  std::vector<std::unique_ptr<Bundle>> bundles_;
};

TEST_F(ReporterScriptsTest, OutputIsTakenWholeAndUnchanged) {
  script("empty", "exit 3\n");
  script("line", "printf 'one line\\n'\n");
  script("nolf", "printf 'http://x/1'; exit 9\n");
  script("binary", "printf '\\377\\376 not utf-8'\n");
  script("utf8", "printf 'Gr\\303\\274\\303\\237e \\342\\202\\254'\n");
  auto r = reporter();
  EXPECT_EQ(r->runShellCommandWithCrashFile("empty", "/x.crash"), std::optional<std::string>(""));
  EXPECT_EQ(r->runShellCommandWithCrashFile("line", "/x.crash"), std::optional<std::string>("one line\n"));
  EXPECT_EQ(r->runShellCommandWithCrashFile("nolf", "/x.crash"), std::optional<std::string>("http://x/1"));
  EXPECT_EQ(r->runShellCommandWithCrashFile("binary", "/x.crash"), std::nullopt);
  EXPECT_EQ(r->runShellCommandWithCrashFile("utf8", "/x.crash"), std::optional<std::string>("Grüße €"));
}

// The script's own exit status, or the shell's for a script missing (127) or
// not executable (126).
TEST_F(ReporterScriptsTest, StatusIsTheScriptsExitStatusOrWhyItCouldNotRun) {
  script("status", "exit \"$(cat \"$1\")\"\n");
  test::writeFile(bundle_ / "Resources/plain.rb", "#!/bin/sh\nexit 1\n", 0644);
  auto r = reporter();
  for (int status : {0, 1, 2, 255}) {
    const std::string log = home_.path() + "/s" + std::to_string(status) + ".crash";
    test::writeFile(log, std::to_string(status));
    EXPECT_EQ(r->askShellCommandWithCrashFile("status", log), status);
  }
  test::CaptureStderr captured;
  EXPECT_EQ(r->askShellCommandWithCrashFile("no-such-script", "/x.crash"), 127);
  EXPECT_EQ(r->runShellCommandWithCrashFile("no-such-script", "/x.crash"), std::optional<std::string>(""));
  EXPECT_EQ(r->askShellCommandWithCrashFile("plain", "/x.crash"), 126);
}

TEST_F(ReporterScriptsTest, MuchOutputDoesNotStallTheAsker) {
  // Far more than a pipe holds.
  script("chatty", "head -c 600000 /dev/zero | tr '\\0' 'x'; exit 1\n");
  EXPECT_EQ(reporter()->askShellCommandWithCrashFile("chatty", "/x.crash"), 1);
  const auto output = reporter()->runShellCommandWithCrashFile("chatty", "/x.crash");
  ASSERT_TRUE(output);
  EXPECT_EQ(output->size(), 600000u);
}

TEST_F(ReporterScriptsTest, AnyPathReachesTheScriptAsItsOneArgument) {
  script("echo", "printf '%s|%s' \"$#\" \"$1\"\n");
  auto r = reporter();
  for (const std::string path :
       {"/tmp/with spaces/Finder x.crash", "/tmp/\"dq\"/a.crash", "/tmp/$(touch /tmp/cw-pwned)/`id`.crash",
        "/tmp/back\\slash/it's.crash", "/tmp/new\nline.crash", "/tmp/\xff\xfe.crash"}) {
    const auto output = r->runShellCommandWithCrashFile("echo", path);
    if (path.find('\xff') != std::string::npos) {
      EXPECT_EQ(output, std::nullopt) << "the echo of a non-UTF-8 path is not UTF-8 either";
    } else {
      EXPECT_EQ(output, std::optional<std::string>("1|" + path));
    }
  }
  EXPECT_FALSE(test::pathExists("/tmp/cw-pwned"));
}

// The answer is the script's own output, whatever the login shell's start-up
// files do: print (text, a byte that is not UTF-8, to standard output or
// error, the command line itself), end the shell, or close its output: then
// it runs again without them. One that sends the output elsewhere lets the
// script run once: its status stands, its output is lost. What they do to
// descriptor 3, where the shell says it reached the script, changes nothing.
// Each kind is logged once; the script's own record counts its runs.
TEST_F(ReporterScriptsTest, StartUpFilesNeitherMixIntoTheAnswerNorRunTheScriptTwice) {
  enum class Logged { Nothing, NeverReached, OutputTaken };
  struct Case {
    const char* profile;
    Logged logged;
  };
  const std::vector<Case> cases = {
      {"echo 'Agent pid 4242'\nprintf 'Hello\\377\\n'\necho noise >&2\n", Logged::Nothing},
      {"echo \"$BASH_EXECUTION_STRING\"\n", Logged::Nothing},
      {"echo 'Agent pid 4242'\nexit 0\n", Logged::NeverReached},
      {"exit 3\n", Logged::NeverReached},
      {"exec >&-\n", Logged::NeverReached},
      {"exec >/dev/null\n", Logged::OutputTaken},
      {"exec 3>&-\n", Logged::Nothing},
      {"exec 3>/dev/null\n", Logged::Nothing},
  };
  const std::string runs = home_.path() + "/runs";
  script("answer", "echo ran >> '" + runs + "'\nprintf 'https://paste/1 %s' \"$1\"; exit 1\n");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.profile);
    test::writeFile(home_.path() + "/.bash_profile", c.profile);
    test::writeFile(runs, "");
    auto r = reporter();
    test::CaptureStderr captured;
    EXPECT_EQ(r->runShellCommandWithCrashFile("answer", "/x.crash"),
              c.logged == Logged::OutputTaken ? std::nullopt : std::optional<std::string>("https://paste/1 /x.crash"));
    EXPECT_EQ(r->askShellCommandWithCrashFile("answer", "/x.crash"), 1);
    // Once output was taken, answers are asked for without the start-up files.
    EXPECT_EQ(r->runShellCommandWithCrashFile("answer", "/y.crash"), "https://paste/1 /y.crash");
    EXPECT_EQ(test::readFile(runs), "ran\nran\nran\n");
    const std::string log = captured.text();
    for (const auto& [kind, line] : {std::pair{Logged::NeverReached, "never reached the helper script answer"},
                                     std::pair{Logged::OutputTaken,
                                               "ran the helper script answer (it exited with "
                                               "status 1), but a start-up file"}}) {
      const std::size_t at = log.find(line);
      EXPECT_EQ(at != std::string::npos, c.logged == kind) << log;
      EXPECT_EQ(at, log.rfind(line)) << "logged once: " << log;
    }
  }
}

TEST_F(ReporterScriptsTest, ScriptPathWithSpacesAndQuotesRuns) {
  test::TempDir odd;
  const std::string folder = odd / "bundle with 'quotes' and $dollar";
  test::makeDirectories(folder + "/Resources");
  test::writeFile(folder + "/Resources/hello.rb", "#!/bin/sh\nprintf hello\n", 0755);
  EXPECT_EQ(reporter(folder)->runShellCommandWithCrashFile("hello", "/x.crash"), std::optional<std::string>("hello"));
}

TEST_F(ReporterScriptsTest, InitSetsTheSyncExclusionFlagOnce) {
  UserDefaults& defaults = defaults_;
  const char* key = "com.apple.PreferenceSync.ExcludeAllSyncKeys";
  EXPECT_FALSE(defaults.objectForKey(key));
  reporter();
  EXPECT_TRUE(defaults.boolForKey(key));

  // Already true: nothing is written (the file stays as it is).
  const std::string before = test::readFile(defaults.filePath());
  test::setModificationTime(defaults.filePath(), -100);
  struct stat st1 {};
  ::stat(defaults.filePath().c_str(), &st1);
  reporter();
  struct stat st2 {};
  ::stat(defaults.filePath().c_str(), &st2);
  EXPECT_EQ(st1.st_mtim.tv_sec, st2.st_mtim.tv_sec);

  // Stored as false: becomes true.
  defaults.setBoolForKey(key, false);
  reporter();
  EXPECT_TRUE(defaults.boolForKey(key));
}

}  // namespace
}  // namespace cw

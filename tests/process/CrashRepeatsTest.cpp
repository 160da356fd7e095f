// A fault that repeats is asked about once: folded while its dialog is open,
// quiet for a while after an answer, remembered across restarts. The built
// agent with probe scripts: a relatedness script that reads its verdict and
// signature from the crash log, a dialog helper that answers as the test
// says, an upload that records what it was given, and the real xdg-open
// handing the mail to a recording mail handler. Times are crash logs' mtimes;
// nothing waits on the clock.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <ctime>
#include <filesystem>
#include <fstream>

#include "process/AgentProcess.h"
#include "support/XdgDesktop.h"

namespace cw::test {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;
using namespace std::chrono_literals;
using Date = std::chrono::system_clock::time_point;

// Speaks the dialog helper's protocol on descriptor 3: measures every text
// as 80 x 20, and on "show" records the dialog's texts in dialogs.txt, then
// waits for $HOME/answer ("send" or "cancel") and presses that button.
constexpr const char* kProbeDialog = R"(#!/usr/bin/env -S ruby --disable-gems
require 'json'
io = IO.new(3, 'r+')
io.sync = true
io.puts({ev: 'ready'}.to_json)
texts = {}
keys = {}
answer = File.join(ENV['HOME'], 'answer')
io.each_line do |line|
  m = JSON.parse(line)
  case m['op']
  when 'text' then texts[m['id']] = m['text']
  when 'key' then keys[m['key']] = m['id']
  when 'measure' then io.puts({ev: 'size', seq: m['seq'], width: 80, height: 20}.to_json)
  when 'show'
    File.open(File.join(ENV['HOME'], 'dialogs.txt'), 'a') { |f| f.puts(texts.values.join(' / ')) }
    sleep 0.01 until File.exist?(answer)
    choice = File.read(answer).strip
    File.delete(answer)
    io.puts({ev: 'pressed', id: keys[choice == 'send' ? "\r" : "\e"]}.to_json)
  end
end
)";

// The first line of a probe crash log: "<status> <signature>".
constexpr const char* kProbeRelated = R"(#!/bin/sh
printf '%s\n' "$1" >> "$HOME/asked.txt"
read -r status signature < "$1"
[ "$status" = 1 ] && [ -n "$signature" ] && printf '%s\n' "$signature"
exit "$status"
)";

class CrashRepeatsTest : public ::testing::Test {
protected:
  CrashRepeatsTest() {
    // The layout and the string tables; the scripts are the probes below.
    sandbox_.useBuiltResources();
    sandbox_.installScript("related-crash-report", kProbeRelated);
    sandbox_.installScript("upload-gist",
                           "#!/bin/sh\nprintf '%s\\n' \"$1\" >> \"$HOME/uploads.txt\"\n"
                           "printf 'https://paste.example/%s' \"$(basename \"$1\")\"\n");
    sandbox_.installScript("extract-crash-info", "#!/bin/sh\nprintf 'EXC_BAD_ACCESS (SIGSEGV)'\n");
    writeFile(sandbox_.prefix() + "/libexec/crashwatcher/crashwatcher-dialog", kProbeDialog, 0755);
    writeFile(mailHandler(), "#!/bin/sh\nprintf '%s\\n' \"$1\" >> \"" + sandbox_.home() + "/mails.txt\"\n", 0755);
    desktop_.registerMailHandler(mailHandler());
    sandbox_.addEnvironment("DISPLAY=:cw-test");
    sandbox_.addEnvironment("TZ=UTC");
  }

  std::string mailHandler() const { return sandbox_.home() + "/record-mail"; }
  std::string stateFile() const {
    return sandbox_.home() + "/Library/Application Support/.VellumdriftCrashWatcher.state";
  }

  // A crash log of `signature` (related, unless `status` says otherwise)
  // modified at `when`.
  std::string crash(const std::string& name, const std::string& signature, Date when, int status = 1) const {
    const std::string path = sandbox_.userCrashReporter() + "/" + name;
    makeDirectories(sandbox_.userCrashReporter());
    // Dated before it appears: a log whose time changed would be a new one.
    writeFile(path + ".part", std::to_string(status) + " " + signature + "\nProcess: Finder\n");
    const auto since = std::chrono::duration_cast<std::chrono::nanoseconds>(when.time_since_epoch()).count();
    const timespec times[2] = {{since / 1'000'000'000, since % 1'000'000'000},
                               {since / 1'000'000'000, since % 1'000'000'000}};
    ::utimensat(AT_FDCWD, (path + ".part").c_str(), times, 0);
    std::filesystem::rename(path + ".part", path);
    return path;
  }

  std::vector<std::string> lines(const std::string& name) const {
    std::vector<std::string> out;
    std::istringstream in(readFile(sandbox_.home() + "/" + name));
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
  }
  int asked(const std::string& path) const {
    const std::vector<std::string> all = lines("asked.txt");
    return static_cast<int>(std::count(all.begin(), all.end(), path));
  }
  // The next dialog's answer, once the one before has been taken.
  void answer(const std::string& choice) const {
    EXPECT_TRUE(waitUntil([&] { return !pathExists(sandbox_.home() + "/answer"); }));
    writeFile(sandbox_.home() + "/answer", choice);
  }
  // Scans (user-signal-1, again while an earlier scan may drop it) until `done`.
  bool scanUntil(AgentProcess& agent, const std::function<bool()>& done) const {
    int polls = 0;
    return waitUntil([&] {
      if (polls++ % 50 == 0) agent.signal(SIGUSR1);
      return done();
    });
  }

  GenericXdgDesktop desktop_;
  AgentSandbox sandbox_;
};

std::string mtimeText(Date when) {
  const std::time_t seconds = std::chrono::system_clock::to_time_t(when);
  std::tm utc{};
  ::gmtime_r(&seconds, &utc);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d%%20%H%%3A%M%%3A%S", &utc);
  return text;
}

// A crash loop: 20 crashes of one fault written 1 s apart while its dialog is
// open give one dialog, one upload and one mail that counts them all.
TEST_F(CrashRepeatsTest, ALoopOfCrashesWhileTheDialogIsOpenIsOneReport) {
  AgentProcess agent(sandbox_);
  ASSERT_TRUE(agent.waitUntilWatching()) << agent.log();
  const Date first = std::chrono::system_clock::now();
  const std::string firstLog = crash("Finder_loop_00.crash", "SIG-A", first);
  ASSERT_TRUE(scanUntil(agent, [&] { return !lines("dialogs.txt").empty(); })) << agent.log();
  for (int i = 1; i < 20; ++i)
    crash("Finder_loop_" + std::to_string(i + 10) + ".crash", "SIG-A", first + std::chrono::seconds(i));
  answer("send");
  ASSERT_TRUE(waitUntil([&] { return !lines("mails.txt").empty(); })) << agent.log();
  const std::string later = crash("Finder_later.crash", "SIG-B", first);
  ASSERT_TRUE(scanUntil(agent, [&] { return asked(later) == 1; }));
  answer("cancel");
  ASSERT_TRUE(waitUntil([&] { return lines("dialogs.txt").size() == 2; })) << agent.log();

  EXPECT_EQ(lines("uploads.txt"), std::vector<std::string>{firstLog});
  ASSERT_EQ(lines("mails.txt").size(), 1u);
  EXPECT_THAT(lines("mails.txt")[0], HasSubstr("It%20crashed%2020%20times%2C%20from%20" + mtimeText(first) +
                                               "%20to%20" + mtimeText(first + 19s) + "."));
  EXPECT_EQ(countOccurrences(agent.log(), "whose dialog was just answered; counted with it"), 19);
  for (const std::string& path : lines("asked.txt")) EXPECT_EQ(asked(path), 1) << path;
}

// Don't Send, then the same fault 10 minutes later: not asked, logged; after
// the quiet period: asked, with the count; another fault: asked at once.
TEST_F(CrashRepeatsTest, AnAnsweredFaultIsQuietForADayAndThenToldWithItsCount) {
  AgentProcess agent(sandbox_);
  ASSERT_TRUE(agent.waitUntilWatching()) << agent.log();
  const Date now = std::chrono::system_clock::now();
  answer("cancel");
  crash("Finder_a.crash", "SIG-A", now);
  // The answer is remembered once the dialog and what folds into it are over.
  ASSERT_TRUE(scanUntil(agent, [&] { return readFile(stateFile()).find("SIG-A") != std::string::npos; }))
      << agent.log();
  const std::string again = crash("Finder_b.crash", "SIG-A", now + 10min);
  ASSERT_TRUE(scanUntil(agent, [&] { return asked(again) == 1; }));
  ASSERT_TRUE(agent.waitForLog("'" + again + "' is the same crash as the one answered at ")) << agent.log();
  EXPECT_THAT(agent.log(), HasSubstr("; not asked again before "));
  answer("cancel");
  crash("Finder_c.crash", "SIG-B", now + 11min);
  ASSERT_TRUE(scanUntil(agent, [&] { return lines("dialogs.txt").size() == 2; })) << agent.log();
  answer("send");
  crash("Finder_d.crash", "SIG-A", now + 25h);
  ASSERT_TRUE(scanUntil(agent, [&] { return !lines("mails.txt").empty(); })) << agent.log();
  EXPECT_EQ(lines("dialogs.txt").size(), 3u);
  EXPECT_THAT(lines("dialogs.txt")[2], HasSubstr("This crash happened once more since you last answered for it on "));
  EXPECT_THAT(lines("mails.txt")[0], HasSubstr("The%20same%20crash%20happened%20once%20since%20I%20was%20last"));
}

// A login profile that sends the shell's output elsewhere costs a script its
// output, not a second run: the relatedness script's verdict stands, and the
// upload, asked for without the start-up files, runs once and gives its
// address to the mail.
TEST_F(CrashRepeatsTest, AProfileThatTakesTheOutputStillUploadsOnceAndMailsTheAddress) {
  writeFile(sandbox_.home() + "/.bash_profile", "exec >/dev/null\n");
  AgentProcess agent(sandbox_);
  ASSERT_TRUE(agent.waitUntilWatching()) << agent.log();
  answer("send");
  const std::string log = crash("Finder_taken.crash", "SIG-A", std::chrono::system_clock::now());
  ASSERT_TRUE(scanUntil(agent, [&] { return !lines("mails.txt").empty(); })) << agent.log();
  EXPECT_EQ(asked(log), 1);
  EXPECT_EQ(lines("uploads.txt"), std::vector<std::string>{log});
  EXPECT_EQ(countOccurrences(agent.log(), "The login shell ran the helper script related-crash-report"), 1);
  EXPECT_THAT(agent.log(), HasSubstr("  => https://paste.example/Finder_taken.crash"));
  EXPECT_THAT(lines("mails.txt")[0], HasSubstr("https%3A%2F%2Fpaste.example%2FFinder_taken.crash"));
}

// Stopped, a crash written, started: asked once; started again: not asked. A
// corrupt state file is moved aside and the agent runs.
TEST_F(CrashRepeatsTest, ACrashWhileTheAgentWasStoppedIsAskedOnceAtTheNextStart) {
  const auto runOnce = [&](const std::function<void(AgentProcess&)>& during) {
    AgentProcess agent(sandbox_);
    EXPECT_TRUE(agent.waitUntilWatching()) << agent.log();
    during(agent);
    agent.signal(SIGTERM);
    EXPECT_EQ(agent.waitForExit(), 0);
    return agent.log();
  };
  runOnce([](AgentProcess&) {});
  answer("cancel");
  const std::string meanwhile = crash("Finder_meanwhile.crash", "SIG-A", std::chrono::system_clock::now());
  runOnce([&](AgentProcess&) {
    EXPECT_TRUE(waitUntil([&] { return readFile(stateFile()).find("SIG-A") != std::string::npos; }));
  });
  // A later crash asked about is the positive marker that the start's scan is over.
  runOnce([&](AgentProcess& agent) {
    const std::string marker = crash("Finder_next.crash", "", std::chrono::system_clock::now(), 0);
    EXPECT_TRUE(scanUntil(agent, [&] { return asked(marker) == 1; }));
  });
  EXPECT_EQ(asked(meanwhile), 1);
  EXPECT_EQ(lines("dialogs.txt").size(), 1u);

  const std::string state = stateFile();
  writeFile(state, "{\"not\": \"ours\"");
  // Forgotten with the file: a crash of the last 10 s may be asked again.
  answer("cancel");
  const std::string log = runOnce([&](AgentProcess& agent) {
    const std::string marker = crash("Finder_after.crash", "", std::chrono::system_clock::now(), 0);
    EXPECT_TRUE(scanUntil(agent, [&] { return asked(marker) == 1; }));
  });
  EXPECT_THAT(log,
              HasSubstr("'" + state + "' is no state file of this agent; moved it aside to '" + state + ".corrupt-"));
  EXPECT_THAT(readFile(state), HasSubstr("\"CrashWatcherState\": 1"));
}

}  // namespace
}  // namespace cw::test

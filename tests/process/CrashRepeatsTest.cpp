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
  when 'key' then keys[m['text']] = m['id']
  when 'measure' then io.puts({ev: 'size', seq: m['seq'], width: 80, height: 20}.to_json)
  when 'show'
    File.open(File.join(ENV['HOME'], 'dialogs.txt'), 'a') { |f| f.puts(texts.values.join(' / ')) }
    sleep 0.01 until File.exist?(answer)
    choice = File.read(answer).strip
    File.delete(answer)
    io.puts({ev: 'pressed', id: keys[choice == 'send' ? 'return' : 'escape']}.to_json)
  end
end
)";

// The first line of a probe crash log: "<status> <signature>".
constexpr const char* kProbeRelated = R"(#!/bin/sh
[ "$1" = --signature ] && { signed=1; shift; }
printf '%s\n' "$1" >> "$HOME/asked.txt"
read -r status signature < "$1"
[ "$status" = 1 ] && [ -n "$signed" ] && [ -n "$signature" ] && printf '%s\n' "$signature"
exit "$status"
)";

class CrashRepeatsTest : public ::testing::Test {
protected:
  CrashRepeatsTest() {
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

  // A crash log of `signature` (related) modified at `when`.
  std::string crash(const std::string& name, const std::string& signature, Date when) const {
    const std::string path = sandbox_.userCrashReporter() + "/" + name;
    makeDirectories(sandbox_.userCrashReporter());
    writeFile(path, "1 " + signature + "\nProcess: Finder\n");
    const auto since = std::chrono::duration_cast<std::chrono::nanoseconds>(when.time_since_epoch()).count();
    const timespec times[2] = {{since / 1'000'000'000, since % 1'000'000'000},
                               {since / 1'000'000'000, since % 1'000'000'000}};
    ::utimensat(AT_FDCWD, path.c_str(), times, 0);
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
  void answer(const std::string& choice) const { writeFile(sandbox_.home() + "/answer", choice); }
  // Scans (user-signal-1, again while an earlier scan may drop it) until `done`.
  bool scanUntil(AgentProcess& agent, const std::function<bool()>& done) const {
    int polls = 0;
    return waitUntil([&] {
      if (polls++ % 50 == 0) agent.signal(SIGUSR1);
      return done();
    });
  }
  bool dialogsShown(std::size_t count) const {
    return waitUntil([&] { return lines("dialogs.txt").size() >= count; });
  }

  GenericXdgDesktop desktop_;
  AgentSandbox sandbox_;
};

}  // namespace
}  // namespace cw::test

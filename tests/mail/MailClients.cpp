#include "mail/MailClients.h"

#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <regex>
#include <thread>

#include "Platform/ChildProcess.h"
#include "dialog/DialogTestSupport.h"

namespace cw::test {
namespace {

// Hang guards only: the waits below end as soon as what they wait for is there.
constexpr auto kOpenGuard = std::chrono::seconds(30);
constexpr auto kPollInterval = std::chrono::milliseconds(100);

bool pollUntil(const std::function<bool()>& done, std::chrono::milliseconds guard = kOpenGuard) {
  return waitUntil(done, guard, kPollInterval);
}

std::string base64Decoded(std::string_view text) {
  std::string out;
  unsigned buffer = 0;
  int bits = 0;
  for (const char c : text) {
    int value = -1;
    if (c >= 'A' && c <= 'Z') value = c - 'A';
    if (c >= 'a' && c <= 'z') value = c - 'a' + 26;
    if (c >= '0' && c <= '9') value = c - '0' + 52;
    if (c == '+') value = 62;
    if (c == '/') value = 63;
    if (value < 0) continue;  // padding, line breaks
    buffer = (buffer << 6) | static_cast<unsigned>(value);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out.push_back(static_cast<char>((buffer >> bits) & 0xFF));
    }
  }
  return out;
}

// Quoted-printable; in a header word (`underscoreIsSpace`) "_" is a space.
std::string quotedPrintableDecoded(std::string_view text, bool underscoreIsSpace) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '_' && underscoreIsSpace) {
      out.push_back(' ');
    } else if (text[i] == '=' && i + 1 < text.size() && text[i + 1] == '\n') {
      ++i;  // a soft line break
    } else if (text[i] == '=' && i + 2 < text.size() && std::isxdigit(static_cast<unsigned char>(text[i + 1])) &&
               std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
      out.push_back(static_cast<char>(std::stoi(std::string(text.substr(i + 1, 2)), nullptr, 16)));
      i += 2;
    } else {
      out.push_back(text[i]);
    }
  }
  return out;
}

// RFC 2047 encoded words (UTF-8 only, as both programs write them); the space
// between two neighbouring words belongs to neither.
std::string headerDecoded(const std::string& value) {
  static const std::regex word(R"(=\?[Uu][Tt][Ff]-8\?([BbQq])\?([^?]*)\?=)");
  std::string out;
  std::size_t last = 0;
  bool previousWasWord = false;
  for (auto it = std::sregex_iterator(value.begin(), value.end(), word); it != std::sregex_iterator(); ++it) {
    const std::string between = value.substr(last, static_cast<std::size_t>(it->position()) - last);
    if (!(previousWasWord && between.find_first_not_of(" \t") == std::string::npos)) out += between;
    const std::string encoded = (*it)[2];
    out += ((*it)[1] == "B" || (*it)[1] == "b") ? base64Decoded(encoded) : quotedPrintableDecoded(encoded, true);
    last = static_cast<std::size_t>(it->position() + it->length());
    previousWasWord = true;
  }
  return out + value.substr(last);
}

// A message file: unfolded headers by lower-case name, and the body decoded
// by its transfer encoding.
struct ParsedMessage {
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
  std::string header(const std::string& name) const {
    for (const auto& [key, value] : headers)
      if (key == name) return value;
    return {};
  }
};

ParsedMessage parseMessage(const std::string& text) {
  ParsedMessage message;
  std::size_t at = 0;
  while (at < text.size()) {
    const std::size_t end = std::min(text.find('\n', at), text.size());
    const std::string line = text.substr(at, end - at);
    at = end + 1;
    if (line.empty()) break;
    if ((line[0] == ' ' || line[0] == '\t') && !message.headers.empty()) {
      message.headers.back().second += line;  // unfolding drops only the line break
      continue;
    }
    const std::size_t colon = line.find(':');
    std::string name = line.substr(0, colon);
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    std::string value = colon == std::string::npos ? "" : line.substr(colon + 1);
    value.erase(0, value.find_first_not_of(" \t") == std::string::npos ? value.size() : value.find_first_not_of(" \t"));
    message.headers.emplace_back(std::move(name), std::move(value));
  }
  message.body = at < text.size() ? text.substr(at) : "";
  std::string encoding = message.header("content-transfer-encoding");
  for (char& c : encoding) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (encoding == "base64") message.body = base64Decoded(message.body);
  if (encoding == "quoted-printable") message.body = quotedPrintableDecoded(message.body, false);
  return message;
}

MailDraft draftOf(const ParsedMessage& message) {
  return MailDraft{headerDecoded(message.header("to")), headerDecoded(message.header("subject")), message.body};
}

void writeExecutable(const std::string& path, const std::string& text) {
  writeFile(path, text, 0755);
}

// Runs `argv` to its end or the guard, its output appended to `trace`.
int run(const std::vector<std::string>& argv, std::string& trace) {
  const ToolResult result = runTool(argv);
  trace += "$ " + argv[0] + " ... -> " + std::to_string(result.status) + "\n" + result.output;
  return result.status;
}

}  // namespace

MailClientHome::MailClientHome(const std::string& display) : display_(display) {
  const std::string home = home_.path();
  for (const char* dir :
       {"/.config", "/.local/share/applications", "/run", "/tmp", "/bin", "/.claws-mail", "/Mail/inbox", "/Mail/sent",
        "/Mail/queue", "/Mail/trash", "/Mail/draft", "/Maildir/cur", "/Maildir/new", "/Maildir/tmp"})
    makeDirectories(home + dir);
  ::chmod((home + "/run").c_str(), 0700);
  const auto set = [this](const char* name, const std::string* value) {
    environment_.push_back(std::make_unique<ScopedEnv>(name, value ? value->c_str() : nullptr));
  };
  const std::string config = home + "/.config", data = home + "/.local/share", run = home + "/run", tmp = home + "/tmp",
                    generic = "X-Generic", systemData = "/usr/local/share:/usr/share",
                    noBus = "unix:path=" + home + "/no-bus", one = "1", memory = "memory",
                    browser = home + "/bin/browser-probe";
  set("HOME", &home);
  set("XDG_CONFIG_HOME", &config);
  set("XDG_DATA_HOME", &data);
  set("XDG_DATA_DIRS", &systemData);
  set("XDG_RUNTIME_DIR", &run);
  set("TMPDIR", &tmp);
  set("DISPLAY", &display_);
  set("WAYLAND_DISPLAY", nullptr);
  set("XDG_CURRENT_DESKTOP", &generic);  // xdg-open's own generic road, as on a bare session
  set("DESKTOP_SESSION", nullptr);
  set("KDE_FULL_SESSION", nullptr);
  set("GNOME_DESKTOP_SESSION_ID", nullptr);
  set("DBUS_SESSION_BUS_ADDRESS", &noBus);
  set("NO_AT_BRIDGE", &one);
  set("GSETTINGS_BACKEND", &memory);
  set("BROWSER", &browser);
  set("TMUX", nullptr);

  writeExecutable(home + "/bin/browser-probe", "#!/bin/sh\necho \"browser: $1\" >> \"$HOME/browser.log\"\nexit 1\n");
  writeExecutable(home + "/bin/sendmail-probe",
                  "#!/bin/sh\necho \"sendmail: $*\" >> \"$HOME/sendmail.log\"\n"
                  "cat >> \"$HOME/sendmail.log\"\n");
  // neomutt: no system configuration, a local mailbox, nothing recorded, and
  // an editor that saves the draft as neomutt parsed it, headers included.
  writeFile(home + "/muttrc", "set folder=\"" + home + "/Maildir\"\nset spoolfile=\"" + home +
                                  "/Maildir\"\nset record=\"\"\nset postponed=\"" + home +
                                  "/postponed\"\nset sendmail=\"" + home +
                                  "/bin/sendmail-probe\"\nset editor=\"cp %s " + home +
                                  "/neomutt-draft\"\nset edit_headers=yes\nset autoedit=yes\n"
                                  "set abort_unmodified=yes\nset charset=utf-8\nset send_charset=utf-8\n"
                                  "set from=tester@example.invalid\n");
  // A terminal for neomutt: a detached tmux session, waited for to its end.
  // The URL goes in through the session's environment, never through a shell.
  writeExecutable(home + "/bin/neomutt-in-tmux",
                  "#!/bin/sh\n"
                  "tmux -S \"$HOME/tmux.sock\" -f /dev/null new-session -d -x 200 -y 50 -e \"MAILTO_URL=$1\" "
                  "'neomutt -n -F \"$HOME/muttrc\" \"$MAILTO_URL\"; echo \"neomutt exit $?\" >> \"$HOME/trace\"; "
                  "tmux -S \"$HOME/tmux.sock\" wait-for -S neomutt-done' || exit 1\n"
                  "exec tmux -S \"$HOME/tmux.sock\" wait-for neomutt-done\n");
  writeFile(data + "/applications/neomutt-in-tmux.desktop",
            "[Desktop Entry]\nType=Application\nName=neomutt\nExec=" + home +
                "/bin/neomutt-in-tmux %u\nTerminal=false\nMimeType=x-scheme-handler/mailto;\n");
  // Claws Mail: one account that can send nowhere, a local MH mailbox with a
  // drafts folder, no spell checker (no dictionaries here), and its own
  // wrapping as it comes: it re-wraps lines longer than 72 columns.
  writeFile(home + "/.claws-mail/accountrc",
            "[Account: 1]\naccount_name=tester\nis_default=1\nname=Tester\naddress=tester@example.invalid\n"
            "protocol=6\nsmtp_server=127.0.0.1\nsmtp_port=1\n");
  writeFile(home + "/.claws-mail/folderlist.xml",
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<folderlist>\n"
            "<folder type=\"mh\" name=\"Mailbox\" path=\"Mail\" sort=\"0\" collapsed=\"0\">\n"
            "<folderitem type=\"inbox\" name=\"inbox\" path=\"inbox\"/>\n"
            "<folderitem type=\"outbox\" name=\"sent\" path=\"sent\"/>\n"
            "<folderitem type=\"queue\" name=\"queue\" path=\"queue\"/>\n"
            "<folderitem type=\"trash\" name=\"trash\" path=\"trash\"/>\n"
            "<folderitem type=\"draft\" name=\"draft\" path=\"draft\"/>\n</folder>\n</folderlist>\n");
  writeFile(home + "/.claws-mail/clawsrc", "[Common]\nenable_aspell=0\ncheck_while_typing=0\n");
}

MailClientHome::~MailClientHome() {
  std::string ignored;
  // Whatever of ours is left: the tmux server, a Claws Mail that did not quit.
  run({"tmux", "-S", home_ / "tmux.sock", "kill-server"}, ignored);
  run({"claws-mail", "--exit"}, ignored);
}

void MailClientHome::registerHandler(const std::string& desktopFile) {
  std::string trace;
  run({"xdg-mime", "default", desktopFile, "x-scheme-handler/mailto"}, trace);
}

bool MailClientHome::neomuttSentAnything() const {
  return pathExists(home_ / "sendmail.log");
}

MailOutcome MailClientHome::openInNeomutt(const std::string& url) {
  registerHandler("neomutt-in-tmux.desktop");
  const std::string draft = home_ / "neomutt-draft";
  std::filesystem::remove(draft);
  MailOutcome outcome;
  run({"xdg-open", url}, outcome.trace);
  if (pathExists(home_ / "trace")) outcome.trace += readFile(home_ / "trace");
  if (pathExists(home_ / "browser.log")) outcome.trace += readFile(home_ / "browser.log");
  if (pathExists(draft)) outcome.draft = draftOf(parseMessage(readFile(draft)));
  return outcome;
}

MailOutcome MailClientHome::openInClawsMail(const std::string& url, std::chrono::seconds composeWait) {
  registerHandler("claws-mail.desktop");
  const std::string drafts = home_ / "Mail/draft";
  std::filesystem::remove_all(drafts);
  makeDirectories(drafts);
  MailOutcome outcome;
  // xdg-open runs Claws Mail in the foreground: it ends when Claws Mail does.
  SystemResult<ChildProcess> spawned = ChildProcess::spawn("/usr/bin/xdg-open", {"xdg-open", url}, {});
  if (!spawned) return MailOutcome{std::nullopt, "xdg-open could not be started: " + spawned.reason()};
  ChildProcess& opener = *spawned;

  std::string compose;
  const bool composing = pollUntil(
      [&] {
        const ToolResult found = runTool({"xdotool", "search", "--onlyvisible", "--name", "Compose message$"});
        compose = found.output.substr(0, found.output.find('\n'));
        return !compose.empty() || opener.hasExited();
      },
      composeWait);
  if (composing && !compose.empty()) {
    // Message > Save: into the drafts folder, as the window shows it.
    run({"xdotool", "windowfocus", "--sync", compose}, outcome.trace);
    run({"xdotool", "key", "--clearmodifiers", "ctrl+s"}, outcome.trace);
    std::string saved;
    pollUntil([&] {
      for (const auto& entry : std::filesystem::directory_iterator(drafts))
        if (entry.path().filename().string().find_first_not_of("0123456789") == std::string::npos) saved = entry.path();
      return !saved.empty();
    });
    if (!saved.empty()) outcome.draft = draftOf(parseMessage(readFile(saved)));
  } else {
    outcome.trace += "no compose window; visible windows:\n" +
                     runTool({"xdotool", "search", "--onlyvisible", "--name", ".", "getwindowname", "%@"}).output;
  }
  run({"claws-mail", "--exit"}, outcome.trace);
  // Claws Mail has been told to leave; xdg-open ends with it.
  awaitChildEnd(opener, std::chrono::seconds(60));
  opener.terminate();
  outcome.trace += "xdg-open -> " + std::to_string(opener.shellStatus()) + "\n";
  return outcome;
}

}  // namespace cw::test

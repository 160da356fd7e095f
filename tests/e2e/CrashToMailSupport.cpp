#include "e2e/CrashToMailSupport.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <filesystem>
#include <thread>

#include "BuildConfig.h"
#include "Platform/MailtoURL.h"
#include "Platform/ShellQuote.h"
#include "dialog/DialogTestSupport.h"

namespace cw::test {

using namespace std::chrono_literals;

PasteServer::PasteServer() {
  listener_.reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(listener_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address);
  ::listen(listener_.get(), 8);
  socklen_t length = sizeof address;
  ::getsockname(listener_.get(), reinterpret_cast<sockaddr*>(&address), &length);
  port_ = ntohs(address.sin_port);
  thread_ = std::thread([this] { serve(); });
}

PasteServer::~PasteServer() {
  stop_ = true;
  ::shutdown(listener_.get(), SHUT_RDWR);
  thread_.join();
}

std::vector<std::string> PasteServer::bodies() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return bodies_;
}

void PasteServer::serve() {
  while (!stop_) {
    pollfd waiting{listener_.get(), POLLIN, 0};
    if (::poll(&waiting, 1, 200) <= 0) continue;
    UniqueFd client(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (!client) continue;
    answer(client.get());
  }
}

void PasteServer::answer(int fd) {
  std::string request;
  char buffer[65536];
  size_t headerEnd = std::string::npos, contentLength = 0;
  const auto giveUp = std::chrono::steady_clock::now() + 30s;
  while (std::chrono::steady_clock::now() < giveUp) {
    pollfd readable{fd, POLLIN, 0};
    if (::poll(&readable, 1, 200) <= 0) continue;
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got <= 0) return;
    request.append(buffer, static_cast<size_t>(got));
    if (headerEnd == std::string::npos && (headerEnd = request.find("\r\n\r\n")) != std::string::npos) {
      std::string headers = request.substr(0, headerEnd);
      for (auto& c : headers) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      const size_t at = headers.find("content-length:");
      if (at != std::string::npos) contentLength = std::stoul(headers.substr(at + 15));
    }
    if (headerEnd != std::string::npos && request.size() >= headerEnd + 4 + contentLength) break;
  }
  if (headerEnd == std::string::npos) return;
  for (const auto until = std::chrono::steady_clock::now() + delay_.load();
       !stop_ && std::chrono::steady_clock::now() < until;)
    std::this_thread::sleep_for(20ms);
  {
    std::lock_guard<std::mutex> guard(mutex_);
    bodies_.push_back(request.substr(headerEnd + 4, contentLength));
  }
  const std::string body = "{\"key\":\"e2ekey\"}";
  const std::string response =
      "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
      "\r\nConnection: close\r\n\r\n" + body;
  (void)!::write(fd, response.data(), response.size());
}

BepastyServer::BepastyServer() {
  const std::string secret = "vendor-reads-crashes";
  makeDirectories(dir_ / "storage");
  writeFile(dir_ / "bepasty.conf", "SECRET_KEY = 'throwaway'\nSTORAGE_FILESYSTEM_DIRECTORY = '" + (dir_ / "storage") +
                                       "'\nDEFAULT_PERMISSIONS = 'create'\nPERMISSIONS = {'" + secret +
                                       "': 'admin,list,create,read,delete'}\n");
  const std::string log = dir_ / "server.log";
  UniqueFd logFd(::open(log.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
  ChildProcess::Options options;
  options.descriptors = {{logFd.get(), STDERR_FILENO}};
  options.environment = {"BEPASTY_CONFIG=" + (dir_ / "bepasty.conf")};
  SystemResult<ChildProcess> spawned =
      ChildProcess::spawn("/usr/bin/bepasty-server", {"bepasty-server", "--host", "127.0.0.1", "--port", "0"}, options);
  if (!spawned) return;
  server_ = std::move(*spawned);
  // It says where it listens once it does (a hang guard only).
  waitUntil(
      [&] {
        const std::string said = readFile(log);
        const std::string mark = "Running on http://127.0.0.1:";
        const std::size_t at = said.find(mark);
        if (at == std::string::npos) return false;
        const std::size_t end = said.find_first_not_of("0123456789", at + mark.size());
        if (end == std::string::npos) return false;
        url_ = "http://127.0.0.1:" + said.substr(at + mark.size(), end - at - mark.size());
        return true;
      },
      60s, 50ms);
}

BepastyServer::~BepastyServer() {
  awaitChildEnd(server_, std::chrono::seconds(5));
  server_.terminate();
}

std::optional<std::string> BepastyServer::download(const std::string& item) const {
  const std::string out = dir_ / "download";
  const ToolResult got = runTool(
      {"curl", "-sf", "-u", ":vendor-reads-crashes", "-o", out, url_ + "/apis/rest/items/" + item + "/download"});
  if (got.status != 0) return std::nullopt;
  return readFile(out);
}

MailRoad::MailRoad(AgentSandbox& sandbox, const std::string& bepastyUrl) : sandbox_(sandbox) {
  const std::string xdg = sandbox_.home() + "/xdg";
  makeDirectories(xdg + "/data/applications");
  makeDirectories(xdg + "/config");
  writeFile(
      xdg + "/record-mail",
      "#!/bin/sh\nprintf '%s' \"$1\" > '" + received() + ".tmp' && mv '" + received() + ".tmp' '" + received() + "'\n",
      0755);
  writeFile(xdg + "/data/applications/cw-record-mail.desktop",
            "[Desktop Entry]\nType=Application\nName=Record mail\nExec=" + xdg +
                "/record-mail %u\nMimeType=x-scheme-handler/mailto;\n");
  writeFile(xdg + "/config/mimeapps.list", "[Default Applications]\nx-scheme-handler/mailto=cw-record-mail.desktop\n");
  // The system's data GTK needs (its title bar on Wayland draws icons), but
  // none of the system's applications: xdg-open finds only our handler.
  makeDirectories(xdg + "/system");
  for (const char* data : {"mime", "icons", "themes", "glib-2.0"})
    std::filesystem::create_directory_symlink(std::string("/usr/share/") + data, xdg + "/system/" + data);
  for (std::string entry :
       {"XDG_DATA_HOME=" + xdg + "/data", "XDG_CONFIG_HOME=" + xdg + "/config", "XDG_DATA_DIRS=" + xdg + "/system",
        "XDG_CONFIG_DIRS=" + xdg + "/none", std::string("XDG_CURRENT_DESKTOP=X-Generic"), std::string("LANGUAGE=en"),
        std::string("BROWSER=/bin/false"),
        "CRASHWATCHER_PASTE_URL=" + (bepastyUrl.empty() ? paste_.baseUrl() : bepastyUrl)})
    sandbox_.addEnvironment(entry);
  // The paste server here speaks the hastebin protocol, not the build's default.
  sandbox_.addEnvironment(std::string("CRASHWATCHER_PASTE_PROTOCOL=") + (bepastyUrl.empty() ? "hastebin" : "bepasty"));
}

void MailRoad::removeMailHandler() const {
  const std::string xdg = sandbox_.home() + "/xdg";
  std::filesystem::remove(xdg + "/config/mimeapps.list");
  std::filesystem::remove(xdg + "/data/applications/cw-record-mail.desktop");
}

std::string MailRoad::placeCrashLog() const {
  std::string text = readFile(std::string(CW_SOURCE_DIR) + "/tests/scripts/fixtures/finder-related.crash");
  text += "\nUser file: " + sandbox_.home() + "/Documents/private.txt\n";
  const std::string path = sandbox_.localCrashReporter() + "/Finder_2026-12-08-101500_host.crash";
  writeFile(path, text);
  return path;
}

std::string MailRoad::expectedMail() const {
  const std::string subject =
      "Vellumdrift ??? crash EXC_BAD_ACCESS (SIGSEGV) in VellumdriftFinderSync: "
      "-[VDBadgeProvider badgeForURL:] + 112";
  const std::string body =
      "Hi Ilvard,\n\nMy Vellumdrift just crashed!\n\nThe crash report is available here:\n" + paste_.uploadAddress() +
      "\n\n>\n> You may help me fix the problem by describing what happened before\n> the crash.\n"
      "> I appreciate your help and I read these crash reports, but don't\n> expect my direct answer.\n"
      "> For further discussion please open a topic at\n> " +
      std::string(build::kSupportForumAddress) + ".\n>\n> Thank you, Ilvard";
  return *mailtoURL(build::kCrashReportRecipient, subject, body);
}

std::string uploadGistShows(const AgentSandbox& sandbox, const std::string& crash) {
  std::vector<std::string> command{"env", "-i"};
  for (const std::string& entry : sandbox.environment()) command.push_back(entry);
  command.insert(command.end(), {"/bin/bash", "--noprofile", "-c",
                                 shellQuote(sandbox.resources() + "/upload-gist.rb") + " --show " + shellQuote(crash)});
  return runTool(command).output;
}

}  // namespace cw::test

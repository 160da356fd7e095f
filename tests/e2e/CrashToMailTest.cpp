// The whole road, on the built agent: a related Finder crash log appears, the
// real dialog opens on our own X server, Send is pressed, the local paste
// server receives the redacted crash log and the mail handler exactly the
// mailto: URL.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <thread>

#include "BuildConfig.h"
#include "Platform/UniqueFd.h"
#include "Platform/UrlEscaping.h"
#include "dialog/DialogTestSupport.h"
#include "process/AgentProcess.h"

namespace cw::test {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;
using namespace std::chrono_literals;

// A paste service of the hastebin kind on 127.0.0.1: POST /documents answers
// {"key": "..."}; it keeps every body it received.
class PasteServer {
public:
  PasteServer() {
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
  ~PasteServer() {
    stop_ = true;
    ::shutdown(listener_.get(), SHUT_RDWR);
    thread_.join();
  }

  std::string baseUrl() const { return "http://127.0.0.1:" + std::to_string(port_); }
  std::vector<std::string> bodies() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return bodies_;
  }

private:
  void serve() {
    while (!stop_) {
      pollfd waiting{listener_.get(), POLLIN, 0};
      if (::poll(&waiting, 1, 200) <= 0) continue;
      UniqueFd client(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
      if (!client) continue;
      answer(client.get());
    }
  }

  void answer(int fd) {
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

  UniqueFd listener_;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  mutable std::mutex mutex_;
  std::vector<std::string> bodies_;
};

class CrashToMailTest : public DialogTest {
protected:
  void SetUp() override {
    DialogTest::SetUp();
    sandbox_.useBuiltResources();
    sandbox_.installDialogHelper();
    // A recording mail handler found by xdg-open in its generic mode.
    const std::string xdg = sandbox_.home() + "/xdg";
    makeDirectories(xdg + "/data/applications");
    makeDirectories(xdg + "/config");
    writeFile(xdg + "/record-mail",
              "#!/bin/sh\nprintf '%s' \"$1\" > '" + received() + ".tmp' && mv '" + received() + ".tmp' '" + received() +
                  "'\n",
              0755);
    writeFile(xdg + "/data/applications/cw-record-mail.desktop",
              "[Desktop Entry]\nType=Application\nName=Record mail\nExec=" + xdg +
                  "/record-mail %u\nMimeType=x-scheme-handler/mailto;\n");
    writeFile(xdg + "/config/mimeapps.list",
              "[Default Applications]\nx-scheme-handler/mailto=cw-record-mail.desktop\n");
    for (std::string entry : {"DISPLAY=" + display(), "XDG_DATA_HOME=" + xdg + "/data",
                              "XDG_CONFIG_HOME=" + xdg + "/config", "XDG_DATA_DIRS=" + xdg + "/none",
                              "XDG_CONFIG_DIRS=" + xdg + "/none", std::string("XDG_CURRENT_DESKTOP=X-Generic"),
                              std::string("LANGUAGE=en"), "CRASHWATCHER_PASTE_URL=" + paste_.baseUrl()})
      sandbox_.addEnvironment(entry);
    // The paste server here speaks the hastebin protocol, not the build's default.
    sandbox_.addEnvironment("CRASHWATCHER_PASTE_PROTOCOL=hastebin");
  }

  std::string received() const { return sandbox_.home() + "/received-mail"; }

  // The fixture crash log, naming the user's home folder at its end.
  std::string placeCrashLog() const {
    std::string text = readFile(std::string(CW_SOURCE_DIR) + "/tests/scripts/fixtures/finder-related.crash");
    text += "\nUser file: " + sandbox_.home() + "/Documents/private.txt\n";
    const std::string path = sandbox_.localCrashReporter() + "/Finder_2026-12-08-101500_host.crash";
    writeFile(path, text);
    return path;
  }

  static bool waitFor(const std::function<bool()>& done, std::chrono::seconds guard = 60s) {
    const auto giveUp = std::chrono::steady_clock::now() + guard;  // hang guard only
    while (!done()) {
      if (std::chrono::steady_clock::now() > giveUp) return false;
      std::this_thread::sleep_for(50ms);
    }
    return true;
  }

  PasteServer paste_;
  AgentSandbox sandbox_;
};

TEST_F(CrashToMailTest, ConsentSendsTheRedactedLogAndOpensTheExactMail) {
  AgentProcess agent(sandbox_);
  ASSERT_TRUE(agent.waitUntilWatching()) << agent.log();
  const std::string crash = placeCrashLog();
  // The change in the watched folder is what starts the scan.
  writeFile(sandbox_.watchedFolder() + "/Finder_2026-12-08-101500_host.crash.ips", "{}");

  ASSERT_TRUE(
      agent.waitForLog("'" + crash + "' crash report was related to Vellumdrift -> open Crash Reporting Dialog"))
      << agent.log();
  const std::string window = findWindow("Vellumdrift");
  ASSERT_FALSE(window.empty()) << agent.log();
  saveScreenshot("e2e-dialog.png");
  runTool({"xdotool", "windowfocus", "--sync", window});
  ASSERT_EQ(runTool({"xdotool", "key", "Return"}).status, 0);

  ASSERT_TRUE(waitFor([&] { return pathExists(received()); })) << agent.log();
  const std::string url = readFile(received());

  const std::vector<std::string> uploads = paste_.bodies();
  ASSERT_EQ(uploads.size(), 1u);
  EXPECT_THAT(uploads[0], HasSubstr("EXC_BAD_ACCESS (SIGSEGV)"));
  EXPECT_THAT(uploads[0], HasSubstr("~/Documents/private.txt"));
  EXPECT_THAT(uploads[0], Not(HasSubstr(sandbox_.home())));

  const std::string address = paste_.baseUrl() + "/e2ekey";
  const std::string subject =
      "Vellumdrift ??? crash EXC_BAD_ACCESS (SIGSEGV) in VellumdriftFinderSync: "
      "-[VDBadgeProvider badgeForURL:] + 112";
  const std::string body =
      "Hi Ilvard,\n\nMy Vellumdrift just crashed!\n\nThe crash report is available here:\n" + address +
      "\n\n>\n> You may help me fix the problem by describing what happened before the crash.\n"
      "> I appreciate your help and I read these crash reports, but don't expect my direct answer.\n"
      "> For further discussion please open a topic at\n> " +
      std::string(build::kSupportForumAddress) + ".\n>\n> Thank you, Ilvard";
  const auto escape = [](const std::string& text) { return *stringByAddingPercentEscapes(text, "&"); };
  EXPECT_EQ(url, "mailto:" + std::string(build::kCrashReportRecipient) + "?SUBJECT=" + escape(subject) +
                     "&BODY=" + escape(body));
  EXPECT_THAT(agent.log(), HasSubstr("  => " + address));

  // The agent goes on watching, and ends as usual.
  EXPECT_TRUE(agent.running());
  agent.signal(SIGINT);
  EXPECT_EQ(agent.waitForExit(), 0);
}

TEST_F(CrashToMailTest, CancelSendsNothingAndTheAgentGoesOn) {
  AgentProcess agent(sandbox_);
  ASSERT_TRUE(agent.waitUntilWatching()) << agent.log();
  const std::string crash = placeCrashLog();
  agent.signal(SIGUSR1);
  ASSERT_TRUE(agent.waitForLog("'" + crash + "' crash report was related")) << agent.log();
  const std::string window = findWindow("Vellumdrift");
  ASSERT_FALSE(window.empty()) << agent.log();
  runTool({"xdotool", "windowfocus", "--sync", window});
  ASSERT_EQ(runTool({"xdotool", "key", "Escape"}).status, 0);
  // The dialog has gone: the helper ended with it.
  ASSERT_TRUE(waitFor([&] {
    return runTool({"xdotool", "search", "--onlyvisible", "--name", "^Vellumdrift$"}).status != 0;
  }));
  std::this_thread::sleep_for(1s);
  EXPECT_TRUE(paste_.bodies().empty());
  EXPECT_FALSE(pathExists(received()));
  EXPECT_THAT(agent.log(), Not(HasSubstr("Uploading crash report")));
  agent.signal(SIGINT);
  EXPECT_EQ(agent.waitForExit(), 0);
}

TEST_F(CrashToMailTest, InterruptOrTerminateWhileTheDialogIsOpenRefusesAndShutsDownPromptly) {
  for (const auto& [signal, line] :
       {std::pair{SIGINT, "caught SIGINT - exiting..."}, std::pair{SIGTERM, "caught SIGTERM - exiting..."}}) {
    SCOPED_TRACE(line);
    AgentProcess agent(sandbox_);
    ASSERT_TRUE(agent.waitUntilWatching()) << agent.log();
    const std::string crash = placeCrashLog();
    agent.signal(SIGUSR1);
    ASSERT_TRUE(agent.waitForLog("'" + crash + "' crash report was related")) << agent.log();
    ASSERT_FALSE(findWindow("Vellumdrift").empty());
    agent.signal(signal);
    // Far below the countdown-less dialog's wait for a button.
    EXPECT_EQ(agent.waitForExit(10s), 0);
    EXPECT_EQ(countOccurrences(agent.log(), line), 1) << agent.log();
    EXPECT_TRUE(paste_.bodies().empty());
    EXPECT_FALSE(pathExists(sandbox_.lockFile()));
    EXPECT_TRUE(waitFor([&] {
      return runTool({"xdotool", "search", "--onlyvisible", "--name", "^Vellumdrift$"}).status != 0;
    })) << "the dialog stayed";
  }
}

}  // namespace
}  // namespace cw::test

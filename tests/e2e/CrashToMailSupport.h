#pragma once

#include <atomic>
#include <chrono>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "Platform/ChildProcess.h"
#include "Platform/UniqueFd.h"
#include "process/AgentProcess.h"

namespace cw::test {

// A paste service of the hastebin kind on 127.0.0.1: POST /documents answers
// {"key": "e2ekey"}; it keeps every body it received.
class PasteServer {
public:
  PasteServer();
  ~PasteServer();
  PasteServer(const PasteServer&) = delete;
  PasteServer& operator=(const PasteServer&) = delete;

  std::string baseUrl() const { return "http://127.0.0.1:" + std::to_string(port_); }
  std::string uploadAddress() const { return baseUrl() + "/e2ekey"; }
  std::vector<std::string> bodies() const;
  // Answers only this long after a request came (a slow paste service).
  void setAnswerDelay(std::chrono::milliseconds delay) { delay_ = delay; }

private:
  void serve();
  void answer(int fd);

  UniqueFd listener_;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<std::chrono::milliseconds> delay_{std::chrono::milliseconds(0)};
  std::thread thread_;
  mutable std::mutex mutex_;
  std::vector<std::string> bodies_;
};

// bepasty, the real paste server, on 127.0.0.1 with a throwaway configuration
// and storage: anyone may create items, only the vendor's secret reads them.
class BepastyServer {
public:
  BepastyServer();
  ~BepastyServer();
  BepastyServer(const BepastyServer&) = delete;
  BepastyServer& operator=(const BepastyServer&) = delete;

  // Empty when it did not start.
  const std::string& url() const { return url_; }
  // An item's bytes as the vendor downloads them; absent when that fails.
  std::optional<std::string> download(const std::string& item) const;

private:
  TempDir dir_;
  ChildProcess server_;
  std::string url_;
};

// The road's surroundings for an agent in a sandbox: a recording mail
// handler that xdg-open finds in its generic mode (it writes the mailto: URL
// to received()), English, and the paste server above. xdg-open never falls
// back to a browser of the machine.
class MailRoad {
public:
  // The paste service is the hastebin-like server above, or the bepasty
  // server at `bepastyUrl` when one is given.
  explicit MailRoad(AgentSandbox& sandbox, const std::string& bepastyUrl = "");

  // No program is set up for mailto: links any more.
  void removeMailHandler() const;

  std::string received() const { return sandbox_.home() + "/received-mail"; }
  // The fixture crash log of a Vellumdrift crash of Finder, naming the
  // user's home folder at its end, in the local crash-reporter folder.
  std::string placeCrashLog() const;
  // The exact mailto: URL the agent must hand over for that crash log.
  std::string expectedMail() const;
  const PasteServer& paste() const { return paste_; }
  PasteServer& paste() { return paste_; }

private:
  AgentSandbox& sandbox_;
  PasteServer paste_;
};

// What the sandbox's upload-gist --show prints for `crash`, in the agent's
// surroundings (its environment, no login profile).
std::string uploadGistShows(const AgentSandbox& sandbox, const std::string& crash);

}  // namespace cw::test

#include "dialog/XvfbServer.h"

#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>

#include "loop/LoopTestSupport.h"

namespace cw::test {
namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kServerStartGuard = std::chrono::seconds(30);

}  // namespace

XvfbServer::XvfbServer() {
  // -displayfd: the server writes the number it chose once it accepts
  // connections, which is also our sign that it is ready.
  auto spawned = ui::HelperProcess::spawn(
      "/usr/bin/Xvfb", {"-displayfd", "3", "-screen", "0", "1024x768x24", "-nolisten", "tcp", "-noreset"}, 3);
  if (!spawned) return;
  process_ = std::move(*spawned);
  std::string number;
  const auto deadline = Clock::now() + kServerStartGuard;
  while (number.find('\n') == std::string::npos && Clock::now() < deadline) {
    pollfd entry{process_->socket(), POLLIN, 0};
    if (::poll(&entry, 1, 200) <= 0) continue;
    char buffer[32];
    const ssize_t got = ::read(process_->socket(), buffer, sizeof buffer);
    if (got <= 0) break;
    number.append(buffer, static_cast<std::size_t>(got));
  }
  const auto newline = number.find('\n');
  if (newline == std::string::npos || newline == 0) return;
  display_ = ":" + number.substr(0, newline);
}

XvfbServer::~XvfbServer() {
  if (!process_ || process_->reaped()) return;
  // A terminated server removes its lock file and socket; a killed one not.
  ::kill(process_->processIdentifier(), SIGTERM);
  awaitChildEnd(process_->child(), std::chrono::seconds(10));
  process_->terminate();
}

}  // namespace cw::test

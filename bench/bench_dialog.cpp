// The consent dialog's drawing side: how long from the agent's request until
// the window is on screen, and what a dialog costs in resident memory, in the
// helper and in the agent before, during and after it. Runs on an Xvfb of its
// own; needs Xvfb and the built helper.
#include <X11/Xlib.h>
#include <benchmark/benchmark.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <string>

#include "Platform/RunLoop.h"
#include "UI/DialogHelperClient.h"
#include "UI/HelperProcess.h"
#include "dialog/XvfbServer.h"

namespace {

using Clock = std::chrono::steady_clock;
using cw::ui::ControlKind;

// Resident set size of a process in KiB, from /proc; -1 when unknown.
double residentKiB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind("VmRSS:", 0) == 0) return std::atof(line.c_str() + 6);
  return -1;
}

// Watches the root window for a top-level window being mapped: with no window
// manager, that is the dialog appearing.
class MapWatcher {
public:
  explicit MapWatcher(const std::string& display) : connection_(XOpenDisplay(display.c_str())) {
    if (connection_) XSelectInput(connection_, DefaultRootWindow(connection_), SubstructureNotifyMask);
    if (connection_) XSync(connection_, True);
  }
  ~MapWatcher() {
    if (connection_) XCloseDisplay(connection_);
  }
  MapWatcher(const MapWatcher&) = delete;
  MapWatcher& operator=(const MapWatcher&) = delete;
  explicit operator bool() const { return connection_ != nullptr; }

  bool waitForMap(std::chrono::seconds guard) {
    const auto deadline = Clock::now() + guard;
    while (Clock::now() < deadline) {
      while (XPending(connection_) > 0) {
        XEvent event;
        XNextEvent(connection_, &event);
        if (event.type == MapNotify) return true;
      }
      pollfd entry{ConnectionNumber(connection_), POLLIN, 0};
      ::poll(&entry, 1, 50);
    }
    return false;
  }

private:
  Display* connection_;
};

void buildDialog(cw::ui::Backend& backend, cw::ui::ControlId& window) {
  window = backend.createControl(ControlKind::Window, 0, cw::ui::makeRect(300, 284, 420, 200));
  backend.setText(window, "CrashWatcher");
  const auto content = backend.createControl(ControlKind::View, window, cw::ui::makeRect(0, 0, 420, 200));
  const auto heading = backend.createControl(ControlKind::TextField, content, cw::ui::makeRect(20, 150, 380, 30));
  backend.setTextStyle(heading, true, 14, false);
  backend.setText(heading, "Vellumdrift quit unexpectedly");
  const auto message = backend.createControl(ControlKind::TextField, content, cw::ui::makeRect(20, 70, 380, 70));
  backend.setTextStyle(message, false, 12, true);
  backend.setText(message, "Finder crashed while Vellumdrift was loaded. May a report of the crash be sent?");
  const auto cancel = backend.createControl(ControlKind::Button, content, cw::ui::makeRect(210, 20, 90, 32));
  backend.setText(cancel, "Cancel");
  const auto send = backend.createControl(ControlKind::Button, content, cw::ui::makeRect(310, 20, 90, 32));
  backend.setText(send, "Send Report");
  // The two measurements the consent dialog makes before it shows.
  backend.fittingSize(send);
  backend.fittingSize(cancel);
}

void BM_DialogRequestToShown(benchmark::State& state) {
  cw::test::XvfbServer server;
  if (server.display().empty()) return state.SkipWithError("Xvfb did not start");
  ::setenv("DISPLAY", server.display().c_str(), 1);
  ::setenv("GDK_BACKEND", "x11", 1);
  ::setenv("NO_AT_BRIDGE", "1", 1);
  ::setenv("GSETTINGS_BACKEND", "memory", 1);

  const pid_t self = ::getpid();
  double agentBefore = 0, agentDuring = 0, agentAfter = 0, helperReady = 0, helperShown = 0, untilReady = 0;
  for (auto _ : state) {
    MapWatcher watcher(server.display());
    if (!watcher) return state.SkipWithError("cannot watch the display");
    agentBefore += residentKiB(self);
    const auto start = Clock::now();
    {
      cw::ui::DialogHelperClient client;
      cw::ui::ControlId window = 0;
      // Any answer, even about no control, comes once GTK is up.
      client.fittingSize(0);
      untilReady += std::chrono::duration<double, std::milli>(Clock::now() - start).count();
      helperReady += residentKiB(client.helperProcessIdentifier());
      buildDialog(client, window);
      client.showWindow(window);
      client.activate();
      if (!watcher.waitForMap(std::chrono::seconds(30)) || !client.isAlive())
        return state.SkipWithError("the dialog did not show");
      state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
      // Let it draw before weighing it.
      cw::RunLoop::current().runOnce(cw::kModalPanelRunLoopMode, std::chrono::milliseconds(200));
      client.fittingSize(window);
      helperShown += residentKiB(client.helperProcessIdentifier());
      agentDuring += residentKiB(self);
    }
    agentAfter += residentKiB(self);
  }
  const double n = static_cast<double>(state.iterations());
  state.counters["ready_ms"] = untilReady / n;
  state.counters["helper_ready_KiB"] = helperReady / n;
  state.counters["helper_shown_KiB"] = helperShown / n;
  state.counters["agent_before_KiB"] = agentBefore / n;
  state.counters["agent_during_KiB"] = agentDuring / n;
  state.counters["agent_after_KiB"] = agentAfter / n;
}
BENCHMARK(BM_DialogRequestToShown)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(20);

}  // namespace

BENCHMARK_MAIN();

#include "wayland/WestonCompositor.h"

#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <sstream>
#include <thread>

#include "dialog/DialogTestSupport.h"
#include "loop/LoopTestSupport.h"

namespace cw::test {
namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kStartGuard = std::chrono::seconds(30);
constexpr const char* kSocketName = "cw-weston";

}  // namespace

Screenshot::Pixel Screenshot::at(int x, int y) const {
  const auto offset = (static_cast<std::size_t>(y) * static_cast<std::size_t>(width) + static_cast<std::size_t>(x)) * 3;
  if (x < 0 || y < 0 || x >= width || y >= height || offset + 2 >= rgb.size()) return {0, 0, 0};
  const auto channel = [this, offset](std::size_t i) {
    return static_cast<int>(static_cast<unsigned char>(rgb[offset + i]));
  };
  return {channel(0), channel(1), channel(2)};
}

WestonCompositor::WestonCompositor(std::string xDisplay) : xDisplay_(std::move(xDisplay)) {
  ::chmod(runtime_.path().c_str(), 0700);
  // The desktop shell on black, without panel, clock or animations: what is
  // lit on the output is the window, drawn at once.
  writeFile(runtime_ / "weston.ini",
            "[core]\nidle-time=0\n\n"
            "[shell]\nbackground-color=0xff000000\npanel-position=none\nlocking=false\nanimation=none\n"
            "close-animation=none\nstartup-animation=none\nfocus-animation=none\n");
  // --debug lets weston-screenshooter take pictures of the output.
  std::vector<std::string> arguments{
      "--socket=" + std::string(kSocketName), "--config=" + (runtime_ / "weston.ini"), "--use-pixman", "--debug",
      // On an X server, smaller than its screen: the
      // pointer can leave, and its cursor with it.
      xDisplay_.empty() ? "--width=1024" : "--width=800", xDisplay_.empty() ? "--height=768" : "--height=600",
      "--log=" + (runtime_ / "weston.log")};
  arguments.push_back(xDisplay_.empty() ? "--backend=headless-backend.so" : "--backend=x11-backend.so");
  {
    ScopedEnv runtime("XDG_RUNTIME_DIR", runtime_.path().c_str());
    ScopedEnv display("DISPLAY", xDisplay_.empty() ? nullptr : xDisplay_.c_str());
    ScopedEnv wayland("WAYLAND_DISPLAY", nullptr);
    if (auto spawned = ui::HelperProcess::spawn("/usr/bin/weston", arguments, 3)) process_ = std::move(*spawned);
  }
  if (!process_) return;
  // The socket appears once weston listens; clients that connect then are
  // served as soon as its shell is loaded.
  const std::string socket = runtime_ / kSocketName;
  const auto deadline = Clock::now() + kStartGuard;
  while (Clock::now() < deadline && ::kill(process_->processIdentifier(), 0) == 0) {
    if (std::filesystem::exists(socket) && (xDisplay_.empty() || !xWindow().empty())) {
      socket_ = socket;
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

WestonCompositor::~WestonCompositor() {
  if (!process_ || process_->reaped()) return;
  ::kill(process_->processIdentifier(), SIGTERM);
  awaitChildEnd(process_->child(), std::chrono::seconds(10));
  process_->terminate();
}

std::string WestonCompositor::xWindow() const {
  if (xDisplay_.empty()) return {};
  const ToolResult found = runTool({"DISPLAY=" + xDisplay_, "xdotool", "search", "--classname", "^weston"});
  return found.output.substr(0, found.output.find('\n'));
}

std::optional<Screenshot> WestonCompositor::screenshot() const {
  if (!running()) return std::nullopt;
  // The screenshooter writes wayland-screenshot-<time>.png where it runs.
  const TempDir folder;
  const std::string command = "cd '" + folder.path() + "' && WAYLAND_DISPLAY='" + socket_ +
                              "' weston-screenshooter >/dev/null 2>&1 && for f in wayland-screenshot-*.png; do "
                              "identify -format '%w %h\\n' \"$f\" && convert \"$f\" -depth 8 rgb:-; done";
  const ToolResult result = runTool({"sh", "-c", command});
  const auto newline = result.output.find('\n');
  if (result.status != 0 || newline == std::string::npos) return std::nullopt;
  Screenshot shot;
  std::istringstream(result.output.substr(0, newline)) >> shot.width >> shot.height;
  shot.rgb = result.output.substr(newline + 1);
  if (shot.width <= 0 || shot.rgb.size() != static_cast<std::size_t>(shot.width) * shot.height * 3) return std::nullopt;
  return shot;
}

std::string WestonCompositor::log() const {
  return pathExists(runtime_ / "weston.log") ? readFile(runtime_ / "weston.log") : std::string();
}

}  // namespace cw::test

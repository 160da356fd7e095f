#include "dialog/DialogTestSupport.h"

#include <poll.h>
#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>

#include "Platform/RunLoop.h"
#include "Platform/Task.h"

namespace cw::test {
namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kToolGuard = std::chrono::seconds(60);

}  // namespace

ToolResult runTool(const std::vector<std::string>& argv) {
  ToolResult result;
  Task task;
  task.setLaunchPath("/usr/bin/env");
  task.setArguments(argv);
  task.setTimeLimit(std::chrono::duration_cast<std::chrono::milliseconds>(kToolGuard));
  if (!task.run()) return result;
  result.output = task.output();
  result.status = task.terminationStatus();
  return result;
}

bool runModalUntil(const std::function<bool()>& done, std::chrono::seconds guard) {
  const auto deadline = Clock::now() + guard;
  while (!done()) {
    if (Clock::now() >= deadline) return false;
    RunLoop::current().runOnce(kModalPanelRunLoopMode, std::chrono::milliseconds(100));
  }
  return true;
}

bool EventLog::has(ui::BackendEvent::Type type) const {
  return std::any_of(events.begin(), events.end(),
                     [type](const ui::BackendEvent& event) { return event.type == type; });
}

TestDialog TestDialog::build(ui::Backend& backend, std::string title) {
  using ui::ControlKind;
  TestDialog dialog;
  dialog.title = std::move(title);
  dialog.window = backend.createControl(ControlKind::Window, 0, kWindowFrame);
  backend.setText(dialog.window, dialog.title);
  dialog.content = backend.createControl(ControlKind::View, dialog.window, ui::makeRect(0, 0, kWidth, kHeight));

  dialog.heading = backend.createControl(ControlKind::TextField, dialog.content, ui::makeRect(20, 150, 380, 30));
  backend.setTextStyle(dialog.heading, true, 14, false);
  backend.setText(dialog.heading, "Vellumdrift quit unexpectedly");

  dialog.message = backend.createControl(ControlKind::TextField, dialog.content, ui::makeRect(20, 70, 380, 70));
  backend.setTextStyle(dialog.message, false, 12, true);
  backend.setText(dialog.message,
                  "Finder crashed while Vellumdrift was loaded. May a report of the crash be sent to the vendor? "
                  "The report holds the crash log and nothing else.");

  dialog.cancel = backend.createControl(ControlKind::Button, dialog.content, kCancelFrame);
  backend.setText(dialog.cancel, "Cancel");
  backend.setKeyEquivalent(dialog.cancel, "\x1b");

  dialog.send = backend.createControl(ControlKind::Button, dialog.content, kSendFrame);
  backend.setText(dialog.send, "Send Report");
  backend.setKeyEquivalent(dialog.send, "\r");
  return dialog;
}

void TestDialog::fitButtons(ui::Backend& backend) {
  const auto fit = [&backend](ui::ControlId button, const ui::Rect& frame) {
    const ui::Size natural = backend.fittingSize(button);
    const double width = std::max(70.0, natural.width + 12);
    const ui::Rect fitted =
        ui::makeRect(frame.origin.x + frame.size.width - width, frame.origin.y, width, natural.height);
    backend.setFrame(button, fitted);
    return fitted;
  };
  const ui::Rect sent = fit(send, sendFrame);
  const double growth = sent.size.width - sendFrame.size.width;
  sendFrame = sent;
  cancelFrame.origin.x -= growth;
  backend.setFrame(cancel, cancelFrame);
  cancelFrame = fit(cancel, cancelFrame);
}

void TestDialog::addDetails(ui::Backend& backend) {
  using ui::ControlKind;
  details = backend.createControl(ControlKind::Button, content, kDetailsFrame);
  backend.setText(details, "Details…");
  area = backend.createControl(ControlKind::TextView, content, kAreaFrame);
  backend.setTextStyle(area, false, 11, false);
  backend.setHidden(area, true);
}

std::unique_ptr<XvfbServer>& DialogTest::server() {
  static std::unique_ptr<XvfbServer> instance;
  return instance;
}

void DialogTest::SetUpTestSuite() {
  server() = std::make_unique<XvfbServer>();
}

void DialogTest::TearDownTestSuite() {
  server().reset();
}

std::string DialogTest::display() {
  return server() ? server()->display() : std::string();
}

void isolateFromSession(std::vector<std::unique_ptr<ScopedEnv>>& environment, const TempDir& runtime) {
  ::chmod(runtime.path().c_str(), 0700);
  const auto set = [&environment](const char* name, const char* value) {
    environment.push_back(std::make_unique<ScopedEnv>(name, value));
  };
  set("XDG_RUNTIME_DIR", runtime.path().c_str());
  // No accessibility bus, no session bus, no settings daemon: nothing of the
  // machine's session may leak into the test or be changed by it.
  set("NO_AT_BRIDGE", "1");
  set("GSETTINGS_BACKEND", "memory");
  set("DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + (runtime / "no-bus")).c_str());
}

void DialogTest::SetUp() {
  ASSERT_FALSE(display().empty()) << "Xvfb did not start";
  isolateFromSession(environment_, runtime_);
  environment_.push_back(std::make_unique<ScopedEnv>("DISPLAY", display().c_str()));
  environment_.push_back(std::make_unique<ScopedEnv>("WAYLAND_DISPLAY", nullptr));
  environment_.push_back(std::make_unique<ScopedEnv>("XAUTHORITY", nullptr));
  environment_.push_back(std::make_unique<ScopedEnv>("GDK_BACKEND", "x11"));
}

std::string DialogTest::findWindow(const std::string& title) {
  const ToolResult found = runTool({"xdotool", "search", "--sync", "--onlyvisible", "--name", "^" + title + "$"});
  return found.output.substr(0, found.output.find('\n'));
}

void DialogTest::saveScreenshot(const std::string& name) {
  const std::string folder = std::string(CW_BINARY_DIR) + "/artifacts";
  makeDirectories(folder);
  const std::string command = "xwd -root -display " + display() + " | convert xwd:- png:" + folder + "/" + name;
  runTool({"sh", "-c", command});
}

void DialogTest::saveWindowPicture(const std::string& window, const std::string& path) {
  const std::string partial = path + ".partial";
  const std::string command = "xwd -id " + window + " -display " + display() + " | convert xwd:- -strip png:'" +
                              partial + "' && mv '" + partial + "' '" + path + "'";
  runTool({"sh", "-c", command});
}

}  // namespace cw::test

#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "UI/Backend.h"
#include "dialog/XvfbServer.h"
#include "loop/LoopTestSupport.h"
#include "support/TestSupport.h"

namespace cw::test {

struct ToolResult {
  int status = -1;
  std::string output;
};
// Runs a program (looked up in PATH) to its end with a generous hang guard.
ToolResult runTool(const std::vector<std::string>& argv);

// Serves the run loop's modal mode until `done` answers true; false if the
// hang guard ran out first.
bool runModalUntil(const std::function<bool()>& done, std::chrono::seconds guard = std::chrono::seconds(30));

// Collects the events a backend reports.
struct EventLog {
  std::vector<ui::BackendEvent> events;
  std::function<void(const ui::BackendEvent&)> handler() {
    return [this](const ui::BackendEvent& event) { events.push_back(event); };
  }
  bool has(ui::BackendEvent::Type type) const;
};

// The consent dialog's controls as the agent makes them, without the layout
// loader: window, content view, heading, wrapping message, cancel and send.
struct TestDialog {
  static constexpr double kWidth = 420;
  static constexpr double kHeight = 200;
  static constexpr ui::Rect kWindowFrame{{300, 284}, {kWidth, kHeight}};
  static constexpr ui::Rect kCancelFrame{{210, 20}, {90, 32}};
  static constexpr ui::Rect kSendFrame{{310, 20}, {90, 32}};

  ui::ControlId window = 0;
  ui::ControlId content = 0;
  ui::ControlId heading = 0;
  ui::ControlId message = 0;
  ui::ControlId cancel = 0;
  ui::ControlId send = 0;
  std::string title;
  ui::Rect cancelFrame = kCancelFrame;
  ui::Rect sendFrame = kSendFrame;

  static TestDialog build(ui::Backend& backend, std::string title);
  // Fits the buttons to their captions as the consent dialog does: natural
  // width + 12, at least 70, right edges kept, cancel following send's growth.
  void fitButtons(ui::Backend& backend);

  // The Details button at the left of the row, and its area, a hidden text
  // view over the heading and the message.
  static constexpr ui::Rect kDetailsFrame{{20, 20}, {90, 32}};
  static constexpr ui::Rect kAreaFrame{{20, 70}, {380, 110}};
  ui::ControlId details = 0;
  ui::ControlId area = 0;
  void addDetails(ui::Backend& backend);
};

// Keeps GTK from the machine's session: a private runtime folder (mode 0700),
// no accessibility or session bus, settings in memory; for the scope of
// `environment`.
void isolateFromSession(std::vector<std::unique_ptr<ScopedEnv>>& environment, const TempDir& runtime);

// Every GTK test: a temporary HOME, the helper pointed at our own Xvfb and
// kept from the session's buses and settings.
class DialogTest : public ::testing::Test {
protected:
  static void SetUpTestSuite();
  static void TearDownTestSuite();
  void SetUp() override;

  static std::string display();
  // The X window of the visible window titled `title`, waiting for it to map.
  static std::string findWindow(const std::string& title);
  // A PNG of the whole screen under <build>/artifacts.
  static void saveScreenshot(const std::string& name);
  // A PNG of one window at `path`, replaced whole; without metadata, so that
  // the same pixels give the same file.
  static void saveWindowPicture(const std::string& window, const std::string& path);

private:
  static std::unique_ptr<XvfbServer>& server();

  TempHome home_;
  TempDir runtime_;
  std::vector<std::unique_ptr<ScopedEnv>> environment_;
};

// Sends the window manager's close request (what a close button does).
bool requestWindowClose(const std::string& display, const std::string& window);
// What the clipboard holds as UTF-8 text, or absent when nobody offers any.
std::optional<std::string> readClipboard(const std::string& display);

}  // namespace cw::test

#pragma once

#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "dialog/DialogTestSupport.h"
#include "e2e/CrashToMailSupport.h"
#include "process/AgentProcess.h"

namespace cw::test {

// The built agent with its built resources and dialog helper, drawing on our
// own X server, and the steps a user takes with it.
class AgentOnDisplay : public DialogTest {
protected:
  void SetUp() override {
    DialogTest::SetUp();
    sandbox_.useBuiltResources();
    sandbox_.installDialogHelper();
    sandbox_.addEnvironment("DISPLAY=" + display());
  }

  // Polls no faster than the tools in the conditions can answer; the guard
  // only stops a hang.
  static bool waitFor(const std::function<bool()>& done) {
    return waitUntil(done, std::chrono::seconds(60), std::chrono::milliseconds(50));
  }

  // The road's crash log placed and a scan asked for; its path, once the
  // agent has judged it related (and so opens its dialog).
  static std::string relatedCrashAsked(const AgentProcess& agent, const MailRoad& road) {
    const std::string crash = road.placeCrashLog();
    agent.signal(SIGUSR1);
    EXPECT_TRUE(agent.waitForLog("'" + crash + "' crash report was related")) << agent.log();
    return crash;
  }

  // Keys pressed in `window` as a user at the keyboard would.
  static void keys(const std::string& window, std::vector<std::string> names) {
    runTool({"xdotool", "windowfocus", "--sync", window});
    names.insert(names.begin(), {"xdotool", "key", "--clearmodifiers"});
    runTool(names);
  }

  // `key` pressed in the window titled `title`, which must be showing.
  void press(const std::string& title, const std::string& key, const AgentProcess& agent) {
    const std::string window = findWindow(title);
    ASSERT_FALSE(window.empty()) << title << " never showed\n" << agent.log();
    keys(window, {key});
  }

  static bool windowGone(const std::string& title) {
    return waitFor([&] {
      return runTool({"xdotool", "search", "--onlyvisible", "--name", "^" + title + "$"}).status != 0;
    });
  }

  static void endAgent(AgentProcess& agent) {
    agent.signal(SIGINT);
    EXPECT_EQ(agent.waitForExit(), 0) << agent.log();
  }

  AgentSandbox sandbox_;
};

}  // namespace cw::test

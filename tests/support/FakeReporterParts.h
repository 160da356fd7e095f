#pragma once

// Stand-ins for the parts of a Reporter that reach outside the process.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "Desktop.h"
#include "HelperScripts.h"

namespace cw::test {

// Records the URLs opened and the applications asked for and activated;
// each opening ends as `opening` says.
class RecordingDesktop final : public Desktop {
public:
  URLOpening openURL(const std::string& url, std::function<void(int)>) override {
    opened.push_back(url);
    return opening;
  }
  std::vector<RunningApplication> runningApplicationsWithBundleIdentifier(std::string_view id) override {
    asked.emplace_back(id);
    return running;
  }
  bool activate(const RunningApplication& application, unsigned options) override {
    activated.emplace_back(application.processIdentifier(), options);
    return true;
  }

  URLOpening opening;
  std::vector<std::string> opened;
  std::vector<std::string> asked;
  std::vector<RunningApplication> running;
  std::vector<std::pair<pid_t, unsigned>> activated;
};

// Scripts that must not run.
class NoHelperScripts final : public HelperScripts {
public:
  Result run(std::string_view, std::string_view, bool) override {
    ADD_FAILURE() << "a helper script was run";
    return {};
  }
};

}  // namespace cw::test

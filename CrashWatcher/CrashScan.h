#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "FRCrashLogFinder.h"

namespace cw {

// What a scan asks of crash reporting; the Reporter answers in the agent,
// fakes in tests. Each call returns only when its work is done.
class ScanReporter {
public:
  virtual ~ScanReporter() = default;
  virtual std::int32_t askShellCommandWithCrashFile(std::string_view command, std::string_view crashFile) = 0;
  virtual bool askUserPermissionToSend() = 0;
  virtual void report(const std::optional<std::string>& crashFile) = 0;
};

// The scan for Finder crash logs that every directory event and user-signal-1
// asks for, as a small state machine that main drives:
//
//   idle --run()--> scanning --scan ends--> idle
//   idle or scanning --stop()--> stopping (for good)
//
// While scanning or stopping, a request for another scan is turned away (the
// helper-script runs and the dialog serve the run loop, so such requests do
// come). Stopping lets a scan under way ask nothing more.
//
// One scan: find the logs of the look-back window, ask the relatedness script
// about each in turn, and at the first related one offer a report (consent,
// then the report of the log chosen by logToReport()).
class CrashScan {
public:
  enum class State { Idle, Scanning, Stopping };

  using Finder = std::function<std::vector<std::string>(const std::optional<Date>& since)>;
  using Clock = std::function<Date()>;

  // The look-back window of a scan, and the script asked about each log.
  static constexpr double kLookBackSeconds = 10.0;
  static constexpr std::string_view kRelatedScript = "related-crash-report";

  explicit CrashScan(
      ScanReporter& reporter, Finder finder = FRCrashLogFinder::findCrashLogsSince,
      Clock clock = [] { return std::chrono::system_clock::now(); });

  // Runs one scan to its end; false when turned away (not idle).
  bool run();
  // From now on nothing more is asked, and no scan starts.
  void stop();
  State state() const { return state_; }

private:
  // Where a scan that starts at `scanStart` begins to look.
  Date lookBackStart(Date scanStart) const;
  // Asks the relatedness script about `path` and logs the answer.
  bool isRelated(const std::string& path);
  // The log that a report concerns once `logs[related]` was found related:
  // the last of the list, which need not be the related one.
  const std::string& logToReport(const std::vector<std::string>& logs, std::size_t related) const;
  // Asks for consent and, given it, reports `crashFile`.
  void offerReport(const std::string& crashFile);
  void scan();

  ScanReporter& reporter_;
  Finder finder_;
  Clock clock_;
  State state_ = State::Idle;
};

}  // namespace cw

#include "CrashScan.h"

#include "Platform/SystemLog.h"

namespace cw {

CrashScan::CrashScan(ScanReporter& reporter, Finder finder, Clock clock)
    : reporter_(reporter), finder_(std::move(finder)), clock_(std::move(clock)) {}

bool CrashScan::run() {
  if (state_ != State::Idle) return false;
  state_ = State::Scanning;
  scan();
  if (state_ == State::Scanning) state_ = State::Idle;
  return true;
}

void CrashScan::stop() {
  state_ = State::Stopping;
}

Date CrashScan::lookBackStart(Date scanStart) const {
  return scanStart - std::chrono::duration_cast<Date::duration>(std::chrono::duration<double>(kLookBackSeconds));
}

bool CrashScan::isRelated(const std::string& path) {
  const bool related = reporter_.askShellCommandWithCrashFile(kRelatedScript, path) == 1;
  // An answer cut short by a stop is no answer.
  if (state_ == State::Stopping) return false;
  if (related)
    systemLog("'%@' crash report was related to Vellumdrift -> open Crash Reporting Dialog", path);
  else
    systemLog("'%@' crash report was not related to Vellumdrift", path);
  return related;
}

const std::string& CrashScan::logToReport(const std::vector<std::string>& logs, std::size_t) const {
  return logs.back();
}

void CrashScan::offerReport(const std::string& crashFile) {
  if (state_ == State::Stopping) return;
  const bool consented = reporter_.askUserPermissionToSend();
  if (consented && state_ != State::Stopping) reporter_.report(crashFile);
}

void CrashScan::scan() {
  const std::vector<std::string> logs = finder_(lookBackStart(clock_()));
  for (std::size_t index = 0; index < logs.size() && state_ != State::Stopping; ++index) {
    if (!isRelated(logs[index])) continue;
    offerReport(logToReport(logs, index));
    return;
  }
}

}  // namespace cw

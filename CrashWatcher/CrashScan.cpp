#include "CrashScan.h"

#include <algorithm>
#include <tuple>

#include "Platform/PrintableText.h"
#include "Platform/SystemLog.h"

namespace cw {
namespace {

Date::duration seconds(double count) {
  return std::chrono::duration_cast<Date::duration>(std::chrono::duration<double>(count));
}

}  // namespace

CrashScan::CrashScan(ScanReporter& reporter, Finder finder, Clock clock, Identify identify)
    : reporter_(reporter), finder_(std::move(finder)), clock_(std::move(clock)), identify_(std::move(identify)) {}

bool CrashScan::run(Trigger trigger) {
  if (state_ != State::Idle) {
    if (state_ == State::Scanning && trigger == Trigger::FolderChange) changeTurnedAway_ = true;
    return false;
  }
  state_ = State::Scanning;
  for (bool again = true; again && state_ == State::Scanning;) {
    changeTurnedAway_ = false;
    const bool offered = scan();
    again = offered || changeTurnedAway_;
  }
  if (state_ == State::Scanning) state_ = State::Idle;
  return true;
}

void CrashScan::stop() {
  state_ = State::Stopping;
}

Date CrashScan::lookBackStart(Date scanStart) const {
  Date start = scanStart - seconds(kLookBackSeconds);
  if (lookFrom_) start = std::min(start, *lookFrom_);
  return std::max(start, scanStart - seconds(kLongestLookBackSeconds));
}

std::vector<CrashScan::CrashLog> CrashScan::logsToAsk(Date since) const {
  std::vector<CrashLog> logs;
  for (std::string& path : finder_(since)) {
    // One that has gone since it was listed is left out, as the finder does.
    const std::optional<CrashLogIdentity> identity = identify_(path);
    if (identity && !asked_.contains(*identity)) logs.push_back({std::move(path), *identity});
  }
  std::sort(logs.begin(), logs.end(), [](const CrashLog& a, const CrashLog& b) {
    return std::tie(a.identity.modified, a.path) < std::tie(b.identity.modified, b.path);
  });
  return logs;
}

bool CrashScan::isRelated(const CrashLog& log) {
  asked_.add(log.identity);
  const bool related = reporter_.askShellCommandWithCrashFile(kRelatedScript, log.path) == 1;
  // An answer cut short by a stop is no answer.
  if (state_ == State::Stopping) return false;
  if (related)
    systemLog("'%@' crash report was related to Vellumdrift -> open Crash Reporting Dialog", printableForLog(log.path));
  else
    systemLog("'%@' crash report was not related to Vellumdrift", printableForLog(log.path));
  return related;
}

const CrashScan::CrashLog& CrashScan::logToReport(const std::vector<CrashLog>& logs, std::size_t related) const {
  return logs[related];
}

void CrashScan::offerReport(const std::string& crashFile) {
  if (state_ == State::Stopping) return;
  const bool consented = reporter_.askUserPermissionToSend();
  if (consented && state_ != State::Stopping) reporter_.report(crashFile);
}

bool CrashScan::scan() {
  const Date scanStart = clock_();
  const Date since = lookBackStart(scanStart);
  lookFrom_ = scanStart;
  // What is older than the reach is never listed again.
  asked_.forgetModifiedBefore(since);
  const std::vector<CrashLog> logs = logsToAsk(since);
  for (std::size_t index = 0; index < logs.size() && state_ != State::Stopping; ++index) {
    // The same file under a second name (a link) was asked about just now.
    if (asked_.contains(logs[index].identity) || !isRelated(logs[index])) continue;
    // The logs after it wait for the next scan, which must still find them.
    if (index + 1 < logs.size()) lookFrom_ = std::min(scanStart, logs[index + 1].identity.modified);
    offerReport(logToReport(logs, index).path);
    return true;
  }
  return false;
}

}  // namespace cw

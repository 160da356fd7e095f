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
  // What got no answer is asked about again from the next change on.
  askLater_.clear();
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
    if (identity && !asked_.contains(*identity) && !askLater_.contains(*identity))
      logs.push_back({std::move(path), *identity});
  }
  std::sort(logs.begin(), logs.end(), [](const CrashLog& a, const CrashLog& b) {
    return std::tie(a.identity.modified, a.path) < std::tie(b.identity.modified, b.path);
  });
  return logs;
}

bool CrashScan::firstFailure(const CrashLog& log) {
  if (failuresLogged_.contains(log.identity)) return false;
  failuresLogged_.add(log.identity);
  return true;
}

CrashScan::Verdict CrashScan::ask(const CrashLog& log) {
  const HelperScripts::Result answer = reporter_.askScriptWithCrashFile(kRelatedScript, log.path);
  // An answer cut short by a stop is no answer, and nothing is logged.
  if (state_ == State::Stopping) return Verdict::NoAnswer;
  const bool related = answer.ownExit && answer.status == 1;
  // A failure that was logged before is not logged at every later scan.
  if (!answer.ownExit && !firstFailure(log)) return Verdict::NoAnswer;
  if (related)
    systemLog("'%@' crash report was related to Vellumdrift -> open Crash Reporting Dialog", printableForLog(log.path));
  else
    systemLog("'%@' crash report was not related to Vellumdrift", printableForLog(log.path));
  // A status that is no answer of the script's contract says what went wrong.
  if (!answer.ownExit)
    systemLog("'%@': %@ %@; it is asked about again at the next scan", printableForLog(log.path), kRelatedScript,
              answer.ending);
  else if (answer.status != 0 && answer.status != 1)
    systemLog("'%@': %@ %@", printableForLog(log.path), kRelatedScript, answer.ending);
  if (!answer.ownExit) return Verdict::NoAnswer;
  return related ? Verdict::Related : Verdict::NotRelated;
}

const CrashScan::CrashLog& CrashScan::logToReport(const std::vector<CrashLog>& logs, std::size_t related) const {
  return logs[related];
}

bool CrashScan::offerReport(const CrashLog& log) {
  if (state_ == State::Stopping) return false;
  const ConsentAnswer answer = reporter_.askForConsent(log.path);
  if (state_ == State::Stopping) return false;
  if (answer == ConsentAnswer::NotAnswered) {
    if (firstFailure(log))
      systemLog(
          "'%@' crash report was not offered: the dialog was not answered; it is asked about again at the next scan",
          printableForLog(log.path));
    return false;
  }
  if (answer == ConsentAnswer::Send) reporter_.report(log.path);
  return true;
}

void CrashScan::askLater(const CrashLog& log) {
  askLater_.insert(log.identity);
  lookFrom_ = std::min(*lookFrom_, log.identity.modified);
}

bool CrashScan::scan() {
  const Date scanStart = clock_();
  const Date since = lookBackStart(scanStart);
  lookFrom_ = scanStart;
  for (const CrashLogIdentity& waiting : askLater_) lookFrom_ = std::min(*lookFrom_, waiting.modified);
  // What is older than the reach is never listed again.
  asked_.forgetModifiedBefore(since);
  failuresLogged_.forgetModifiedBefore(since);
  const std::vector<CrashLog> logs = logsToAsk(since);
  for (std::size_t index = 0; index < logs.size() && state_ != State::Stopping; ++index) {
    const CrashLog& log = logs[index];
    // The same file under a second name (a link) was asked about just now.
    if (asked_.contains(log.identity) || askLater_.contains(log.identity)) continue;
    const Verdict verdict = ask(log);
    if (verdict == Verdict::NoAnswer) {
      if (state_ != State::Stopping) askLater(log);
      continue;
    }
    if (verdict == Verdict::NotRelated) {
      asked_.add(log.identity);
      continue;
    }
    // The logs after it wait for the next scan, which must still find them.
    if (index + 1 < logs.size()) lookFrom_ = std::min(*lookFrom_, logs[index + 1].identity.modified);
    const CrashLog& offered = logToReport(logs, index);
    if (offerReport(offered))
      asked_.add(offered.identity);
    else if (state_ != State::Stopping)
      askLater(offered);
    return true;
  }
  return false;
}

}  // namespace cw

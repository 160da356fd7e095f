#include "CrashScan.h"

#include <algorithm>
#include <cmath>
#include <tuple>

#include "Platform/PrintableText.h"
#include "Platform/SystemLog.h"
#include "Platform/Utf8.h"

namespace cw {
namespace {

Date::duration seconds(double count) {
  return std::chrono::duration_cast<Date::duration>(std::chrono::duration<double>(count));
}

// The script's answer as a signature: one line of text, its line break
// dropped; anything else is none.
std::optional<std::string> signatureFrom(const std::optional<std::string>& output) {
  if (!output) return std::nullopt;
  std::string line = *output;
  if (line.ends_with('\n')) line.pop_back();
  if (line.empty() || line.size() > AgentState::kMaxSignatureBytes || line.find_first_of("\n\r") != std::string::npos ||
      !isValidUtf8(line))
    return std::nullopt;
  return line;
}

RememberedAnswer remembered(ConsentAnswer answer) {
  switch (answer) {
    case ConsentAnswer::Send:
      return RememberedAnswer::Send;
    case ConsentAnswer::Countdown:
      return RememberedAnswer::Countdown;
    case ConsentAnswer::Refuse:
    case ConsentAnswer::NotAnswered:
      break;
  }
  return RememberedAnswer::DontSend;
}

}  // namespace

double CrashScan::quietPeriodSeconds(const PlistValue* value) {
  double seconds = kDefaultQuietPeriodSeconds;
  if (value && value->asReal()) seconds = *value->asReal();
  if (value && value->asInteger()) seconds = static_cast<double>(*value->asInteger());
  return std::isfinite(seconds) && seconds >= 0 ? seconds : kDefaultQuietPeriodSeconds;
}

CrashScan::CrashScan(ScanReporter& reporter, Finder finder, Clock clock, Identify identify, Memory memory)
    : reporter_(reporter),
      finder_(std::move(finder)),
      clock_(std::move(clock)),
      identify_(std::move(identify)),
      memory_(memory.state ? *memory.state : ownState_),
      quietPeriodSeconds_(memory.quietPeriodSeconds),
      steadyClock_(std::move(memory.steadyClock)) {
  // A restart reaches back to the last scan of the run before, at most a
  // week, and leaves out what that run asked about lately.
  const Date now = clock_();
  if (const std::optional<Date>& last = memory_.lastScan()) {
    lookFrom_ = std::max(*last, now - seconds(kLongestRestartLookBackSeconds));
    for (const CrashLogIdentity& log : memory_.askedLogs()) asked_.add(log);
  }
  // Ended before any scan, a first run leaves the next one where its own
  // first scan would have looked from.
  firstReach_ = lookFrom_.value_or(now - seconds(kLookBackSeconds));
}

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
  remember();
  if (state_ == State::Scanning) state_ = State::Idle;
  return true;
}

void CrashScan::stop() {
  state_ = State::Stopping;
  remember();
}

void CrashScan::remember() {
  const Date reach = lookFrom_.value_or(firstReach_);
  memory_.setLastScan(reach);
  // The logs the next run's first scan could list again.
  memory_.setAskedLogs(asked_.modifiedSince(reach - seconds(kLookBackSeconds)));
  memory_.save();
}

Date CrashScan::lookBackStart(Date scanStart, std::chrono::steady_clock::time_point steadyStart) const {
  Date start = scanStart - seconds(kLookBackSeconds);
  if (lookFrom_) start = std::min(start, *lookFrom_);
  // The wall clock set back since: what was written meanwhile is dated no
  // earlier than the time now minus the (monotonic) time gone by.
  if (lookFromSteady_) start = std::min(start, scanStart - (steadyStart - *lookFromSteady_));
  return start;
}

void CrashScan::lookFromNow(Date when, std::chrono::steady_clock::time_point steady) {
  lookFrom_ = when;
  lookFromSteady_ = steady;
}

std::vector<CrashScan::CrashLog> CrashScan::logsToAsk(Date since) const {
  std::vector<CrashLog> logs;
  for (std::string& path : finder_(since)) {
    // One that has gone since it was listed is left out, as the finder does.
    const std::optional<CrashLogIdentity> identity = identify_(path);
    if (identity && !asked_.contains(*identity) && !askLater_.contains(*identity))
      logs.push_back({std::move(path), *identity, std::nullopt});
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

CrashScan::Verdict CrashScan::ask(CrashLog& log, const CrashLog* folding) {
  const HelperScripts::Result answer = reporter_.askSignatureWithCrashFile(kRelatedScript, log.path);
  // An answer cut short by a stop is no answer, and nothing is logged.
  if (state_ == State::Stopping) return Verdict::NoAnswer;
  const bool related = answer.ownExit && answer.status == 1;
  if (related) log.signature = signatureFrom(answer.output);
  // A failure that was logged before is not logged at every later scan.
  if (!answer.ownExit && !firstFailure(log)) return Verdict::NoAnswer;
  if (!related)
    systemLog("'%@' crash report was not related to Vellumdrift", printableForLog(log.path));
  else if (folding && log.signature && log.signature == folding->signature)
    systemLog(
        "'%@' is the same crash as '%@', whose dialog was just answered; counted with it, not asked about separately",
        printableForLog(log.path), printableForLog(folding->path));
  else if (!folding)
    systemLog("'%@' crash report was related to Vellumdrift -> open Crash Reporting Dialog", printableForLog(log.path));
  // A status that is no answer of the script's contract says what went wrong.
  if (!answer.ownExit)
    systemLog("'%@': %@ %@; it is asked about again at the next scan", printableForLog(log.path), kRelatedScript,
              answer.ending);
  else if (answer.status != 0 && answer.status != 1)
    systemLog("'%@': %@ %@", printableForLog(log.path), kRelatedScript, answer.ending);
  if (!answer.ownExit) return Verdict::NoAnswer;
  return related ? Verdict::Related : Verdict::NotRelated;
}

CrashScan::Verdict CrashScan::judged(CrashLog& log) {
  const auto found = judgedRelated_.find(log.identity);
  if (found == judgedRelated_.end()) return ask(log);
  log.signature = found->second;
  judgedRelated_.erase(found);
  systemLog("'%@' crash report was related to Vellumdrift -> open Crash Reporting Dialog", printableForLog(log.path));
  return Verdict::Related;
}

bool CrashScan::withinQuietPeriod(const CrashLog& log) {
  if (!log.signature) return false;
  memory_.setVellumdriftVersion(reporter_.installedVersion());
  if (quietPeriodSeconds_ <= 0) return false;
  // An answer dated after now: the clock was set back since.
  memory_.clampAnswersTo(clock_());
  const AnsweredSignature* answered = memory_.answerFor(*log.signature);
  if (!answered) return false;
  const Date until = answered->answeredAt + seconds(quietPeriodSeconds_);
  if (log.identity.modified >= until) return false;
  systemLog("'%@' is the same crash as the one answered at %@; not asked again before %@", printableForLog(log.path),
            formatLocalTime(answered->answeredAt), formatLocalTime(until));
  memory_.countRepeat(*log.signature, log.identity.modified);
  return true;
}

CrashOccurrences CrashScan::occurrencesOf(const CrashLog& log) const {
  CrashOccurrences occurrences;
  occurrences.folded.add(log.identity.modified);
  if (!log.signature) return occurrences;
  if (const AnsweredSignature* answered = memory_.answerFor(*log.signature)) {
    occurrences.lastAnswered = answered->answeredAt;
    occurrences.sinceAnswer = answered->since;
  }
  return occurrences;
}

void CrashScan::fold(const CrashLog& offered, Date since, Repeats& folded) {
  for (CrashLog& log : logsToAsk(since)) {
    if (state_ == State::Stopping) return;
    if (asked_.contains(log.identity) || judgedRelated_.contains(log.identity)) continue;
    const Verdict verdict = ask(log, &offered);
    if (verdict == Verdict::NotRelated) {
      asked_.add(log.identity);
    } else if (verdict == Verdict::Related && log.signature == offered.signature) {
      asked_.add(log.identity);
      folded.add(log.identity.modified);
    } else if (verdict == Verdict::Related) {
      // Another fault: offered by the next scan, without asking again.
      judgedRelated_.emplace(log.identity, log.signature);
    }
    // No answer: the next scan asks again.
  }
}

const CrashScan::CrashLog& CrashScan::logToReport(const std::vector<CrashLog>& logs, std::size_t related) const {
  return logs[related];
}

bool CrashScan::offerReport(const CrashLog& log, Date since) {
  if (state_ == State::Stopping) return false;
  CrashOccurrences occurrences = occurrencesOf(log);
  const ConsentAnswer answer = reporter_.askForConsent(log.path, occurrences);
  if (state_ == State::Stopping) return false;
  if (answer == ConsentAnswer::NotAnswered) {
    if (firstFailure(log))
      systemLog(
          "'%@' crash report was not offered: the dialog was not answered; it is asked about again at the next scan",
          printableForLog(log.path));
    return false;
  }
  asked_.add(log.identity);
  if (log.signature) {
    // Crashes of the same fault written while the dialog was open.
    fold(log, since, occurrences.folded);
    if (state_ == State::Stopping) return true;
    memory_.recordAnswer(*log.signature, remembered(answer), clock_());
    memory_.save();
  }
  if (answer != ConsentAnswer::Send) return true;
  reporter_.report(log.path, occurrences);
  if (!log.signature || state_ == State::Stopping) return true;
  // Those written while the report was made: the mail is out, so they are
  // counted as crashes since the answer.
  Repeats later;
  fold(log, since, later);
  memory_.countRepeats(*log.signature, later);
  memory_.save();
  return true;
}

void CrashScan::askLater(const CrashLog& log) {
  askLater_.insert(log.identity);
  nextLookFrom_ = std::min(nextLookFrom_, log.identity.modified);
}

bool CrashScan::scan() {
  const Date scanStart = clock_();
  const std::chrono::steady_clock::time_point steadyStart = steadyClock_();
  const Date since = lookBackStart(scanStart, steadyStart);
  // Until this scan has gone through what it listed, a stop leaves its whole
  // reach to the next run.
  lookFrom_ = since;
  nextLookFrom_ = scanStart;
  for (const CrashLogIdentity& waiting : askLater_) nextLookFrom_ = std::min(nextLookFrom_, waiting.modified);
  // What is older than the reach is never listed again.
  asked_.forgetModifiedBefore(since);
  failuresLogged_.forgetModifiedBefore(since);
  std::erase_if(judgedRelated_, [&](const auto& entry) { return entry.first.modified < since; });
  std::vector<CrashLog> logs = logsToAsk(since);
  bool offered = false;
  for (std::size_t index = 0; index < logs.size() && state_ != State::Stopping; ++index) {
    CrashLog& log = logs[index];
    // The same file under a second name (a link) was asked about just now.
    if (asked_.contains(log.identity) || askLater_.contains(log.identity)) continue;
    const Verdict verdict = judged(log);
    if (verdict == Verdict::NoAnswer) {
      if (state_ != State::Stopping) askLater(log);
      continue;
    }
    if (verdict == Verdict::NotRelated || withinQuietPeriod(log)) {
      asked_.add(log.identity);
      continue;
    }
    // The logs after it wait for the next scan, which must still find them.
    if (index + 1 < logs.size()) nextLookFrom_ = std::min(nextLookFrom_, logs[index + 1].identity.modified);
    const CrashLog& toReport = logToReport(logs, index);
    if (!offerReport(toReport, since) && state_ != State::Stopping) askLater(toReport);
    offered = true;
    break;
  }
  if (offered || state_ != State::Stopping) lookFromNow(nextLookFrom_, steadyStart);
  return offered;
}

}  // namespace cw

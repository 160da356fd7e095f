#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "CrashLogRecord.h"
#include "FRCrashLogFinder.h"
#include "HelperScripts.h"

namespace cw {

// How the consent dialog ended: a button or the countdown answered it, or it
// was never shown (no display, the helper lost, no layout) or cut short.
enum class ConsentAnswer { Send, Refuse, NotAnswered };

// What a scan asks of crash reporting; the Reporter answers in the agent,
// fakes in tests. Each call returns only when its work is done.
class ScanReporter {
public:
  virtual ~ScanReporter() = default;
  // Runs the script on the crash log and tells how it ended (the output is
  // dropped).
  virtual HelperScripts::Result askScriptWithCrashFile(std::string_view command, std::string_view crashFile) = 0;
  // The dialog about `crashFile`, whose details show what its report sends.
  virtual ConsentAnswer askForConsent(const std::string& crashFile) = 0;
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
// come). A folder change turned away while scanning makes the scan look once
// more before it ends, as does a report offered: the crashes written
// meanwhile are asked about at once, not at some later change. Stopping lets
// a scan under way ask nothing more.
//
// One scan: find the logs modified since the look-back start, leave out those
// this run has asked about already, ask the relatedness script about the rest
// oldest first (as they were written; ties by path), and at the first related
// one offer a report of that log (consent, then the report). Every crash log
// is so asked about at most once in a run, and offered at most once, whatever
// the answer.
//
// Only an answer counts: a log is recorded as asked when its script reached
// an exit of its own, and a related one as offered when its dialog was
// answered. Otherwise (the script could not start, was killed or cut short;
// the dialog never showed) a later scan asks about it again; why is logged
// the first time only.
class CrashScan {
public:
  enum class State { Idle, Scanning, Stopping };
  enum class Trigger { FolderChange, UserSignal };

  using Finder = std::function<std::vector<std::string>(const std::optional<Date>& since)>;
  using Clock = std::function<Date()>;
  using Identify = std::function<std::optional<CrashLogIdentity>(const std::string& path)>;

  // A scan looks back this far at least, and reaches back to the start of the
  // one before it (a dialog or an upload may have held it up), or to the
  // oldest log that one listed but did not get to ask about, at most the
  // longest look-back.
  static constexpr double kLookBackSeconds = 10.0;
  static constexpr double kLongestLookBackSeconds = 3600.0;
  // The script asked about each log.
  static constexpr std::string_view kRelatedScript = "related-crash-report";

  explicit CrashScan(
      ScanReporter& reporter, Finder finder = FRCrashLogFinder::findCrashLogsSince,
      Clock clock = [] { return std::chrono::system_clock::now(); }, Identify identify = identifyCrashLog);

  // Runs one scan to its end; false when turned away (not idle).
  bool run(Trigger trigger = Trigger::UserSignal);
  // From now on nothing more is asked, and no scan starts.
  void stop();
  State state() const { return state_; }

private:
  struct CrashLog {
    std::string path;
    CrashLogIdentity identity;
  };

  // Where a scan that starts at `scanStart` begins to look.
  Date lookBackStart(Date scanStart) const;
  // The logs listed since `since` that this run has not asked about, oldest
  // first.
  std::vector<CrashLog> logsToAsk(Date since) const;
  enum class Verdict { Related, NotRelated, NoAnswer };
  // Asks the relatedness script about `log` and logs the answer.
  Verdict ask(const CrashLog& log);
  // The log that a report concerns once `logs[related]` was found related:
  // that one, the log the user was asked about.
  const CrashLog& logToReport(const std::vector<CrashLog>& logs, std::size_t related) const;
  // Asks for consent and, given it, reports `log`; false when the dialog was
  // not answered.
  bool offerReport(const CrashLog& log);
  // Leaves `log` to a later scan: not asked again in this run, but within the
  // next scan's reach.
  void askLater(const CrashLog& log);
  // Whether this is the first failure to get an answer about `log`, which
  // alone is logged.
  bool firstFailure(const CrashLog& log);
  // One look; true when it offered a report.
  bool scan();

  ScanReporter& reporter_;
  Finder finder_;
  Clock clock_;
  Identify identify_;
  State state_ = State::Idle;
  // Where the next scan must look from at the latest: the start of the one
  // before, or the oldest log that one left unasked.
  std::optional<Date> lookFrom_;
  // The logs answered: asked about (and, when related, offered).
  CrashLogRecord asked_;
  // Left without an answer in this run of scans; a later run asks again.
  std::set<CrashLogIdentity> askLater_;
  // The logs whose failure to get an answer was logged.
  CrashLogRecord failuresLogged_;
  bool changeTurnedAway_ = false;
};

}  // namespace cw

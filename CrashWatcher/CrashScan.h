#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "AgentState.h"
#include "CrashLogRecord.h"
#include "CrashOccurrences.h"
#include "FRCrashLogFinder.h"
#include "HelperScripts.h"
#include "Platform/PropertyList.h"

namespace cw {

// How the consent dialog ended: a button (Send, or Don't Send or closing the
// window: Refuse) or the countdown answered it, or it was never shown (no
// display, the helper lost, no layout) or cut short.
enum class ConsentAnswer { Send, Refuse, Countdown, NotAnswered };

// What a scan asks of crash reporting; the Reporter answers in the agent,
// fakes in tests. Each call returns only when its work is done.
class ScanReporter {
public:
  virtual ~ScanReporter() = default;
  // Runs the script on the crash log and tells how it ended (the output is
  // dropped).
  virtual HelperScripts::Result askScriptWithCrashFile(std::string_view command, std::string_view crashFile) = 0;
  // The same run, its output kept: a related crash's signature, which
  // related-crash-report prints.
  virtual HelperScripts::Result askSignatureWithCrashFile(std::string_view command, std::string_view crashFile) {
    return askScriptWithCrashFile(command, crashFile);
  }
  // The dialog and the report say how often the fault happened; the dialog's
  // details show what reporting `crashFile` sends.
  virtual ConsentAnswer askForConsent(const std::string& crashFile, const CrashOccurrences& occurrences) = 0;
  virtual void report(const std::optional<std::string>& crashFile, const CrashOccurrences& occurrences) = 0;
  // The installed Vellumdrift's version: answers hold for one version.
  virtual std::string installedVersion() { return {}; }
};

// What a scan remembers, and for how long an answer holds.
struct ScanMemory {
  static constexpr double kDefaultQuietPeriodSeconds = 24 * 3600.0;
  // Loaded already; absent: an in-memory one for this run.
  AgentState* state = nullptr;
  double quietPeriodSeconds = kDefaultQuietPeriodSeconds;
  std::function<std::chrono::steady_clock::time_point()> steadyClock = [] { return std::chrono::steady_clock::now(); };
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
// One question per fault: a related crash whose script gives a signature
// (related-crash-report prints it) is the same fault as another with
// that signature. Crashes of the fault whose dialog was open are not asked
// about separately: once it is answered they are counted into its report (or
// its refusal), and so are those written while the report is made. After an
// answer the fault is not asked about for a quiet period (from the answer to
// the crash log's time); such crashes are logged and counted, and the dialog
// and the mail of its next report say how often. A crash with no signature
// is asked about on its own.
//
// What is new is decided by the record of logs asked about, not by the clock
// alone: a scan reaches back to the one before it whatever the time between
// (a suspend, a dialog open for hours) and whatever the wall clock did (a
// step back is caught by the monotonic clock). The state file carries the
// answers, that reach and the logs asked lately over a restart: the first
// scan of a run, made at start, reaches back to the last scan of the run
// before (at most a week), and the first start ever looks back 10 seconds.
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
  using SteadyClock = std::function<std::chrono::steady_clock::time_point()>;

  // Information property list key: seconds after an answer during which the
  // same fault is not asked about again; 0 turns the rule off.
  static constexpr std::string_view kQuietPeriodKey = "QuietPeriodAfterAnswer";
  static constexpr double kDefaultQuietPeriodSeconds = ScanMemory::kDefaultQuietPeriodSeconds;
  // The first scan of a run reaches back at most this far.
  static constexpr double kLongestRestartLookBackSeconds = 7 * 24 * 3600.0;

  using Memory = ScanMemory;
  // The quiet period a value of kQuietPeriodKey gives: absent, negative or no
  // number is the default.
  static double quietPeriodSeconds(const PlistValue* value);

  // A scan looks back this far at least, and reaches back to the start of the
  // one before it (a dialog or an upload may have held it up), or to the
  // oldest log that one listed but did not get to ask about.
  static constexpr double kLookBackSeconds = 10.0;
  // The script asked about each log.
  static constexpr std::string_view kRelatedScript = "related-crash-report";

  explicit CrashScan(
      ScanReporter& reporter, Finder finder = FRCrashLogFinder::findCrashLogsSince,
      Clock clock = [] { return std::chrono::system_clock::now(); }, Identify identify = identifyCrashLog,
      Memory memory = {});

  // Runs one scan to its end; false when turned away (not idle).
  bool run(Trigger trigger = Trigger::UserSignal);
  // From now on nothing more is asked, and no scan starts; what is
  // remembered is saved.
  void stop();
  State state() const { return state_; }

private:
  struct CrashLog {
    std::string path;
    CrashLogIdentity identity;
    // The fault's signature, once the script gave one.
    std::optional<std::string> signature;
  };

  // Where a scan that starts at `scanStart` (and `steadyStart`) begins to look.
  Date lookBackStart(Date scanStart, std::chrono::steady_clock::time_point steadyStart) const;
  // Looks from `when` on next (and `steady`, the monotonic clock then).
  void lookFromNow(Date when, std::chrono::steady_clock::time_point steady);
  // The logs listed since `since` that this run has not asked about, oldest
  // first.
  std::vector<CrashLog> logsToAsk(Date since) const;
  enum class Verdict { Related, NotRelated, NoAnswer };
  // Asks the relatedness script about `log` (its signature too) and logs the
  // answer; `folding` is the log whose dialog was answered just now, whose
  // fault is not logged as a new one.
  Verdict ask(CrashLog& log, const CrashLog* folding = nullptr);
  // The verdict on `log`: asked now, or given in a fold already.
  Verdict judged(CrashLog& log);
  // Whether `log`, related, falls in the quiet period of its fault's last
  // answer: then it is counted, logged and done with.
  bool withinQuietPeriod(const CrashLog& log);
  // The occurrences a dialog about `log` tells of.
  CrashOccurrences occurrencesOf(const CrashLog& log) const;
  // Asks about the logs not yet asked since `since`, and counts those of
  // `offered`'s fault into `folded`: the same crash, not asked separately.
  void fold(const CrashLog& offered, Date since, Repeats& folded);
  // The log that a report concerns once `logs[related]` was found related:
  // that one, the log the user was asked about.
  const CrashLog& logToReport(const std::vector<CrashLog>& logs, std::size_t related) const;
  // Asks for consent and, given it, reports `log`; false when the dialog was
  // not answered.
  bool offerReport(const CrashLog& log, Date since);
  // Leaves `log` to a later scan: not asked again in this run, but within the
  // next scan's reach.
  void askLater(const CrashLog& log);
  // Whether this is the first failure to get an answer about `log`, which
  // alone is logged.
  bool firstFailure(const CrashLog& log);
  // One look; true when it offered a report.
  bool scan();
  // Writes what a restart needs: where to look from, the logs asked lately.
  void remember();

  ScanReporter& reporter_;
  Finder finder_;
  Clock clock_;
  Identify identify_;
  AgentState ownState_;
  AgentState& memory_;
  double quietPeriodSeconds_;
  SteadyClock steadyClock_;
  State state_ = State::Idle;
  // Where the next scan must look from at the latest: the start of the one
  // before, or the oldest log that one left unasked.
  std::optional<Date> lookFrom_;
  // The monotonic clock when lookFrom_ was the scan's start; absent after a
  // restart.
  std::optional<std::chrono::steady_clock::time_point> lookFromSteady_;
  // Where the next run looks from when this one ends before any scan.
  Date firstReach_;
  // Where the scan under way will have the next one look from.
  Date nextLookFrom_;
  // The logs answered: asked about (and, when related, offered).
  CrashLogRecord asked_;
  // Left without an answer in this run of scans; a later run asks again.
  std::set<CrashLogIdentity> askLater_;
  // Related logs of another fault that a fold asked about, with their
  // signatures: the next scan offers them without asking again.
  std::map<CrashLogIdentity, std::optional<std::string>> judgedRelated_;
  // The logs whose failure to get an answer was logged.
  CrashLogRecord failuresLogged_;
  bool changeTurnedAway_ = false;
};

}  // namespace cw

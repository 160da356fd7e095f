#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "CrashLogRecord.h"
#include "CrashOccurrences.h"
#include "FRCrashLogFinder.h"

namespace cw {

// How the user answered the dialog about a crash.
enum class RememberedAnswer { Send, DontSend, Countdown };

std::string_view rememberedAnswerName(RememberedAnswer answer);

// A fault the user has answered for, by its signature: when and how, and
// how often it came back since without being asked about.
struct AnsweredSignature {
  std::string signature;
  Date answeredAt;
  RememberedAnswer answer = RememberedAnswer::DontSend;
  Repeats since;
  bool operator==(const AnsweredSignature&) const = default;
};

// What the agent remembers across runs, in one small JSON file of its own:
// the answered signatures, where the next run's first scan looks from, the
// crash logs asked about lately (so that a restart does not ask them again),
// and the installed Vellumdrift version the answers hold for. Written
// atomically and bounded in size whatever the history: the oldest go first.
// A corrupt or foreign file is moved aside with a log line and the agent
// starts afresh; it never fails because of this file.
class AgentState {
public:
  // The file stays below 64 KiB.
  static constexpr std::size_t kMaxFileSize = 60 * 1024;
  // A longer signature is none (a fault then is asked about each time).
  static constexpr std::size_t kMaxSignatureBytes = 2048;
  static constexpr std::size_t kMaxAskedLogs = 256;
  static constexpr std::size_t kMaxAnswered = 128;
  // The marker and version of the format.
  static constexpr std::string_view kFormatKey = "CrashWatcherState";
  static constexpr int kFormatVersion = 1;

  // A state that lives in memory only until `path` is given.
  explicit AgentState(std::string path = {});

  // Reads the file. A missing one leaves a first start; a corrupt or foreign
  // one is moved aside (logged) and leaves a first start too; one that cannot
  // be read is logged and left alone (nothing is written over it).
  void load();
  // Writes the file if anything changed; a failure is logged once, with its
  // reason, until a write succeeds again.
  bool save();

  // No earlier run has left its state.
  bool firstStart() const { return !lastScan_; }
  const std::optional<Date>& lastScan() const { return lastScan_; }
  void setLastScan(Date when);

  const std::vector<CrashLogIdentity>& askedLogs() const { return askedLogs_; }
  // Keeps the newest of `logs`.
  void setAskedLogs(std::vector<CrashLogIdentity> logs);

  // The answers hold for one installed version: another forgets them all.
  void setVellumdriftVersion(const std::string& version);

  const AnsweredSignature* answerFor(std::string_view signature) const;
  // A new answer: the repeats counted so far are done with.
  void recordAnswer(const std::string& signature, RememberedAnswer answer, Date when);
  // One more crash of an answered fault that was not asked about.
  void countRepeat(std::string_view signature, Date when);
  void countRepeats(std::string_view signature, const Repeats& repeats);
  // An answer given "later" than `now` (the clock went back) counts as given now.
  void clampAnswersTo(Date now);
  const std::vector<AnsweredSignature>& answered() const { return answered_; }

  // The file's text, bounded; exposed for tests.
  std::string serialize() const;

private:
  bool parse(std::string_view text);
  void trimToBounds();

  std::string path_;
  std::optional<Date> lastScan_;
  std::string vellumdriftVersion_;
  std::vector<CrashLogIdentity> askedLogs_;
  std::vector<AnsweredSignature> answered_;
  bool changed_ = false;
  // A save failed and was logged: the next failure is not logged again.
  bool saveFailureLogged_ = false;
  // The file could not be read: it is not written over.
  bool readOnly_ = false;
};

// "2026-12-08T11:24:49.123456789Z", as the state file holds times.
std::string formatUtcTimestamp(Date when);
std::optional<Date> parseUtcTimestamp(std::string_view text);

}  // namespace cw

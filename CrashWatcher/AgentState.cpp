#include "AgentState.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <nlohmann/json.hpp>
#include <utility>

#include "Platform/AtomicFile.h"
#include "Platform/FileReading.h"
#include "Platform/PrintableText.h"
#include "Platform/SystemLog.h"
#include "Platform/Utf8.h"

namespace cw {
namespace {

using nlohmann::json;

constexpr std::array<std::pair<RememberedAnswer, std::string_view>, 3> kAnswerNames{{
    {RememberedAnswer::Send, "Send"},
    {RememberedAnswer::DontSend, "Don't Send"},
    {RememberedAnswer::Countdown, "countdown"},
}};

std::optional<RememberedAnswer> rememberedAnswerNamed(std::string_view name) {
  for (const auto& [answer, answerName] : kAnswerNames)
    if (answerName == name) return answer;
  return std::nullopt;
}

std::int64_t nanosecondsSinceEpoch(Date when) {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(when.time_since_epoch()).count();
}

Date dateFromNanoseconds(std::int64_t nanoseconds) {
  return Date(std::chrono::duration_cast<Date::duration>(std::chrono::nanoseconds(nanoseconds)));
}

json timestamp(const std::optional<Date>& when) {
  return when ? json(formatUtcTimestamp(*when)) : json(nullptr);
}

// Reads an optional time: absent stays absent; false when malformed.
bool readTimestamp(const json& object, const char* key, std::optional<Date>& into) {
  const auto found = object.find(key);
  if (found == object.end() || found->is_null()) return true;
  if (!found->is_string()) return false;
  into = parseUtcTimestamp(found->get_ref<const std::string&>());
  return into.has_value();
}

bool usableSignature(std::string_view signature) {
  return !signature.empty() && signature.size() <= AgentState::kMaxSignatureBytes && isValidUtf8(signature);
}

}  // namespace

std::string_view rememberedAnswerName(RememberedAnswer answer) {
  for (const auto& [entry, name] : kAnswerNames)
    if (entry == answer) return name;
  return {};
}

std::string formatUtcTimestamp(Date when) {
  const std::int64_t nanoseconds = nanosecondsSinceEpoch(when);
  std::int64_t seconds = nanoseconds / 1'000'000'000;
  std::int64_t fraction = nanoseconds % 1'000'000'000;
  if (fraction < 0) {
    fraction += 1'000'000'000;
    --seconds;
  }
  const std::time_t whole = static_cast<std::time_t>(seconds);
  std::tm utc{};
  if (!::gmtime_r(&whole, &utc)) return "";
  char text[64];
  const std::size_t length = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
  std::snprintf(text + length, sizeof text - length, ".%09lldZ", static_cast<long long>(fraction));
  return text;
}

std::optional<Date> parseUtcTimestamp(std::string_view text) {
  // Exactly the form formatUtcTimestamp writes: parsed, then checked by
  // writing it again.
  if (text.size() != 30) return std::nullopt;
  std::tm utc{};
  long long fraction = 0;
  int consumed = 0;
  const std::string copy(text);
  if (std::sscanf(copy.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d.%9lldZ%n", &utc.tm_year, &utc.tm_mon, &utc.tm_mday,
                  &utc.tm_hour, &utc.tm_min, &utc.tm_sec, &fraction, &consumed) != 7 ||
      consumed != 30)
    return std::nullopt;
  utc.tm_year -= 1900;
  utc.tm_mon -= 1;
  const std::time_t seconds = ::timegm(&utc);
  const Date when = dateFromNanoseconds(static_cast<std::int64_t>(seconds) * 1'000'000'000 + fraction);
  if (formatUtcTimestamp(when) != text) return std::nullopt;
  return when;
}

AgentState::AgentState(std::string path) : path_(std::move(path)) {}

void AgentState::load() {
  if (path_.empty()) return;
  const FileReadResult read = readRegularFile(path_, kMaxFileSize * 2);
  switch (read.status) {
    case FileReadStatus::Missing:
      return;
    case FileReadStatus::Ok:
      if (parse(read.bytes)) return;
      [[fallthrough]];
    case FileReadStatus::TooLarge:
      *this = AgentState(std::string(path_));
      if (const SystemResult<std::string> aside = moveFileAside(path_))
        systemLog("'%@' is no state file of this agent; moved it aside to '%@' and started afresh",
                  printableForLog(path_), printableForLog(*aside));
      else
        systemLog("'%@' is no state file of this agent and cannot be moved aside (%s); starting afresh",
                  printableForLog(path_), std::strerror(aside.error()));
      return;
    case FileReadStatus::NotAFile:
    case FileReadStatus::Unreadable:
      readOnly_ = true;
      systemLog("Cannot read the state file '%@' (%s); starting afresh without changing it", printableForLog(path_),
                std::strerror(read.status == FileReadStatus::NotAFile ? EISDIR
                              : read.error                            ? read.error->code()
                                                                      : EIO));
      return;
  }
}

bool AgentState::parse(std::string_view text) {
  const json document = json::parse(text, nullptr, false);
  if (!document.is_object()) return false;
  const auto format = document.find(kFormatKey);
  if (format == document.end() || !format->is_number_integer() || format->get<int>() != kFormatVersion) return false;

  AgentState read(path_);
  if (!readTimestamp(document, "lastScan", read.lastScan_)) return false;
  if (const auto version = document.find("vellumdriftVersion"); version != document.end()) {
    if (!version->is_string()) return false;
    read.vellumdriftVersion_ = version->get<std::string>();
  }
  for (const json& entry : document.value("askedLogs", json::array())) {
    // [device, inode, size, modified]
    if (!entry.is_array() || entry.size() != 4 || !entry[0].is_number_unsigned() || !entry[1].is_number_unsigned() ||
        !entry[2].is_number_integer() || !entry[3].is_string())
      return false;
    const std::optional<Date> modified = parseUtcTimestamp(entry[3].get_ref<const std::string&>());
    if (!modified) return false;
    read.askedLogs_.push_back(
        CrashLogIdentity{entry[0].get<dev_t>(), entry[1].get<ino_t>(), entry[2].get<off_t>(), *modified});
  }
  for (const json& entry : document.value("answered", json::array())) {
    if (!entry.is_object()) return false;
    AnsweredSignature answered;
    const auto signature = entry.find("signature");
    const auto answer = entry.find("answer");
    const auto count = entry.find("repeats");
    std::optional<Date> answeredAt;
    if (signature == entry.end() || !signature->is_string() || answer == entry.end() || !answer->is_string() ||
        count == entry.end() || !count->is_number_unsigned() || !readTimestamp(entry, "answeredAt", answeredAt) ||
        !answeredAt || !readTimestamp(entry, "firstRepeat", answered.since.first) ||
        !readTimestamp(entry, "lastRepeat", answered.since.last))
      return false;
    answered.signature = signature->get<std::string>();
    const std::optional<RememberedAnswer> how = rememberedAnswerNamed(answer->get_ref<const std::string&>());
    if (!how || !usableSignature(answered.signature)) return false;
    answered.answer = *how;
    answered.answeredAt = *answeredAt;
    answered.since.count = count->get<std::uint64_t>();
    read.answered_.push_back(std::move(answered));
  }
  *this = std::move(read);
  return true;
}

std::string AgentState::serialize() const {
  json asked = json::array();
  for (const CrashLogIdentity& log : askedLogs_)
    asked.push_back(json::array({log.device, log.inode, log.size, formatUtcTimestamp(log.modified)}));
  json answered = json::array();
  for (const AnsweredSignature& entry : answered_)
    answered.push_back({{"signature", entry.signature},
                        {"answeredAt", formatUtcTimestamp(entry.answeredAt)},
                        {"answer", rememberedAnswerName(entry.answer)},
                        {"repeats", entry.since.count},
                        {"firstRepeat", timestamp(entry.since.first)},
                        {"lastRepeat", timestamp(entry.since.last)}});
  const json document = {{kFormatKey, kFormatVersion},
                         {"lastScan", timestamp(lastScan_)},
                         {"vellumdriftVersion", vellumdriftVersion_},
                         {"answered", std::move(answered)},
                         {"askedLogs", std::move(asked)}};
  // One answer or log a line: readable with cat, and small.
  std::string text = document.dump(1, ' ', false, json::error_handler_t::replace);
  text.push_back('\n');
  return text;
}

void AgentState::trimToBounds() {
  const auto newestAnswersFirst = [](const AnsweredSignature& a, const AnsweredSignature& b) {
    return a.answeredAt > b.answeredAt;
  };
  std::stable_sort(answered_.begin(), answered_.end(), newestAnswersFirst);
  if (answered_.size() > kMaxAnswered) answered_.resize(kMaxAnswered);
  std::sort(askedLogs_.begin(), askedLogs_.end(),
            [](const CrashLogIdentity& a, const CrashLogIdentity& b) { return a.modified > b.modified; });
  if (askedLogs_.size() > kMaxAskedLogs) askedLogs_.resize(kMaxAskedLogs);
  // Whatever the entries hold: the oldest answers go, then the oldest logs,
  // each worth about the bytes of its own text.
  for (std::size_t size = serialize().size(); size > kMaxFileSize && !(answered_.empty() && askedLogs_.empty());
       size = serialize().size()) {
    for (std::size_t dropped = 0; dropped < size - kMaxFileSize && !(answered_.empty() && askedLogs_.empty());) {
      if (!answered_.empty()) {
        dropped += answered_.back().signature.size() + 150;
        answered_.pop_back();
      } else {
        dropped += 70;
        askedLogs_.pop_back();
      }
    }
  }
}

bool AgentState::save() {
  if (path_.empty() || readOnly_ || !changed_) return true;
  trimToBounds();
  if (const SystemResult<void> written = writeFileAtomically(path_, serialize()); !written) {
    if (!saveFailureLogged_)
      systemLog("Cannot write the state file '%@' (%s); crashes answered are remembered until the agent ends",
                printableForLog(path_), std::strerror(written.error()));
    saveFailureLogged_ = true;
    return false;
  }
  saveFailureLogged_ = false;
  changed_ = false;
  return true;
}

void AgentState::setLastScan(Date when) {
  if (lastScan_ == when) return;
  lastScan_ = when;
  changed_ = true;
}

void AgentState::setAskedLogs(std::vector<CrashLogIdentity> logs) {
  std::sort(logs.begin(), logs.end(),
            [](const CrashLogIdentity& a, const CrashLogIdentity& b) { return a.modified > b.modified; });
  if (logs.size() > kMaxAskedLogs) logs.resize(kMaxAskedLogs);
  if (logs == askedLogs_) return;
  askedLogs_ = std::move(logs);
  changed_ = true;
}

void AgentState::setVellumdriftVersion(const std::string& version) {
  if (version == vellumdriftVersion_) return;
  vellumdriftVersion_ = version;
  answered_.clear();
  changed_ = true;
}

const AnsweredSignature* AgentState::answerFor(std::string_view signature) const {
  const auto found = std::find_if(answered_.begin(), answered_.end(),
                                  [&](const AnsweredSignature& entry) { return entry.signature == signature; });
  return found == answered_.end() ? nullptr : &*found;
}

void AgentState::recordAnswer(const std::string& signature, RememberedAnswer answer, Date when) {
  if (!usableSignature(signature)) return;
  std::erase_if(answered_, [&](const AnsweredSignature& entry) { return entry.signature == signature; });
  answered_.push_back({signature, when, answer, {}});
  changed_ = true;
}

void AgentState::countRepeat(std::string_view signature, Date when) {
  for (AnsweredSignature& entry : answered_) {
    if (entry.signature != signature) continue;
    entry.since.add(when);
    changed_ = true;
  }
}

void AgentState::countRepeats(std::string_view signature, const Repeats& repeats) {
  if (repeats.count == 0) return;
  for (AnsweredSignature& entry : answered_) {
    if (entry.signature != signature) continue;
    entry.since.add(repeats);
    changed_ = true;
  }
}

void AgentState::clampAnswersTo(Date now) {
  for (AnsweredSignature& entry : answered_) {
    if (entry.answeredAt <= now) continue;
    entry.answeredAt = now;
    changed_ = true;
  }
}

}  // namespace cw

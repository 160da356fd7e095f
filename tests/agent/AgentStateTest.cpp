// The agent's state file: kept across runs, bounded, and never in the way.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "AgentState.h"
#include "support/TestSupport.h"

namespace cw {
namespace {

using ::testing::HasSubstr;
using namespace std::chrono_literals;
using test::CaptureStderr;
using test::readFile;
using test::TempDir;
using test::writeFile;

const Date kNow = Date(std::chrono::hours(500000)) + 123456789ns;

int occurrences(const std::string& text, const std::string& part) {
  int count = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

std::vector<std::string> movedAside(const TempDir& dir) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
    if (entry.path().filename().string().find(".corrupt-") != std::string::npos) names.push_back(entry.path());
  return names;
}

TEST(AgentStateTest, WhatIsSavedIsReadByTheNextRun) {
  TempDir dir;
  const std::string path = dir / "state";
  {
    AgentState state(path);
    state.load();
    EXPECT_TRUE(state.firstStart());
    state.setVellumdriftVersion("2.1");
    state.setLastScan(kNow);
    state.setAskedLogs({{2049, 77, 4096, kNow - 3s}});
    state.recordAnswer("EXC_BAD_ACCESS (SIGSEGV) | A: f | 2.1 - 2104", RememberedAnswer::DontSend, kNow - 1h);
    state.recordAnswer("EXC_CRASH (SIGABRT) | B + 12 | 2.1 - 2104", RememberedAnswer::Countdown, kNow - 2h);
    state.countRepeat("EXC_BAD_ACCESS (SIGSEGV) | A: f | 2.1 - 2104", kNow - 30min);
    state.countRepeat("EXC_BAD_ACCESS (SIGSEGV) | A: f | 2.1 - 2104", kNow - 50min);
    EXPECT_TRUE(state.save());
  }
  AgentState again(path);
  again.load();
  ASSERT_FALSE(again.firstStart());
  EXPECT_EQ(again.lastScan(), kNow);
  EXPECT_EQ(again.askedLogs(), (std::vector<CrashLogIdentity>{{2049, 77, 4096, kNow - 3s}}));
  const AnsweredSignature* answered = again.answerFor("EXC_BAD_ACCESS (SIGSEGV) | A: f | 2.1 - 2104");
  ASSERT_NE(answered, nullptr);
  EXPECT_EQ(*answered, (AnsweredSignature{"EXC_BAD_ACCESS (SIGSEGV) | A: f | 2.1 - 2104",
                                          kNow - 1h,
                                          RememberedAnswer::DontSend,
                                          {2, kNow - 50min, kNow - 30min}}));
  EXPECT_EQ(again.answerFor("EXC_CRASH (SIGABRT) | B + 12 | 2.1 - 2104")->answer, RememberedAnswer::Countdown);

  // Answering again starts the count afresh; another installed version
  // forgets every answer.
  again.recordAnswer("EXC_BAD_ACCESS (SIGSEGV) | A: f | 2.1 - 2104", RememberedAnswer::Send, kNow);
  EXPECT_EQ(again.answerFor("EXC_BAD_ACCESS (SIGSEGV) | A: f | 2.1 - 2104")->since, Repeats{});
  // An answer dated after now (the clock went back) counts as given now.
  again.clampAnswersTo(kNow - 10min);
  EXPECT_EQ(again.answerFor("EXC_BAD_ACCESS (SIGSEGV) | A: f | 2.1 - 2104")->answeredAt, kNow - 10min);
  again.setVellumdriftVersion("2.2");
  EXPECT_TRUE(again.answered().empty());
}

// Whatever the history, the file stays under 64 KiB and keeps the newest.
TEST(AgentStateTest, TheFileStaysSmallWhateverTheHistory) {
  TempDir dir;
  AgentState state(dir / "state");
  state.setLastScan(kNow);
  std::vector<CrashLogIdentity> logs;
  for (int i = 0; i < 5000; ++i) {
    const std::string signature = std::to_string(i) + " | " + std::string(AgentState::kMaxSignatureBytes - 10, 'x');
    state.recordAnswer(signature, RememberedAnswer::Send, kNow + std::chrono::seconds(i));
    state.countRepeat(signature, kNow);
    logs.push_back({1, static_cast<ino_t>(i), 1, kNow + std::chrono::seconds(i)});
  }
  state.setAskedLogs(logs);
  ASSERT_TRUE(state.save());
  EXPECT_LT(std::filesystem::file_size(dir / "state"), 64u * 1024);
  AgentState again(dir / "state");
  again.load();
  EXPECT_NE(again.answerFor("4999 | " + std::string(AgentState::kMaxSignatureBytes - 10, 'x')), nullptr);
  EXPECT_EQ(again.answerFor("0 | " + std::string(AgentState::kMaxSignatureBytes - 10, 'x')), nullptr);
  EXPECT_EQ(again.lastScan(), kNow);
}

// A file that is not ours, or damaged, is moved aside with a line in the log
// and the agent starts afresh; the next save writes a good one.
TEST(AgentStateTest, ACorruptOrForeignFileIsMovedAsideAndTheAgentStartsAfresh) {
  const std::string valid = AgentState().serialize();  // an empty state of this format, to be spoiled below
  const std::vector<std::pair<const char*, std::string>> cases = {
      {"not JSON", "garbage\x01\xff"},
      {"cut short", valid.substr(0, valid.size() / 2)},
      {"another program's JSON", R"({"name": "something else"})"},
      {"a later format", R"({"CrashWatcherState": 2})"},
      {"a bad time", R"({"CrashWatcherState": 1, "lastScan": "yesterday"})"},
      {"a bad answer",
       R"({"CrashWatcherState": 1, "answered": [{"signature": "s", "answeredAt": "2026-12-08T11:24:49.000000000Z",
           "answer": "maybe", "repeats": 0}]})"},
      {"too large", std::string(200 * 1024, ' ')},
  };
  for (const auto& [what, contents] : cases) {
    SCOPED_TRACE(what);
    TempDir dir;
    writeFile(dir / "state", contents);
    CaptureStderr log;
    AgentState state(dir / "state");
    state.load();
    EXPECT_TRUE(state.firstStart());
    const std::vector<std::string> aside = movedAside(dir);
    ASSERT_EQ(aside.size(), 1u);
    EXPECT_EQ(readFile(aside[0]), contents);
    EXPECT_THAT(log.text(), HasSubstr("'" + dir / "state" + "' is no state file of this agent; moved it aside to '" +
                                      aside[0] + "' and started afresh"));
    state.setLastScan(kNow);
    EXPECT_TRUE(state.save());
    AgentState again(dir / "state");
    again.load();
    EXPECT_EQ(again.lastScan(), kNow);
  }
}

TEST(AgentStateTest, AFailedWriteOrMoveAsideSaysWhyAndIsNeverFatal) {
  TempDir dir;
  AgentState state(dir / "missing folder/state");
  CaptureStderr log;
  for (int i = 0; i < 3; ++i) {
    state.setLastScan(kNow + std::chrono::seconds(i));
    EXPECT_FALSE(state.save());
  }
  EXPECT_EQ(occurrences(log.text(), "Cannot write the state file '" + dir / "missing folder/state" +
                                        "' (No such file or directory)"),
            1);
  EXPECT_EQ(state.lastScan(), kNow + 2s);

  // A foreign file whose name leaves no room for the suffix of one moved aside.
  const std::string foreign = dir / std::string(240, 's');
  writeFile(foreign, "garbage");
  AgentState(foreign).load();
  EXPECT_THAT(log.text(), HasSubstr("' is no state file of this agent and cannot be moved aside (File name too long); "
                                    "starting afresh"));
}

TEST(AgentStateTest, TimestampsAreExactAndStrict) {
  for (const Date when : {kNow, Date(std::chrono::seconds(0)), Date(-1500ms)})
    EXPECT_EQ(parseUtcTimestamp(formatUtcTimestamp(when)), when) << formatUtcTimestamp(when);
  EXPECT_EQ(formatUtcTimestamp(Date(std::chrono::seconds(1796729089)) + 5ms), "2026-12-08T11:24:49.005000000Z");
  for (const char* bad : {"2026-12-08T11:24:49Z", "2026-13-08T11:24:49.000000000Z", "2026-12-08 11:24:49.000000000Z",
                          "2026-12-08T11:24:49.000000000Z ", ""})
    EXPECT_EQ(parseUtcTimestamp(bad), std::nullopt) << bad;
}

}  // namespace
}  // namespace cw

// The preference file and the bundle's Info.plist damaged, empty, huge, or
// something other than a file: the agent starts all the same, and nothing of
// the user's is lost.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <filesystem>
#include <functional>

#include "Platform/PropertyList.h"
#include "stress/StressSupport.h"

namespace cw::test::stress {
namespace {

namespace fs = std::filesystem;

constexpr const char* kSyncKey = "com.apple.PreferenceSync.ExcludeAllSyncKeys";
constexpr std::size_t kHugeBytes = std::size_t{20} << 20;

std::string plist(std::string_view body) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n" + std::string(body) + "\n</plist>\n";
}

std::string hugePlist() {
  return plist("<dict><key>big</key><string>" + std::string(kHugeBytes, 'a') + "</string></dict>");
}

// What is in the way, and what must become of it.
enum class Outcome {
  MovedAside,  // kept under another name, byte for byte; a fresh file in its place
  Replaced,    // held nothing; a fresh file in its place
  Merged,      // a good file: its keys kept, ours added
  LeftAlone,   // not a file: not touched, nothing written
};

struct Damage {
  const char* name;
  std::function<void(const std::string& path)> make;
  Outcome outcome;
};

void PrintTo(const Damage& damage, std::ostream* out) {
  *out << damage.name;
}

void makeFolder(const std::string& path) {
  writeFile(path + "/inside", "the user's");
}
void makeFifo(const std::string& path) {
  fs::create_directories(fs::path(path).parent_path());
  ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
}

const std::vector<Damage> kDamages = {
    {"corrupt", [](const std::string& p) { writeFile(p, plist("<dict><key>userKey</key><string>unfinished")); },
     Outcome::MovedAside},
    {"binary", [](const std::string& p) { writeFile(p, std::string("bplist00\xd1\x01\x02\0\xff", 13)); },
     Outcome::MovedAside},
    {"notADictionary", [](const std::string& p) { writeFile(p, plist("<array><string>a</string></array>")); },
     Outcome::MovedAside},
    {"huge", [](const std::string& p) { writeFile(p, hugePlist()); }, Outcome::MovedAside},
    {"empty", [](const std::string& p) { writeFile(p, ""); }, Outcome::Replaced},
    {"good",
     [](const std::string& p) {
       writeFile(p, plist("<dict><key>userKey</key><string>kept</string><key>" + std::string(kSyncKey) +
                          "</key><false/></dict>"));
     },
     Outcome::Merged},
    {"folder", makeFolder, Outcome::LeftAlone},
    {"fifo", makeFifo, Outcome::LeftAlone},
};

std::string damageName(const ::testing::TestParamInfo<Damage>& info) {
  return info.param.name;
}

std::vector<std::string> asideFiles(const std::string& folder, const std::string& name) {
  std::vector<std::string> out;
  std::error_code error;
  for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error))
    if (it->path().filename().string().rfind(name + ".corrupt-", 0) == 0) out.push_back(it->path());
  return out;
}

bool isFifo(const std::string& path) {
  struct stat info {};
  return ::lstat(path.c_str(), &info) == 0 && S_ISFIFO(info.st_mode);
}

// What stands at a path, to tell afterwards whether it was touched.
std::string snapshot(const std::string& path) {
  if (isFifo(path)) return "fifo";
  if (fs::is_directory(path)) return "folder:" + readFile(path + "/inside");
  return "file:" + readFile(path);
}

// The agent starts, watches, scans with its scripts and stops as usual.
void expectUsualRun(const AgentSandbox& sandbox) {
  const std::string log = sandbox.crashLog(sandbox.userCrashReporter(), "Finder_x.crash", 0);
  AgentProcess agent(sandbox);
  ASSERT_TRUE(agent.waitUntilWatching()) << agent.log();
  agent.signal(SIGUSR1);
  EXPECT_TRUE(agent.waitForLog(notRelated(log))) << agent.log();
  agent.signal(SIGINT);
  EXPECT_EQ(agent.waitForExit(), 0) << agent.log();
}

class DamagedPreferences : public ::testing::TestWithParam<Damage> {};

TEST_P(DamagedPreferences, AgentStartsAndKeepsWhatWasThere) {
  const Damage& damage = GetParam();
  AgentSandbox sandbox;
  const std::string path = preferencesPath(sandbox);
  damage.make(path);
  const std::string before = snapshot(path);

  expectUsualRun(sandbox);

  const std::vector<std::string> aside = asideFiles(preferencesFolder(sandbox), fs::path(path).filename());
  if (damage.outcome == Outcome::LeftAlone) {
    EXPECT_EQ(snapshot(path), before);
    EXPECT_TRUE(aside.empty());
    return;
  }
  if (damage.outcome == Outcome::MovedAside) {
    ASSERT_EQ(aside.size(), 1u);
    EXPECT_TRUE(readFile(aside.front()) == before.substr(5)) << "the file moved aside is not the original";
  } else {
    EXPECT_TRUE(aside.empty());
  }
  const std::optional<PlistDictionary> stored = readDictionaryFromFile(path);
  ASSERT_TRUE(stored) << readFile(path);
  const PlistValue* sync = lookup(*stored, kSyncKey);
  ASSERT_TRUE(sync);
  EXPECT_TRUE(sync->boolValue());
  if (damage.outcome == Outcome::Merged) {
    const PlistValue* kept = lookup(*stored, "userKey");
    ASSERT_TRUE(kept && kept->asString());
    EXPECT_EQ(*kept->asString(), "kept");
  }
}

INSTANTIATE_TEST_SUITE_P(Stress, DamagedPreferences, ::testing::ValuesIn(kDamages), damageName);

class DamagedInfoPlist : public ::testing::TestWithParam<Damage> {};

TEST_P(DamagedInfoPlist, AgentStartsAndChangesNothing) {
  const Damage& damage = GetParam();
  AgentSandbox sandbox;
  fs::remove(infoPlistPath(sandbox));
  damage.make(infoPlistPath(sandbox));
  const std::string before = snapshot(infoPlistPath(sandbox));
  writeFile(preferencesPath(sandbox), plist("<dict><key>userKey</key><string>kept</string></dict>"));

  expectUsualRun(sandbox);

  EXPECT_EQ(snapshot(infoPlistPath(sandbox)), before);
  const std::optional<PlistDictionary> stored = readDictionaryFromFile(preferencesPath(sandbox));
  ASSERT_TRUE(stored) << readFile(preferencesPath(sandbox));
  const PlistValue* kept = lookup(*stored, "userKey");
  ASSERT_TRUE(kept && kept->asString());
  EXPECT_EQ(*kept->asString(), "kept");
  // Without its identifier the agent still keeps to the user's own file.
  const PlistValue* flag = lookup(*stored, "com.apple.PreferenceSync.ExcludeAllSyncKeys");
  ASSERT_TRUE(flag);
  EXPECT_TRUE(flag->boolValue());
}

INSTANTIATE_TEST_SUITE_P(Stress, DamagedInfoPlist, ::testing::ValuesIn(kDamages), damageName);

}  // namespace
}  // namespace cw::test::stress

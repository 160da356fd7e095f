#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "Platform/Bundle.h"
#include "Platform/UserDefaults.h"
#include "support/TestSupport.h"

namespace cw {
namespace {

constexpr std::string_view kSyncKey = "com.apple.PreferenceSync.ExcludeAllSyncKeys";

std::vector<std::string> folderEntries(const std::string& folder) {
  std::vector<std::string> names;
  if (DIR* dir = ::opendir(folder.c_str())) {
    while (const dirent* entry = ::readdir(dir)) {
      const std::string name = entry->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    ::closedir(dir);
  }
  return names;
}

class UserDefaultsTest : public ::testing::Test {
protected:
  std::string preferences() const { return home_.path() + "/Library/Preferences"; }
  std::string plistPath() const { return preferences() + "/com.example.Agent.plist"; }

  test::TempHome home_;
  UserDefaults defaults_{"com.example.Agent"};
};

TEST_F(UserDefaultsTest, FlagIsAbsentThenFalseThenTrue) {
  EXPECT_EQ(defaults_.filePath(), plistPath());
  EXPECT_FALSE(test::pathExists(home_.path() + "/Library"));
  EXPECT_EQ(defaults_.objectForKey(kSyncKey), std::nullopt);
  EXPECT_FALSE(defaults_.boolForKey(kSyncKey));

  // The first write creates ~/Library/Preferences.
  ASSERT_TRUE(defaults_.setBoolForKey(kSyncKey, false));
  ASSERT_TRUE(defaults_.objectForKey(kSyncKey));
  EXPECT_FALSE(defaults_.boolForKey(kSyncKey));

  ASSERT_TRUE(defaults_.setBoolForKey(kSyncKey, true));
  EXPECT_TRUE(defaults_.boolForKey(kSyncKey));
  // What is on disk is a property list any reader understands.
  const auto stored = readDictionaryFromFile(plistPath());
  ASSERT_TRUE(stored);
  EXPECT_EQ(*lookup(*stored, kSyncKey), PlistValue(true));
  // No temporary file is left behind.
  EXPECT_EQ(folderEntries(preferences()), std::vector<std::string>{"com.example.Agent.plist"});
}

TEST_F(UserDefaultsTest, BoolForKeyFollowsBoolValue) {
  ASSERT_TRUE(defaults_.setObjectForKey("text", PlistValue("YES")));
  ASSERT_TRUE(defaults_.setObjectForKey("number", PlistValue(0)));
  ASSERT_TRUE(defaults_.setObjectForKey("list", PlistValue(PlistArray{PlistValue(true)})));
  EXPECT_TRUE(defaults_.boolForKey("text"));
  EXPECT_FALSE(defaults_.boolForKey("number"));
  EXPECT_FALSE(defaults_.boolForKey("list"));
}

TEST_F(UserDefaultsTest, KeepsKeysThatOthersWrote) {
  ASSERT_TRUE(defaults_.setObjectForKey("ours", PlistValue(1)));
  // Someone else rewrites the file with keys of its own meanwhile.
  auto stored = readDictionaryFromFile(plistPath()).value();
  stored.insert_or_assign("theirs", PlistValue("kept"));
  stored.insert_or_assign("nested", PlistValue(PlistDictionary{{"deep", PlistValue(2.5)}}));
  test::writeFile(plistPath(), serializePropertyList(PlistValue(stored)));

  ASSERT_TRUE(defaults_.setBoolForKey(kSyncKey, true));
  const auto after = readDictionaryFromFile(plistPath()).value();
  EXPECT_EQ(*lookup(after, "theirs"), PlistValue("kept"));
  EXPECT_EQ(*lookup(after, "ours"), PlistValue(1));
  EXPECT_EQ(*lookup(after, "nested"), PlistValue(PlistDictionary{{"deep", PlistValue(2.5)}}));
  EXPECT_EQ(*lookup(after, kSyncKey), PlistValue(true));
  // Another domain has a file of its own.
  UserDefaults other("com.example.Other");
  ASSERT_TRUE(other.setBoolForKey(kSyncKey, false));
  EXPECT_TRUE(defaults_.boolForKey(kSyncKey));
  EXPECT_FALSE(other.boolForKey(kSyncKey));
}

TEST_F(UserDefaultsTest, CorruptFileIsMovedAsideAndKept) {
  const std::string corrupt = "<plist><dict><key>userKey</key><string>precious";
  test::writeFile(plistPath(), corrupt);
  EXPECT_FALSE(defaults_.boolForKey(kSyncKey));
  EXPECT_EQ(test::readFile(plistPath()), corrupt);  // reading changes nothing

  ASSERT_TRUE(defaults_.setBoolForKey(kSyncKey, true));
  EXPECT_TRUE(defaults_.boolForKey(kSyncKey));
  std::vector<std::string> asides;
  for (const std::string& name : folderEntries(preferences()))
    if (name.rfind("com.example.Agent.plist.corrupt-", 0) == 0) asides.push_back(name);
  ASSERT_EQ(asides.size(), 1u);
  EXPECT_EQ(test::readFile(preferences() + "/" + asides[0]), corrupt);

  // A second corrupt file in the same second does not replace the first copy.
  test::writeFile(plistPath(), "second corrupt");
  ASSERT_TRUE(defaults_.setBoolForKey(kSyncKey, true));
  std::vector<std::string> contents;
  for (const std::string& name : folderEntries(preferences()))
    if (name.rfind("com.example.Agent.plist.corrupt-", 0) == 0)
      contents.push_back(test::readFile(preferences() + "/" + name));
  EXPECT_EQ(contents.size(), 2u);
  EXPECT_NE(std::find(contents.begin(), contents.end(), corrupt), contents.end());
  EXPECT_NE(std::find(contents.begin(), contents.end(), "second corrupt"), contents.end());
}

TEST_F(UserDefaultsTest, NonDictionaryAndHugeFilesAreMovedAsideToo) {
  const std::string array = serializePropertyList(PlistValue(PlistArray{PlistValue("user data")}));
  test::writeFile(plistPath(), array);
  ASSERT_TRUE(defaults_.setBoolForKey(kSyncKey, true));
  EXPECT_TRUE(defaults_.boolForKey(kSyncKey));

  test::writeFile(plistPath(), "<plist><dict/></plist>");
  ASSERT_EQ(::truncate(plistPath().c_str(), static_cast<off_t>(kMaxPropertyListFileSize) + 10), 0);
  EXPECT_FALSE(defaults_.boolForKey(kSyncKey));
  ASSERT_TRUE(defaults_.setBoolForKey(kSyncKey, true));
  EXPECT_TRUE(defaults_.boolForKey(kSyncKey));

  std::vector<off_t> sizes;
  for (const std::string& name : folderEntries(preferences())) {
    if (name.rfind("com.example.Agent.plist.corrupt-", 0) != 0) continue;
    struct stat info {};
    ASSERT_EQ(::stat((preferences() + "/" + name).c_str(), &info), 0);
    sizes.push_back(info.st_size);
  }
  std::sort(sizes.begin(), sizes.end());
  ASSERT_EQ(sizes.size(), 2u);
  EXPECT_EQ(sizes[0], static_cast<off_t>(array.size()));
  EXPECT_EQ(sizes[1], static_cast<off_t>(kMaxPropertyListFileSize) + 10);
}

TEST_F(UserDefaultsTest, EmptyFileReadsAsNoPreferences) {
  test::writeFile(plistPath(), "");
  EXPECT_FALSE(defaults_.boolForKey(kSyncKey));
  ASSERT_TRUE(defaults_.setBoolForKey(kSyncKey, true));
  EXPECT_TRUE(defaults_.boolForKey(kSyncKey));
}

TEST_F(UserDefaultsTest, DirectoryInThePlaceOfTheFileIsLeftAlone) {
  test::writeFile(plistPath() + "/inside", "user's file");
  EXPECT_FALSE(defaults_.boolForKey(kSyncKey));
  EXPECT_FALSE(defaults_.setBoolForKey(kSyncKey, true));
  EXPECT_EQ(test::readFile(plistPath() + "/inside"), "user's file");
  EXPECT_EQ(folderEntries(preferences()), std::vector<std::string>{"com.example.Agent.plist"});
}

TEST_F(UserDefaultsTest, UnreadableFileIsNeverReplaced) {
  test::makeDirectories(preferences());
  ASSERT_EQ(::symlink("com.example.Agent.plist", plistPath().c_str()), 0);  // a loop: open fails
  EXPECT_FALSE(defaults_.boolForKey(kSyncKey));
  EXPECT_FALSE(defaults_.setBoolForKey(kSyncKey, true));
  struct stat info {};
  ASSERT_EQ(::lstat(plistPath().c_str(), &info), 0);
  EXPECT_TRUE(S_ISLNK(info.st_mode));
  EXPECT_EQ(folderEntries(preferences()).size(), 1u);
}

TEST_F(UserDefaultsTest, UnwritablePlacesFailWithoutCrashing) {
  // ~/Library/Preferences is a file: nothing can be created below it.
  test::writeFile(preferences(), "not a folder");
  EXPECT_FALSE(defaults_.setBoolForKey(kSyncKey, true));
  EXPECT_FALSE(defaults_.boolForKey(kSyncKey));
  EXPECT_EQ(test::readFile(preferences()), "not a folder");
  // Domains that cannot name a file.
  for (const char* bad : {"", ".", "..", "../escape", "a/b"}) {
    UserDefaults odd(bad);
    EXPECT_EQ(odd.filePath(), "") << bad;
    EXPECT_FALSE(odd.setBoolForKey(kSyncKey, true)) << bad;
    EXPECT_EQ(odd.objectForKey(kSyncKey), std::nullopt) << bad;
  }
}

TEST_F(UserDefaultsTest, FollowsHomeAtEachCall) {
  ASSERT_TRUE(defaults_.setBoolForKey(kSyncKey, true));
  test::TempDir otherHome;
  test::ScopedEnv home("HOME", otherHome.path().c_str());
  EXPECT_EQ(defaults_.filePath(), otherHome.path() + "/Library/Preferences/com.example.Agent.plist");
  EXPECT_FALSE(defaults_.boolForKey(kSyncKey));
}

TEST_F(UserDefaultsTest, ValueWrittenByAnotherProcessIsSeen) {
  // A file that settled long ago: read once, then served from memory.
  const auto store = [](const std::string& path, bool flag) {
    test::writeFile(path, serializePropertyList(PlistValue(PlistDictionary{{"flag", PlistValue(flag)}})));
    test::setModificationTime(path, -3600);
  };
  store(plistPath(), false);
  EXPECT_FALSE(defaults_.boolForKey("flag"));
  EXPECT_FALSE(defaults_.boolForKey("flag"));

  // Another process puts a new file in place the way writers do, through a
  // rename, and backdates it too: the inode and size still tell.
  const std::string staged = home_.path() + "/staged.plist";
  store(staged, true);
  const std::string command = "mv '" + staged + "' '" + plistPath() + "'";
  ASSERT_EQ(std::system(command.c_str()), 0);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!defaults_.boolForKey("flag") && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_TRUE(defaults_.boolForKey("flag"));
  EXPECT_TRUE(defaults_.objectForKey("flag"));

  // Removed by another process: seen as gone.
  ASSERT_EQ(std::system(("rm '" + plistPath() + "'").c_str()), 0);
  const auto removal = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (defaults_.objectForKey("flag") && std::chrono::steady_clock::now() < removal)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_EQ(defaults_.objectForKey("flag"), std::nullopt);
}

TEST_F(UserDefaultsTest, TheAgentsDomainIsItsBundleIdentifierIfThatCanNameAFile) {
  struct Case {
    std::optional<std::string> identifier;
    std::string domain;
  };
  for (const Case& c :
       {Case{"com.example.Other", "com.example.Other"}, Case{std::nullopt, "com.vellumdrift.CrashWatcher"},
        Case{"../../outside", "com.vellumdrift.CrashWatcher"}}) {
    test::TempDir folder;
    PlistDictionary info;
    if (c.identifier) info.emplace("CFBundleIdentifier", PlistValue(*c.identifier));
    test::writeFile(folder / "Info.plist", serializePropertyList(PlistValue(info)));
    EXPECT_EQ(UserDefaults::domainForBundle(Bundle(folder.path())), c.domain);
  }
  // The agent's own instance lives for the whole process.
  EXPECT_EQ(&UserDefaults::standardUserDefaults(), &UserDefaults::standardUserDefaults());
}

}  // namespace
}  // namespace cw

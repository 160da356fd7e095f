#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>

#include "FRCrashLogFinder.h"
#include "Platform/PrintableText.h"
#include "support/TestSupport.h"

namespace cw {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::UnorderedElementsAre;
using ::testing::UnorderedElementsAreArray;
using namespace std::chrono_literals;

class FRCrashLogFinderTest : public ::testing::Test {
protected:
  std::string userFolder() const { return home_.path() + "/Library/Logs/CrashReporter"; }
  std::string localFolder() const { return home_.localLibrary() + "/Logs/CrashReporter"; }

  // A crash log modified `ageSeconds` ago.
  std::string crashLog(const std::string& folder, const std::string& relative, double ageSeconds = 5) {
    const std::string path = folder + "/" + relative;
    test::writeFile(path, "Process: Finder\n");
    test::setModificationTime(path, -ageSeconds);
    return path;
  }

  static Date tenSecondsAgo() { return std::chrono::system_clock::now() - 10s; }

  test::TempHome home_;
};

TEST_F(FRCrashLogFinderTest, NoCrashReporterFolderGivesNothingAndLogsNothing) {
  test::CaptureStderr captured;
  EXPECT_THAT(FRCrashLogFinder::findCrashLogsSince(tenSecondsAgo()), IsEmpty());
  EXPECT_EQ(captured.text(), "");
}

TEST_F(FRCrashLogFinderTest, TakesOnlyLogsInsideTheWindow) {
  const std::string recent = crashLog(userFolder(), "Finder_2010-05-01-101500_host.crash", 5);
  crashLog(userFolder(), "Finder_2010-05-01-101400_host.crash", 11);
  EXPECT_THAT(FRCrashLogFinder::findCrashLogsSince(tenSecondsAgo()), ElementsAre(recent));
}

TEST_F(FRCrashLogFinderTest, AFileModifiedExactlyAtTheMomentCounts) {
  const std::string path = crashLog(userFolder(), "Finder_x.crash", 0);
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  const Date mtime(std::chrono::duration_cast<std::chrono::system_clock::duration>(
      std::chrono::seconds(st.st_mtim.tv_sec) + std::chrono::nanoseconds(st.st_mtim.tv_nsec)));
  EXPECT_TRUE(FRCrashLogFinder::fileIsNewerThan(path, mtime));
  EXPECT_FALSE(FRCrashLogFinder::fileIsNewerThan(path, mtime + 1us));
}

TEST_F(FRCrashLogFinderTest, NameTestsAreExactAndCaseSensitive) {
  crashLog(userFolder(), "finder_x.crash");
  crashLog(userFolder(), "Finder_x.crash.txt");
  crashLog(userFolder(), "Finder_x.CRASH");
  const std::string sync = crashLog(userFolder(), "FinderSync_x.crash");
  EXPECT_THAT(FRCrashLogFinder::findCrashLogsSince(tenSecondsAgo()), ElementsAre(sync));
}

TEST_F(FRCrashLogFinderTest, TestsApplyToThePathRelativeToTheFolder) {
  crashLog(userFolder(), "Archive/Finder_x.crash");
  const std::string old = crashLog(userFolder(), "Finder-old/x.crash");
  const std::string deep = crashLog(userFolder(), "Finder-old/nested/y.crash");
  // A folder whose relative path fits is a candidate like a file.
  const std::string folder = userFolder() + "/Finder_folder.crash";
  test::makeDirectories(folder);
  EXPECT_THAT(FRCrashLogFinder::findCrashLogsSince(tenSecondsAgo()), UnorderedElementsAre(old, deep, folder));
}

TEST_F(FRCrashLogFinderTest, LocalFolderComesBeforeTheUsers) {
  const std::string user = crashLog(userFolder(), "Finder_a.crash");
  const std::string local = crashLog(localFolder(), "Finder_a.crash");
  EXPECT_THAT(FRCrashLogFinder::findCrashLogsSince(tenSecondsAgo()), ElementsAre(local, user));
}

TEST_F(FRCrashLogFinderTest, PathsAreAbsoluteEvenWithAFolderNamedLikeATilde) {
  const std::string path = crashLog(userFolder(), "Finder ~ odd \"name\" $(x).crash");
  const auto found = FRCrashLogFinder::findCrashLogsSince(std::nullopt);
  ASSERT_THAT(found, ElementsAre(path));
  EXPECT_EQ(found[0].front(), '/');
}

TEST_F(FRCrashLogFinderTest, AbsentDateAnswersWhetherThePathExists) {
  const std::string path = crashLog(userFolder(), "Finder_x.crash", 3600);
  EXPECT_TRUE(FRCrashLogFinder::fileIsNewerThan(path, std::nullopt));
  EXPECT_FALSE(FRCrashLogFinder::fileIsNewerThan(path + ".missing", std::nullopt));
  EXPECT_FALSE(FRCrashLogFinder::fileIsNewerThan(path + ".missing", tenSecondsAgo()));
}

// Makes folders unreadable for the scope. Root reads anything, so as root the
// process takes the effective user "nobody" meanwhile, with the test's home
// (only it: never the folders above) opened to others for that.
class ScopedUnreadable {
public:
  ScopedUnreadable(const std::string& home, std::vector<std::string> folders) : folders_(std::move(folders)) {
    const bool root = ::geteuid() == 0;
    if (root) {
      ::chmod(home.c_str(), 0755);
      for (const auto& entry : std::filesystem::recursive_directory_iterator(home))
        ::chmod(entry.path().c_str(), entry.is_directory() ? 0755 : 0644);
    }
    for (const std::string& folder : folders_) ::chmod(folder.c_str(), 0);
    const passwd* nobody = root ? ::getpwnam("nobody") : nullptr;
    if (nobody && ::seteuid(nobody->pw_uid) == 0) unprivileged_ = true;
    // The home itself must stay searchable, or nothing tells us anything.
    effective_ = ::geteuid() != 0 && ::access(home.c_str(), R_OK | X_OK) == 0;
  }
  ~ScopedUnreadable() {
    if (unprivileged_) (void)!::seteuid(0);
    for (const std::string& folder : folders_) ::chmod(folder.c_str(), 0755);
  }
  bool effective() const { return effective_; }

private:
  std::vector<std::string> folders_;
  bool unprivileged_ = false;
  bool effective_ = false;
};

TEST_F(FRCrashLogFinderTest, AnUnreadableFolderIsSkippedAndLoggedOnceAndTheRestIsFound) {
  struct Case {
    std::vector<std::string> unreadable;  // relative to the user's crash-reporter folder, "" for itself
    std::vector<std::string> expected;    // what is found, local folder first
  };
  // A folder's name cannot forge a log line: it is logged printably.
  const std::vector<Case> cases = {
      {{"Finder-b", "Finder-\nforged"},
       {"local:Finder_l.crash", "Finder-a/1.crash", "Finder-c/3.crash", "Finder-c/deeper/4.crash", "Finder_z.crash"}},
      {{"Finder-a", "Finder-c/deeper"},
       {"local:Finder_l.crash", "Finder-b/2.crash", "Finder-c/3.crash", "Finder-\nforged/5.crash", "Finder_z.crash"}},
      {{""}, {"local:Finder_l.crash"}},
  };
  for (const Case& c : cases) {
    test::TempHome home;
    const std::string user = home.path() + "/Library/Logs/CrashReporter";
    crashLog(home.localLibrary() + "/Logs/CrashReporter", "Finder_l.crash");
    for (const char* log : {"Finder-a/1.crash", "Finder-b/2.crash", "Finder-c/3.crash", "Finder-c/deeper/4.crash",
                            "Finder-\nforged/5.crash", "Finder_z.crash"})
      crashLog(user, log);
    std::vector<std::string> unreadable;
    for (const std::string& folder : c.unreadable) unreadable.push_back(folder.empty() ? user : user + "/" + folder);

    std::vector<std::string> expected;
    for (const std::string& e : c.expected)
      expected.push_back(e.rfind("local:", 0) == 0 ? home.localLibrary() + "/Logs/CrashReporter/" + e.substr(6)
                                                   : user + "/" + e);
    test::CaptureStderr captured;
    std::vector<std::string> first, second;
    {
      ScopedUnreadable locked(home.path(), unreadable);
      if (!locked.effective()) GTEST_SKIP() << "cannot make a folder unreadable here";
      first = FRCrashLogFinder::findCrashLogsSince(tenSecondsAgo());
      second = FRCrashLogFinder::findCrashLogsSince(tenSecondsAgo());
    }
    EXPECT_THAT(first, UnorderedElementsAreArray(expected));
    EXPECT_EQ(second, first);
    const std::string log = captured.text();
    for (const std::string& folder : unreadable) {
      const std::string line =
          "Cannot search '" + printableForLog(folder) + "' for crash logs (Permission denied); skipping it\n";
      EXPECT_EQ(log.find(line), log.rfind(line)) << "logged once, not at every scan";
      EXPECT_NE(log.find(line), std::string::npos) << log;
    }
  }
}

TEST_F(FRCrashLogFinderTest, ATreeDeeperThanTheDescriptorLimitIsSearchedToTheEnd) {
  std::string deep = "Finder-deep";
  for (int level = 0; level < 64; ++level) deep += "/d";
  const std::string bottom = crashLog(userFolder(), deep + "/bottom.crash");
  const std::string after = crashLog(userFolder(), "Finder_z.crash");
  std::size_t open = 0;
  for ([[maybe_unused]] const auto& fd : std::filesystem::directory_iterator("/proc/self/fd")) ++open;
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
  rlimit tight = saved;
  tight.rlim_cur = open + 16;  // far fewer than the tree's levels
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &tight), 0);
  const auto found = FRCrashLogFinder::findCrashLogsSince(tenSecondsAgo());
  ::setrlimit(RLIMIT_NOFILE, &saved);
  EXPECT_THAT(found, UnorderedElementsAre(bottom, after));
}

}  // namespace
}  // namespace cw

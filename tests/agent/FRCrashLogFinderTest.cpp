#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>

#include "FRCrashLogFinder.h"
#include "support/TestSupport.h"

namespace cw {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::UnorderedElementsAre;
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

}  // namespace
}  // namespace cw

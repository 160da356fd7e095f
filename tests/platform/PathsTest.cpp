#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <filesystem>

#include "Platform/Paths.h"
#include "support/TestSupport.h"

namespace cw {
namespace {

std::string passwordDatabaseHome() {
  const passwd* entry = ::getpwuid(::getuid());
  return entry && entry->pw_dir ? entry->pw_dir : "";
}

TEST(Paths, TildeExpandsFromHome) {
  test::ScopedEnv home("HOME", "/home/tester");
  EXPECT_EQ(homeDirectory(), "/home/tester");
  EXPECT_EQ(expandTilde("~"), "/home/tester");
  EXPECT_EQ(expandTilde("~/Library/Logs"), "/home/tester/Library/Logs");
  EXPECT_EQ(expandTilde("/abs/~/x"), "/abs/~/x");
  EXPECT_EQ(expandTilde("rel/~"), "rel/~");
  EXPECT_EQ(expandTilde(""), "");
  EXPECT_EQ(expandTilde("~no-such-user-hopefully/x"), "~no-such-user-hopefully/x");
  EXPECT_EQ(abbreviateWithTilde("/home/tester/Library/x.crash"), "~/Library/x.crash");
  EXPECT_EQ(abbreviateWithTilde("/home/testers/x"), "/home/testers/x");
}

TEST(Paths, TildeCopesWithOddHomes) {
  {
    test::ScopedEnv home("HOME", "/home/tester/");
    EXPECT_EQ(expandTilde("~"), "/home/tester");
    EXPECT_EQ(expandTilde("~/x"), "/home/tester/x");
    EXPECT_EQ(abbreviateWithTilde("/home/tester/x"), "~/x");
  }
  {
    test::ScopedEnv home("HOME", "/");
    EXPECT_EQ(expandTilde("~"), "/");
    EXPECT_EQ(expandTilde("~/x"), "/x");
    EXPECT_EQ(abbreviateWithTilde("/x"), "/x");
  }
  // Without HOME (or with an empty one) the password database answers.
  const std::string fromDatabase = passwordDatabaseHome();
  for (const char* value : {static_cast<const char*>(nullptr), ""}) {
    test::ScopedEnv home("HOME", value);
    EXPECT_EQ(homeDirectory(), fromDatabase.empty() ? "/" : fromDatabase);
  }
}

TEST(Paths, TildeWithAUserName) {
  const passwd* entry = ::getpwuid(::getuid());
  if (!entry || !entry->pw_name || !entry->pw_dir) GTEST_SKIP() << "no password entry for this user";
  test::ScopedEnv home("HOME", "/elsewhere");
  EXPECT_EQ(expandTilde(std::string("~") + entry->pw_name + "/x"), std::string(entry->pw_dir) + "/x");
}

TEST(Paths, Standardize) {
  test::ScopedEnv home("HOME", "/home/tester");
  EXPECT_EQ(standardizePath("/a//b/./c/"), "/a/b/c");
  EXPECT_EQ(standardizePath("/a/b/../c"), "/a/c");
  EXPECT_EQ(standardizePath("/../.."), "/");
  EXPECT_EQ(standardizePath("/"), "/");
  EXPECT_EQ(standardizePath("~/Library/../Library/Logs/"), "/home/tester/Library/Logs");
  EXPECT_EQ(standardizePath("bin/../share/crashwatcher"), "bin/../share/crashwatcher");  // relative: kept
  EXPECT_EQ(standardizePath("./a/./b"), "a/b");
  EXPECT_EQ(standardizePath(""), "");
}

TEST(Paths, AppendUsesExactlyOneSeparator) {
  EXPECT_EQ(appendPathComponent("/Library", "Logs/CrashReporter/"), "/Library/Logs/CrashReporter");
  EXPECT_EQ(appendPathComponent("/Library/", "/Logs"), "/Library/Logs");
  EXPECT_EQ(appendPathComponent("~/Library", "Logs//CrashReporter"), "~/Library/Logs/CrashReporter");
  EXPECT_EQ(appendPathComponent("/", "tmp"), "/tmp");
  EXPECT_EQ(appendPathComponent("dir", ""), "dir");
  EXPECT_EQ(appendPathComponent("", "file"), "file");
  EXPECT_EQ(appendPathComponent("/a", "Finder_x.crash"), "/a/Finder_x.crash");
}

TEST(Paths, ResolvingMeetsEveryLinkAndStopsWhereTheWayIsBlocked) {
  test::TempDir dir;
  // Resolved itself, so that only the links made here are met.
  const std::string d = std::filesystem::canonical(dir.path());
  test::makeDirectories(d + "/real/deep/Reports");
  test::writeFile(d + "/real/file", "");
  std::filesystem::create_directory_symlink("real", d + "/rel");              // relative
  std::filesystem::create_directory_symlink(d + "/rel", d + "/chain");        // to another link
  std::filesystem::create_directory_symlink("../real/deep", d + "/real/up");  // with ".."
  std::filesystem::create_directory_symlink("../data/logs", d + "/real/dangling");
  std::filesystem::create_directory_symlink("loopB", d + "/loopA");
  std::filesystem::create_directory_symlink("loopA", d + "/loopB");
  using L = SymbolicLinkOnTheWay;
  struct Case {
    std::string path;
    std::vector<L> links;
    std::string reached, blockedAt;
  };
  const std::vector<Case> cases = {
      {d + "/real/deep/Reports", {}, d + "/real/deep/Reports", ""},
      {d + "/chain/deep/Reports", {L{d, "chain"}, L{d, "rel"}}, d + "/real/deep/Reports", ""},
      {d + "/rel/up/Reports", {L{d, "rel"}, L{d + "/real", "up"}}, d + "/real/deep/Reports", ""},
      {d + "/rel/missing/x", {L{d, "rel"}}, d + "/real", "missing"},
      {d + "/real/file/x", {}, d + "/real", "file"},
      // A link whose target is not made yet: blocked beside the target.
      {d + "/rel/dangling/Reports", {L{d, "rel"}, L{d + "/real", "dangling"}}, d, "data"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(resolvePath(c.path), (PathResolution{c.links, c.reached, c.blockedAt})) << c.path;
  const PathResolution loop = resolvePath(d + "/loopA/x");
  EXPECT_EQ(loop.links.size(), 40u) << "a loop ends";
  EXPECT_EQ(loop.reached, d);
  EXPECT_FALSE(loop.blockedAt.empty());
}

TEST(Paths, LibraryFoldersInDomainOrder) {
  {
    test::ScopedEnv local("CRASHWATCHER_LOCAL_LIBRARY", nullptr);
    EXPECT_EQ(libraryDirectories(kUserDomain | kLocalDomain), (std::vector<std::string>{"~/Library", "/Library"}));
    EXPECT_EQ(libraryDirectories(kLocalDomain), std::vector<std::string>{"/Library"});
    EXPECT_EQ(libraryDirectories(kUserDomain), std::vector<std::string>{"~/Library"});
    EXPECT_TRUE(libraryDirectories(0).empty());
  }
  test::TempHome home;
  EXPECT_EQ(libraryDirectories(kUserDomain | kLocalDomain),
            (std::vector<std::string>{"~/Library", home.localLibrary()}));
  EXPECT_EQ(expandTilde(libraryDirectories(kUserDomain)[0]), home.path() + "/Library");
}

}  // namespace
}  // namespace cw

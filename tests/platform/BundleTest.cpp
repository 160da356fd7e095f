#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>

#include "Platform/Bundle.h"
#include "support/TestSupport.h"

namespace cw {
namespace {

std::string realPath(const std::string& path) {
  char buffer[PATH_MAX];
  return ::realpath(path.c_str(), buffer) ? std::string(buffer) : path;
}

TEST(Bundle, FindsResourcesByNameAndType) {
  test::TempDir dir;
  test::writeFile(dir / "Resources/upload-gist.rb", "#!/bin/sh\n", 0755);
  test::writeFile(dir / "Resources/CrashWatcher", "layout");
  test::writeFile(dir / "Resources/en.lproj/Localizable.strings", "\"k\" = \"v\";");
  test::writeFile(dir / "secret.rb", "outside");
  const Bundle bundle(dir.path());

  EXPECT_EQ(bundle.resourcePath(), dir / "Resources");
  EXPECT_EQ(bundle.pathForResource("upload-gist", "rb"), dir / "Resources/upload-gist.rb");
  EXPECT_EQ(bundle.pathForResource("CrashWatcher", ""), dir / "Resources/CrashWatcher");
  EXPECT_EQ(bundle.pathForResource("en.lproj/Localizable", "strings"), dir / "Resources/en.lproj/Localizable.strings");
  EXPECT_EQ(bundle.pathForResource("related-crash-report", "rb"), std::nullopt);
  EXPECT_EQ(bundle.pathForResource("upload-gist", "sh"), std::nullopt);
  EXPECT_EQ(bundle.pathForResource("Upload-Gist", "rb"), std::nullopt);
  // Names never reach outside the resources folder.
  EXPECT_EQ(bundle.pathForResource("../secret", "rb"), std::nullopt);
  EXPECT_EQ(bundle.pathForResource((dir / "secret").c_str(), "rb"), std::nullopt);
  EXPECT_EQ(bundle.pathForResource("", ""), std::nullopt);
}

TEST(Bundle, ReadsItsInfoPlistOnceAndKeepsTheDictionary) {
  test::TempDir dir;
  test::writeFile(dir / "Info.plist", serializePropertyList(PlistValue(PlistDictionary{
                                          {"CFBundleIdentifier", PlistValue("com.example.Test")},
                                          {"ConfirmTimeout", PlistValue(30.0)},
                                      })));
  const Bundle bundle(dir.path());
  const PlistDictionary& info = bundle.infoDictionary();
  ASSERT_NE(bundle.objectForInfoDictionaryKey("CFBundleIdentifier"), nullptr);
  EXPECT_EQ(*bundle.objectForInfoDictionaryKey("CFBundleIdentifier")->asString(), "com.example.Test");
  EXPECT_FLOAT_EQ(bundle.objectForInfoDictionaryKey("ConfirmTimeout")->floatValue(), 30.0f);
  EXPECT_EQ(bundle.objectForInfoDictionaryKey("Missing"), nullptr);
  // Later changes on disk do not pull the dictionary from under its holders.
  test::writeFile(dir / "Info.plist", "garbage");
  EXPECT_EQ(&bundle.infoDictionary(), &info);
  EXPECT_EQ(info.size(), 2u);
}

TEST(Bundle, MissingOrBrokenInfoPlistGivesAnEmptyDictionary) {
  test::TempDir dir;
  EXPECT_TRUE(Bundle(dir.path()).infoDictionary().empty());
  EXPECT_TRUE(Bundle(dir / "no-such-bundle").infoDictionary().empty());
  test::writeFile(dir / "Info.plist", "<plist><dict><key>unterminated");
  EXPECT_TRUE(Bundle(dir.path()).infoDictionary().empty());
  test::writeFile(dir / "Info.plist", serializePropertyList(PlistValue(PlistArray{PlistValue("not a dict")})));
  EXPECT_TRUE(Bundle(dir.path()).infoDictionary().empty());
  EXPECT_TRUE(Bundle("").infoDictionary().empty());
  EXPECT_EQ(Bundle("").pathForResource("anything", "rb"), std::nullopt);
}

TEST(Bundle, MainBundleLiesBesideTheExecutableNotTheWorkingDirectory) {
  test::TempDir elsewhere;
  char previous[PATH_MAX];
  ASSERT_NE(::getcwd(previous, sizeof previous), nullptr);
  ASSERT_EQ(::chdir(elsewhere.path().c_str()), 0);
  const std::string path = defaultMainBundlePath();
  const std::string directory = executableDirectory();
  ASSERT_EQ(::chdir(previous), 0);
  // This test program lies in <build>/tests, the agent in <build>/bin: both
  // find the bundle staged at <build>/share/crashwatcher.
  EXPECT_EQ(realPath(directory), realPath(CW_BINARY_DIR "/tests"));
  ASSERT_FALSE(path.empty());
  EXPECT_EQ(path.front(), '/');
  EXPECT_EQ(path.find("/.."), std::string::npos) << path;
  EXPECT_EQ(path, realPath(CW_BINARY_DIR) + "/share/crashwatcher");
}

}  // namespace
}  // namespace cw

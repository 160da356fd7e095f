#include <gtest/gtest.h>

#include "Platform/Bundle.h"
#include "Platform/Format.h"
#include "UI/LocalizedStrings.h"
#include "UI/StringsFile.h"
#include "UiTestSupport.h"

namespace cw {
namespace {

using ui::parseStringsTable;
using ui::StringTable;

TEST(StringsFileTest, ReadsEntriesCommentsAndEscapes) {
  const auto table = parseStringsTable(
      "/* a block\n comment */\n"
      "// a line comment\n"
      "\"plain\" = \"Plain text\";\n"
      "\"quote\"=\"say \\\"hi\\\" \\\\ done\";\n"
      "\"controls\" = \"a\\nb\\tc\\rd\";\n"
      "\"umlaut\" = \"\\U00e4\\u00DF\";\n"
      "\"pair\" = \"\\UD83D\\UDE00\";\n"
      "\"lone\" = \"\\UD83Dx\";\n"
      "\"other\" = \"\\q\\'\";\n"
      "\"multi\nline\" = \"raw\nbreak\";\n"
      "bare_word.key = value-1;\n"
      "\"selfValued\";\n"
      "\"dup\" = \"first\"; \"dup\" = \"second\";  /* trailing */");
  ASSERT_TRUE(table);
  EXPECT_EQ(*table, (StringTable{{"plain", "Plain text"},
                                 {"quote", "say \"hi\" \\ done"},
                                 {"controls", "a\nb\tc\rd"},
                                 {"umlaut", "\xC3\xA4\xC3\x9F"},
                                 {"pair", "\xF0\x9F\x98\x80"},
                                 {"lone", "\xEF\xBF\xBDx"},
                                 {"other", "q'"},
                                 {"multi\nline", "raw\nbreak"},
                                 {"bare_word.key", "value-1"},
                                 {"selfValued", "selfValued"},
                                 {"dup", "second"}}));
}

TEST(StringsFileTest, ReadsByteOrderMarksAndEmptyText) {
  EXPECT_EQ(parseStringsTable(""), StringTable{});
  EXPECT_EQ(parseStringsTable("  /* only a comment */ "), StringTable{});
  EXPECT_EQ(parseStringsTable("\xEF\xBB\xBF\"k\" = \"v\";"), (StringTable{{"k", "v"}}));
  // "k" = "ä"; in UTF-16, little- and big-endian.
  static constexpr char kLittle[] = "\xFF\xFE\"\0k\0\"\0=\0\"\0\xE4\0\"\0;\0";
  static constexpr char kBig[] = "\xFE\xFF\0\"\0k\0\"\0=\0\"\0\xE4\0\"\0;";
  const std::string le(kLittle, sizeof kLittle - 1);
  const std::string be(kBig, sizeof kBig - 1);
  EXPECT_EQ(parseStringsTable(le), (StringTable{{"k", "\xC3\xA4"}}));
  EXPECT_EQ(parseStringsTable(be), (StringTable{{"k", "\xC3\xA4"}}));
}

TEST(StringsFileTest, RefusesMalformedTextWhole) {
  for (const std::string_view text : {
           "\"k\" = \"v\"",                       // no semicolon
           "\"k\" = \"v;",                        // no closing quote
           "\"k\" = \"v\"; /* open",              // comment never ends
           "\"k\" = ;",                           // no value
           "\"k\" \"v\";",                        // no equals sign
           "= \"v\";",                            // no key
           "\"ok\" = \"v\"; \"k\" = \"\\U12\";",  // short escape
           "\"k\" = \"\xC3\";",                   // not UTF-8
           "\"k\" = \"a\xC0\xAF\";",              // overlong form
           "\"k\" = \"v\"; ?",                    // stray character
           "\"k\" = \"v\\",                       // escape at the end
       }) {
    SCOPED_TRACE(text);
    EXPECT_FALSE(parseStringsTable(text));
  }
  EXPECT_FALSE(parseStringsTable(std::string("\"k\" = \"a\0b\";", 12)));
  EXPECT_FALSE(parseStringsTable(std::string("\xFF\xFE\"\0", 3)));          // odd UTF-16
  EXPECT_FALSE(parseStringsTable(std::string("\xFF\xFE\x3D\xD8\"\0", 6)));  // broken pair
}

TEST(StringsFileTest, ReadsOnlyRegularFilesOfModestSize) {
  test::TempDir dir;
  test::writeFile(dir / "ok.strings", "\"a\" = \"b\";");
  EXPECT_EQ(ui::readStringsFile(dir / "ok.strings"), (StringTable{{"a", "b"}}));
  EXPECT_FALSE(ui::readStringsFile(dir / "missing.strings"));
  EXPECT_FALSE(ui::readStringsFile(dir.path()));
  test::writeFile(dir / "big.strings", std::string(ui::kMaxStringsFileSize + 1, ' '));
  EXPECT_FALSE(ui::readStringsFile(dir / "big.strings"));
}

TEST(PreferredLanguagesTest, ComeFromLanguageThenTheFirstLocaleVariableSet) {
  test::ScopedLanguage none(nullptr);
  EXPECT_TRUE(ui::preferredLanguagesFromEnvironment().empty());
  {
    test::ScopedEnv language("LANGUAGE", "fr_CA:de::../../etc:fr_CA");
    test::ScopedEnv lcAll("LC_ALL", "");
    test::ScopedEnv messages("LC_MESSAGES", "de_AT.UTF-8@euro");
    test::ScopedEnv lang("LANG", "sv_SE.UTF-8");
    EXPECT_EQ(ui::preferredLanguagesFromEnvironment(), (std::vector<std::string>{"fr_CA", "de", "de_AT"}));
  }
  test::ScopedEnv lang("LANG", "C.UTF-8");
  EXPECT_TRUE(ui::preferredLanguagesFromEnvironment().empty());
  test::ScopedEnv all("LC_ALL", "POSIX");
  EXPECT_TRUE(ui::preferredLanguagesFromEnvironment().empty());
}

class LocalizationTest : public ::testing::Test {
protected:
  test::StagedBundle bundle;
  const Bundle& main = bundle.bundle();
};

TEST_F(LocalizationTest, ChoosesTheFirstLanguageWithATable) {
  struct Case {
    const char* language;
    const char* lcAll;
    const char* lang;
    const char* expected;
  };
  for (const Case c :
       {Case{nullptr, nullptr, "de_DE.UTF-8", "de"}, Case{nullptr, "de_CH", "en_GB", "de"},
        Case{"fr:de", nullptr, "en_US", "de"}, Case{"fr", nullptr, "it_IT", "en"}, Case{nullptr, nullptr, "C", "en"},
        Case{nullptr, nullptr, nullptr, "en"}, Case{"../de", nullptr, nullptr, "en"}}) {
    SCOPED_TRACE(testing::Message() << (c.language ? c.language : "-") << " " << (c.lcAll ? c.lcAll : "-") << " "
                                    << (c.lang ? c.lang : "-"));
    test::ScopedLanguage cleared(c.lang);
    test::ScopedEnv language("LANGUAGE", c.language);
    test::ScopedEnv lcAll("LC_ALL", c.lcAll);
    EXPECT_EQ(ui::chosenLocalization(main), c.expected);
    EXPECT_EQ(ui::localizedStringForKey(main, "cancelButton"), test::shippedString(c.expected, "cancelButton"));
  }
}

TEST_F(LocalizationTest, FallsBackToTheDevelopmentRegion) {
  test::ScopedLanguage c("C");
  test::StagedBundle german(PlistDictionary{{"CFBundleDevelopmentRegion", "de"}});
  EXPECT_EQ(ui::chosenLocalization(german.bundle()), "de");
  // A table that does not read is passed over, for the next language.
  test::ScopedLanguage french("fr_FR");
  german.writeResource("fr.lproj/Localizable.strings", "\"cancelButton\" = \"Annuler\"");  // no semicolon
  EXPECT_EQ(ui::chosenLocalization(german.bundle()), "de");
  german.removeResource("de.lproj");
  EXPECT_EQ(ui::chosenLocalization(german.bundle()), "");
  EXPECT_EQ(ui::localizedStringForKey(german.bundle(), "cancelButton"), "cancelButton");
}

TEST_F(LocalizationTest, AMissingKeyGivesTheKeyOrTheDefault) {
  test::ScopedLanguage english("en_US.UTF-8");
  EXPECT_EQ(ui::localizedStringForKey("noSuchKey"), "noSuchKey");
  EXPECT_EQ(ui::localizedStringForKey("noSuchKey", "Default"), "Default");
  EXPECT_EQ(ui::localizedStringForKey("sendReportButton", "Default"), "Send Report");
}

TEST(ShippedStringsTest, EveryLocalizationHasEveryTextAndIntegerCountdownFormats) {
  for (const char* localization : {"en", "de"}) {
    SCOPED_TRACE(localization);
    for (const char* key :
         {"crashDialogHeader", "crashDialogMsg", "crashDialogNote", "sendReportButton", "cancelButton"})
      EXPECT_FALSE(test::shippedString(localization, key).empty()) << key;
    for (const char* key : {"countdownMsgMinuteSingular", "countdownMsgMinutesPlural", "countdownMsgSecondSingular",
                            "countdownMsgSecondsPlural"}) {
      const std::string text = test::shippedString(localization, key);
      // Exactly one conversion, and it takes a 32-bit integer.
      EXPECT_EQ(std::count(text.begin(), text.end(), '%'), 1) << key;
      const std::optional<std::string> formatted = format(text, std::int32_t{42});
      ASSERT_TRUE(formatted) << key;
      EXPECT_NE(formatted->find("42"), std::string::npos) << key;
    }
    // The failure message after consent: its one "%@" takes the mailbox.
    for (const char* key : {"mailFailureTitle", "mailFailureNoAddress", "mailFailureButton"})
      EXPECT_FALSE(test::shippedString(localization, key).empty()) << key;
    const std::string failure = test::shippedString(localization, "mailFailureMsg");
    EXPECT_EQ(std::count(failure.begin(), failure.end(), '%'), 1);
    EXPECT_NE(format(failure, "box@example").value_or("").find("box@example"), std::string::npos);
  }
}

}  // namespace
}  // namespace cw

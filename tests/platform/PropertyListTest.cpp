#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <limits>

#include "Platform/PropertyList.h"
#include "support/TestSupport.h"

namespace cw {
namespace {

using namespace std::chrono;

std::string wrap(std::string_view body) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n" + std::string(body) + "\n</plist>\n";
}

PlistValue parsed(std::string_view body) {
  auto value = parsePropertyList(wrap(body));
  EXPECT_TRUE(value.has_value()) << body;
  return value.value_or(PlistValue());
}

PlistDate date(int y, unsigned m, unsigned d, int hh, int mm, int ss) {
  return PlistDate(sys_days(year(y) / month(m) / day(d)) + hours(hh) + minutes(mm) + seconds(ss));
}

TEST(PropertyListReader, ReadsEveryType) {
  const PlistValue root = parsed(R"(<dict>
    <key>text</key><string>a &amp; b &lt;c&gt; &#x263A;</string>
    <key>blank</key><string>  </string>
    <key>empty</key><string/>
    <key>count</key><integer>-42</integer>
    <key>hex</key><integer>0x1F</integer>
    <key>big</key><integer>9223372036854775807</integer>
    <key>ratio</key><real>2.5e-1</real>
    <key>whole</key><real> 120 </real>
    <key>yes</key><true/>
    <key>no</key><false/>
    <key>when</key><date>2010-05-01T10:15:00Z</date>
    <key>bytes</key><data>
      AAEC
      /w==
    </data>
    <key>list</key><array><string>x</string><integer>1</integer><array/></array>
    <key>nested</key><dict><key>inner</key><string>deep</string></dict>
    <key>cdata</key><string><![CDATA[<raw> & text]]></string>
  </dict>)");
  const PlistDictionary* dict = root.asDictionary();
  ASSERT_NE(dict, nullptr);
  EXPECT_EQ(*lookup(*dict, "text")->asString(), "a & b <c> \xE2\x98\xBA");
  EXPECT_EQ(*lookup(*dict, "blank")->asString(), "  ");
  EXPECT_EQ(*lookup(*dict, "empty")->asString(), "");
  EXPECT_EQ(*lookup(*dict, "count")->asInteger(), -42);
  EXPECT_EQ(*lookup(*dict, "hex")->asInteger(), 31);
  EXPECT_EQ(*lookup(*dict, "big")->asInteger(), std::numeric_limits<std::int64_t>::max());
  EXPECT_DOUBLE_EQ(*lookup(*dict, "ratio")->asReal(), 0.25);
  EXPECT_DOUBLE_EQ(*lookup(*dict, "whole")->asReal(), 120.0);
  EXPECT_EQ(*lookup(*dict, "yes")->asBool(), true);
  EXPECT_EQ(*lookup(*dict, "no")->asBool(), false);
  EXPECT_EQ(*lookup(*dict, "when")->asDate(), date(2010, 5, 1, 10, 15, 0));
  EXPECT_EQ(lookup(*dict, "bytes")->asData()->bytes, (std::vector<std::uint8_t>{0, 1, 2, 0xFF}));
  const PlistArray* list = lookup(*dict, "list")->asArray();
  ASSERT_NE(list, nullptr);
  ASSERT_EQ(list->size(), 3u);
  EXPECT_EQ(*(*list)[0].asString(), "x");
  EXPECT_EQ(*(*list)[1].asInteger(), 1);
  EXPECT_TRUE((*list)[2].asArray()->empty());
  EXPECT_EQ(*lookup(*lookup(*dict, "nested")->asDictionary(), "inner")->asString(), "deep");
  EXPECT_EQ(*lookup(*dict, "cdata")->asString(), "<raw> & text");
  EXPECT_EQ(lookup(*dict, "missing"), nullptr);
}

TEST(PropertyListReader, AcceptsAnyRootAndABareValue) {
  EXPECT_EQ(*parsed("<string>top</string>").asString(), "top");
  EXPECT_EQ(parsed("<array><true/></array>").asArray()->size(), 1u);
  const auto bare = parsePropertyList("<dict><key>k</key><integer>3</integer></dict>");
  ASSERT_TRUE(bare);
  EXPECT_EQ(*lookup(*bare->asDictionary(), "k")->asInteger(), 3);
  // The usual header with its document type declaration.
  const auto full = parsePropertyList(serializePropertyList(PlistValue("x")));
  ASSERT_TRUE(full);
  EXPECT_EQ(*full->asString(), "x");
}

TEST(PropertyListReader, RefusesMalformedInput) {
  const char* bodies[] = {
      "<dict><key>k</key></dict>",                          // key without value
      "<dict><string>v</string><string>v</string></dict>",  // value without key
      "<dict><key>k</key><key>j</key></dict>",
      "<dict>stray text<key>k</key><true/></dict>",
      "<array><unknown/></array>",
      "<integer>12abc</integer>",
      "<integer></integer>",
      "<integer>9223372036854775808</integer>",
      "<integer>1.5</integer>",
      "<real>1.5x</real>",
      "<real></real>",
      "<date>2010-05-01 10:15:00</date>",
      "<date>2010-13-01T10:15:00Z</date>",
      "<date>2010-02-30T10:15:00Z</date>",
      "<date>2010-05-01T24:00:00Z</date>",
      "<data>AA*A</data>",
      "<data>A</data>",
      "<data>AA==AA</data>",
      "<string>a<b/></string>",
      "<true>x</true>",
      "<string>one</string><string>two</string>",
  };
  for (const char* body : bodies) EXPECT_EQ(parsePropertyList(wrap(body)), std::nullopt) << body;
  EXPECT_EQ(parsePropertyList(""), std::nullopt);
  EXPECT_EQ(parsePropertyList("not xml at all"), std::nullopt);
  EXPECT_EQ(parsePropertyList("<plist><dict><key>k</key><string>unterminated</dict></plist>"), std::nullopt);
  EXPECT_EQ(parsePropertyList("<plist></plist>"), std::nullopt);
}

TEST(PropertyListReader, ToleratesCommentsAndSpecialReals) {
  const PlistValue root = parsed(R"(<!-- a comment -->
    <array><!-- inside --><real>nan</real><real>-inf</real><real>+infinity</real><real>1e400</real>
      <real>-1e-400</real><integer>-9223372036854775808</integer></array>)");
  const PlistArray& array = *root.asArray();
  ASSERT_EQ(array.size(), 6u);
  EXPECT_TRUE(std::isnan(*array[0].asReal()));
  EXPECT_EQ(*array[1].asReal(), -std::numeric_limits<double>::infinity());
  EXPECT_EQ(*array[2].asReal(), std::numeric_limits<double>::infinity());
  EXPECT_EQ(*array[3].asReal(), std::numeric_limits<double>::infinity());
  EXPECT_EQ(*array[4].asReal(), 0.0);
  EXPECT_EQ(*array[5].asInteger(), std::numeric_limits<std::int64_t>::min());
}

TEST(PropertyListReader, RefusesNestingBeyondTheLimitWithoutExhaustingTheStack) {
  const auto nested = [](int depth) {
    std::string text;
    for (int i = 0; i < depth; ++i) text += "<array>";
    for (int i = 0; i < depth; ++i) text += "</array>";
    return text;
  };
  EXPECT_TRUE(parsePropertyList(wrap(nested(kMaxPropertyListDepth))));
  EXPECT_EQ(parsePropertyList(wrap(nested(kMaxPropertyListDepth + 1))), std::nullopt);
  // Far deeper than any stack would survive if the reader recursed blindly.
  EXPECT_EQ(parsePropertyList(wrap(nested(200000))), std::nullopt);
  std::string dicts;
  for (int i = 0; i < 100000; ++i) dicts += "<dict><key>k</key>";
  dicts += "<true/>";
  for (int i = 0; i < 100000; ++i) dicts += "</dict>";
  EXPECT_EQ(parsePropertyList(wrap(dicts)), std::nullopt);
}

TEST(PropertyListWriter, RoundTripsEveryType) {
  PlistDictionary inner{{"k", PlistValue("v")}};
  PlistDictionary dict{
      {"text", PlistValue("a & b < c > d \"quoted\" 'single' ]]>")},
      {"lines", PlistValue("first\r\nsecond\n\tthird\rfourth")},
      {"control", PlistValue("bell\x07 escape\x1B")},
      {"unicode", PlistValue("Gr\xC3\xB6\xC3\x9F"
                             "e \xF0\x9F\x98\x80")},
      {"blank", PlistValue("   ")},
      {"empty", PlistValue("")},
      {"key & <odd>", PlistValue(true)},
      {"no", PlistValue(false)},
      {"int", PlistValue(std::int64_t{-1234567890123})},
      {"real", PlistValue(0.1)},
      {"tiny", PlistValue(5e-324)},
      {"infinite", PlistValue(-std::numeric_limits<double>::infinity())},
      {"when", PlistValue(date(2010, 5, 1, 10, 15, 0))},
      {"data", PlistValue(PlistData{{0, 1, 2, 3, 0xFE, 0xFF}})},
      {"data1", PlistValue(PlistData{{0x41}})},
      {"data2", PlistValue(PlistData{{0x41, 0x42}})},
      {"nodata", PlistValue(PlistData{})},
      {"list", PlistValue(PlistArray{PlistValue(1), PlistValue("two"), PlistValue(PlistArray{})})},
      {"dict", PlistValue(std::move(inner))},
      {"nodict", PlistValue(PlistDictionary{})},
  };
  const PlistValue original(std::move(dict));
  const std::string xml = serializePropertyList(original);
  const auto back = parsePropertyList(xml);
  ASSERT_TRUE(back) << xml;
  EXPECT_EQ(*back, original) << xml;
  EXPECT_NE(xml.find("a &amp; b &lt; c &gt; d"), std::string::npos);
  EXPECT_NE(xml.find("<key>key &amp; &lt;odd&gt;</key>"), std::string::npos);
  EXPECT_NE(xml.find("<date>2010-05-01T10:15:00Z</date>"), std::string::npos);
  EXPECT_NE(xml.find("<data>AAECA/7/</data>"), std::string::npos);
}

TEST(PropertyListWriter, DatesAreWholeSecondsInUtc) {
  EXPECT_EQ(formatIso8601Date(date(1999, 12, 31, 23, 59, 59) + milliseconds(999)), "1999-12-31T23:59:59Z");
  EXPECT_EQ(formatIso8601Date(date(1960, 1, 2, 3, 4, 5)), "1960-01-02T03:04:05Z");
  EXPECT_EQ(parseIso8601Date("2010-05-01T10:15:00.5Z"), date(2010, 5, 1, 10, 15, 0) + milliseconds(500));
  EXPECT_EQ(parseIso8601Date("2012-02-29T00:00:00Z"), date(2012, 2, 29, 0, 0, 0));
  EXPECT_EQ(parseIso8601Date("2010-05-01T10:15:00+01:00"), std::nullopt);
  EXPECT_EQ(parseIso8601Date("2010-05-01T10:15:00ZZ"), std::nullopt);
  // Beyond what the clock can hold: refused, not wrapped around.
  EXPECT_EQ(parseIso8601Date("4020-05-01T10:15:00Z"), std::nullopt);
  EXPECT_EQ(parseIso8601Date("1000-01-01T00:00:00Z"), std::nullopt);
  EXPECT_EQ(parseIso8601Date("0001-01-01T00:00:00Z"), std::nullopt);
  const auto late = parseIso8601Date("2200-12-31T23:59:59Z");
  ASSERT_TRUE(late);
  EXPECT_EQ(formatIso8601Date(*late), "2200-12-31T23:59:59Z");
}

TEST(PlistValue, BoolValueFollowsThePlatform) {
  EXPECT_TRUE(PlistValue(true).boolValue());
  EXPECT_FALSE(PlistValue(false).boolValue());
  EXPECT_TRUE(PlistValue(2).boolValue());
  EXPECT_FALSE(PlistValue(0).boolValue());
  EXPECT_TRUE(PlistValue(0.5).boolValue());
  EXPECT_FALSE(PlistValue(0.0).boolValue());
  for (const char* yes : {"YES", "yes", "true", "T", "1", "  7", "+0001", "-3", "y whatever", "0009"})
    EXPECT_TRUE(PlistValue(yes).boolValue()) << yes;
  for (const char* no : {"NO", "no", "false", "0", "00", "", "   ", "0.5", "x", "+", "-0", "on"})
    EXPECT_FALSE(PlistValue(no).boolValue()) << no;
  EXPECT_FALSE(PlistValue(PlistArray{PlistValue(true)}).boolValue());
  EXPECT_FALSE(PlistValue(PlistData{{1}}).boolValue());
}

TEST(PlistValue, FloatValueFollowsThePlatform) {
  EXPECT_FLOAT_EQ(PlistValue(120.0).floatValue(), 120.0f);
  EXPECT_FLOAT_EQ(PlistValue(45).floatValue(), 45.0f);
  EXPECT_FLOAT_EQ(PlistValue(true).floatValue(), 1.0f);
  EXPECT_FLOAT_EQ(PlistValue("30").floatValue(), 30.0f);
  EXPECT_FLOAT_EQ(PlistValue(" \t\n12.5 seconds").floatValue(), 12.5f);
  EXPECT_FLOAT_EQ(PlistValue("-3.25e1x").floatValue(), -32.5f);
  EXPECT_FLOAT_EQ(PlistValue("+.5").floatValue(), 0.5f);
  EXPECT_FLOAT_EQ(PlistValue("7.").floatValue(), 7.0f);
  EXPECT_FLOAT_EQ(PlistValue("1e").floatValue(), 1.0f);
  EXPECT_FLOAT_EQ(PlistValue("2e+").floatValue(), 2.0f);
  for (const char* zero : {"", "abc", "x12", ".", "-", "e5", "0x10"})
    EXPECT_FLOAT_EQ(PlistValue(zero).floatValue(), 0.0f) << zero;
  EXPECT_FLOAT_EQ(PlistValue(PlistDictionary{}).floatValue(), 0.0f);
  EXPECT_FLOAT_EQ(PlistValue(PlistDate{}).floatValue(), 0.0f);
  // Beyond float's range: an infinity, never undefined behaviour.
  EXPECT_EQ(PlistValue(1e300).floatValue(), std::numeric_limits<float>::infinity());
  EXPECT_EQ(PlistValue("-1e300").floatValue(), -std::numeric_limits<float>::infinity());
  EXPECT_EQ(PlistValue("1e99999999999").floatValue(), std::numeric_limits<float>::infinity());
}

TEST(PlistValue, DescriptionsForPlaceholders) {
  EXPECT_EQ(PlistValue("text").description(), "text");
  EXPECT_EQ(PlistValue(static_cast<const char*>(nullptr)).description(), "");
  EXPECT_EQ(PlistValue(42).description(), "42");
  EXPECT_EQ(PlistValue(120.0).description(), "120");
  EXPECT_EQ(PlistValue(0.25).description(), "0.25");
  EXPECT_EQ(PlistValue(true).description(), "1");
  EXPECT_EQ(PlistValue(date(2010, 5, 1, 10, 15, 0)).description(), "2010-05-01 10:15:00 +0000");
  EXPECT_EQ(PlistValue(PlistData{{0xDE, 0xAD, 0xBE, 0xEF, 0x01}}).description(), "<deadbeef 01>");
  EXPECT_EQ(PlistValue(PlistArray{PlistValue("a"), PlistValue("b c")}).description(), "(\n    a,\n    \"b c\"\n)");
  EXPECT_EQ(PlistValue(PlistDictionary{{"k", PlistValue(1)}}).description(), "{\n    k = 1;\n}");
}

TEST(PropertyListFile, ReadsDictionariesAndReportsWhatElseItFound) {
  test::TempDir dir;
  const std::string plist = dir / "Info.plist";
  test::writeFile(plist, serializePropertyList(PlistValue(PlistDictionary{{"CFBundleVersion", PlistValue("1.2")}})));
  const auto dict = readDictionaryFromFile(plist);
  ASSERT_TRUE(dict);
  EXPECT_EQ(*lookup(*dict, "CFBundleVersion")->asString(), "1.2");

  EXPECT_EQ(readPropertyListFile(dir / "missing.plist").status, PlistFileStatus::Missing);
  EXPECT_EQ(readDictionaryFromFile(dir / "missing.plist"), std::nullopt);
  EXPECT_EQ(readPropertyListFile(dir / "missing/below.plist").status, PlistFileStatus::Missing);

  test::makeDirectories(dir / "folder.plist");
  EXPECT_EQ(readPropertyListFile(dir / "folder.plist").status, PlistFileStatus::NotAFile);
  EXPECT_EQ(readDictionaryFromFile(dir / "folder.plist"), std::nullopt);

  test::writeFile(dir / "empty.plist", "");
  EXPECT_EQ(readPropertyListFile(dir / "empty.plist").status, PlistFileStatus::Empty);

  test::writeFile(dir / "corrupt.plist", "<plist><dict><key>half");
  EXPECT_EQ(readPropertyListFile(dir / "corrupt.plist").status, PlistFileStatus::Malformed);

  // A valid property list whose top level is not a dictionary.
  test::writeFile(dir / "array.plist", serializePropertyList(PlistValue(PlistArray{PlistValue(1)})));
  EXPECT_EQ(readPropertyListFile(dir / "array.plist").status, PlistFileStatus::Ok);
  EXPECT_EQ(readDictionaryFromFile(dir / "array.plist"), std::nullopt);

  // A FIFO must not block the reader.
  ASSERT_EQ(::mkfifo((dir / "fifo.plist").c_str(), 0600), 0);
  EXPECT_EQ(readPropertyListFile(dir / "fifo.plist").status, PlistFileStatus::NotAFile);
}

TEST(PropertyListFile, RefusesFilesBeyondTheSizeLimit) {
  test::TempDir dir;
  const std::string path = dir / "huge.plist";
  // Sparse: large in size, cheap on disk.
  test::writeFile(path, "<plist><dict/></plist>");
  ASSERT_EQ(::truncate(path.c_str(), static_cast<off_t>(kMaxPropertyListFileSize) + 1), 0);
  EXPECT_EQ(readPropertyListFile(path).status, PlistFileStatus::TooLarge);
  EXPECT_EQ(readDictionaryFromFile(path), std::nullopt);
}

TEST(PropertyListFile, UnreadableFileIsNotMistakenForAMissingOne) {
  test::TempDir dir;
  // A link to itself cannot be opened, even by root.
  const std::string loop = dir / "loop.plist";
  ASSERT_EQ(::symlink("loop.plist", loop.c_str()), 0);
  EXPECT_EQ(readPropertyListFile(loop).status, PlistFileStatus::Unreadable);
  if (::geteuid() != 0) {
    const std::string locked = dir / "locked.plist";
    test::writeFile(locked, "<plist><dict/></plist>", 0000);
    EXPECT_EQ(readPropertyListFile(locked).status, PlistFileStatus::Unreadable);
  }
}

}  // namespace
}  // namespace cw

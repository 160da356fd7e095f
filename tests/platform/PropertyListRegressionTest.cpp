// Inputs the property-list fuzz target (fuzz/fuzz_plist.cpp) found
// mishandled, kept so that the fault cannot come back unnoticed. The fuzz run
// replays the same inputs from fuzz/regressions/fuzz_plist/.

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "Platform/PropertyList.h"

namespace cw {
namespace {

using namespace std::chrono;

PlistDate date(int y, unsigned m, unsigned d, int hh, int mm, int ss) {
  return PlistDate(sys_days(year(y) / month(m) / day(d)) + hours(hh) + minutes(mm) + seconds(ss));
}

// The clock counts nanoseconds in 64 bits; a year such as 3167 overflowed the
// conversion (undefined behaviour, a wrapped date in practice) instead of
// being refused.
TEST(PropertyListRegression, DateBeyondTheClockIsRefused) {
  EXPECT_EQ(parsePropertyList("<plist><date>3167-01-01T00:00:00Z</date></plist>"), std::nullopt);
  EXPECT_EQ(parsePropertyList("<plist><date>9999-12-31T23:59:59.999999999Z</date></plist>"), std::nullopt);
  EXPECT_EQ(parsePropertyList("<plist><date>0000-01-01T00:00:00Z</date></plist>"), std::nullopt);
}

// Right at the ends of the clock's range: the last whole seconds that hold,
// with any fraction, read and write back; the next ones are refused.
TEST(PropertyListRegression, DatesAtTheEndsOfTheClocksRange) {
  EXPECT_EQ(parseIso8601Date("2262-04-11T23:47:15.999999999Z"), date(2262, 4, 11, 23, 47, 15) + nanoseconds(999999999));
  EXPECT_EQ(parseIso8601Date("2262-04-11T23:47:16Z"), std::nullopt);
  EXPECT_EQ(parseIso8601Date("1677-09-21T00:12:44Z"), date(1677, 9, 21, 0, 12, 44));
  EXPECT_EQ(parseIso8601Date("1677-09-21T00:12:43Z"), std::nullopt);

  const auto late = parsePropertyList("<plist><date>2262-04-11T23:47:15Z</date></plist>");
  ASSERT_TRUE(late);
  const auto again = parsePropertyList(serializePropertyList(*late));
  ASSERT_TRUE(again);
  EXPECT_EQ(*again, *late);
}

}  // namespace
}  // namespace cw

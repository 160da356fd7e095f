#include <gtest/gtest.h>

#include <string>

#include "Platform/Utf8.h"

namespace cw {
namespace {

using namespace std::literals;

TEST(Utf8, AcceptsWellFormedText) {
  EXPECT_TRUE(isValidUtf8(""));
  EXPECT_TRUE(isValidUtf8("plain ASCII\n"));
  EXPECT_TRUE(isValidUtf8("nul \0 inside"sv));
  EXPECT_TRUE(isValidUtf8("\xC2\x80"));          // U+0080, smallest two-byte
  EXPECT_TRUE(isValidUtf8("\xDF\xBF"));          // U+07FF
  EXPECT_TRUE(isValidUtf8("\xE0\xA0\x80"));      // U+0800, smallest three-byte
  EXPECT_TRUE(isValidUtf8("\xED\x9F\xBF"));      // U+D7FF, just below the surrogates
  EXPECT_TRUE(isValidUtf8("\xEE\x80\x80"));      // U+E000, just above
  EXPECT_TRUE(isValidUtf8("\xEF\xBF\xBF"));      // U+FFFF
  EXPECT_TRUE(isValidUtf8("\xF0\x90\x80\x80"));  // U+10000
  EXPECT_TRUE(isValidUtf8("\xF4\x8F\xBF\xBF"));  // U+10FFFF, the last
  EXPECT_TRUE(
      isValidUtf8("Gr\xC3\xB6\xC3\x9F"
                  "e \xF0\x9F\x98\x80"));
}

TEST(Utf8, RefusesMalformedText) {
  EXPECT_FALSE(isValidUtf8("\x80"));  // lone continuation
  EXPECT_FALSE(isValidUtf8("\xBF"));
  EXPECT_FALSE(isValidUtf8("\xC3"));  // truncated
  EXPECT_FALSE(isValidUtf8("\xE2\x98"));
  EXPECT_FALSE(isValidUtf8("\xF0\x9F\x98"));
  EXPECT_FALSE(isValidUtf8("ok\xC3"));    // truncated at the very end
  EXPECT_FALSE(isValidUtf8("\xC3\x28"));  // bad continuation
  EXPECT_FALSE(isValidUtf8("\xE2\x28\xA1"));
  EXPECT_FALSE(isValidUtf8("\xF0\x9F\x28\x80"));
  EXPECT_FALSE(isValidUtf8("\xC0\xAF"));  // overlong '/'
  EXPECT_FALSE(isValidUtf8("\xC1\xBF"));
  EXPECT_FALSE(isValidUtf8("\xE0\x80\xAF"));  // overlong three-byte
  EXPECT_FALSE(isValidUtf8("\xE0\x9F\xBF"));
  EXPECT_FALSE(isValidUtf8("\xF0\x80\x80\xAF"));  // overlong four-byte
  EXPECT_FALSE(isValidUtf8("\xF0\x8F\xBF\xBF"));
  EXPECT_FALSE(isValidUtf8("\xED\xA0\x80"));      // U+D800, a surrogate
  EXPECT_FALSE(isValidUtf8("\xED\xBF\xBF"));      // U+DFFF
  EXPECT_FALSE(isValidUtf8("\xF4\x90\x80\x80"));  // U+110000
  EXPECT_FALSE(isValidUtf8("\xF5\x80\x80\x80"));
  EXPECT_FALSE(isValidUtf8("\xF8\x88\x80\x80\x80"));  // old five-byte form
  EXPECT_FALSE(isValidUtf8("\xFE"));
  EXPECT_FALSE(isValidUtf8("\xFF"));
  EXPECT_FALSE(isValidUtf8("\xE2\x98\xBA\xBA"));  // one continuation too many
}

}  // namespace
}  // namespace cw

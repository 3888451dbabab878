// The platform's UTF-8/UTF-16 codec.
#include "platform/utf.h"

#include <gtest/gtest.h>

namespace {

using platform::utf::appendUtf16;
using platform::utf::appendUtf8;

TEST(Utf, DecodesWellFormedAndReplacesEachMaximalIllFormedPiece) {
  struct Case {
    const char* name;
    std::string in;
    std::u16string out;  // lenient result
    bool valid;
    size_t prefix;  // well-formed prefix length
  };
  const Case cases[] = {
      {"ascii", "ab", u"ab", true, 2},
      {"two, three and four bytes", "\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80", u"\u00E9\u4E2D\U0001F600", true, 9},
      {"empty", "", u"", true, 0},
      {"truncated", "a\xC3", u"a\uFFFD", false, 1},
      {"cut three-byte sequence is one replacement", "\xE4\xB8z", u"\uFFFDz", false, 0},
      {"stray continuation",
       "\x80"
       "a",
       u"\uFFFDa", false, 0},
      {"overlong two bytes", "\xC0\xAF", u"\uFFFD\uFFFD", false, 0},
      {"overlong three bytes", "\xE0\x80\xAF", u"\uFFFD\uFFFD\uFFFD", false, 0},
      {"encoded surrogate", "x\xED\xA0\x80", u"x\uFFFD\uFFFD\uFFFD", false, 1},
      {"above U+10FFFF", "\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD", false, 0},
      {"five-byte lead", "\xF8\x88\x80\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD", false, 0},
      {"highest code point", "\xF4\x8F\xBF\xBF", u"\U0010FFFF", true, 4},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(platform::utf::toUtf16(c.in), c.out);
    std::u16string strict = u"<";
    EXPECT_EQ(appendUtf16(strict, c.in, true), c.valid);
    if (c.valid) {
      EXPECT_EQ(strict, u"<" + c.out);
    }
    EXPECT_EQ(platform::utf::validUtf8Prefix(c.in), c.prefix);
    EXPECT_EQ(platform::utf::isValidUtf8(c.in), c.valid);
  }
}

TEST(Utf, EncodesPairsAndReplacesLoneSurrogates) {
  struct Case {
    const char* name;
    std::u16string in;
    std::string out;
    bool valid;
  };
  const Case cases[] = {
      {"bmp", u"a\u00E9\u4E2D", "a\xC3\xA9\xE4\xB8\xAD", true},
      {"pair", u"\U0001F600", "\xF0\x9F\x98\x80", true},
      {"lone high at end", u"a\xD83D", "a\xEF\xBF\xBD", false},
      {"lone low", std::u16string(1, u'\xDE00') + u"b",
       "\xEF\xBF\xBD"
       "b",
       false},
      {"reversed pair", std::u16string{u'\xDE00', u'\xD83D'}, "\xEF\xBF\xBD\xEF\xBF\xBD", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(platform::utf::toUtf8(c.in), c.out);
    std::string strict;
    EXPECT_EQ(appendUtf8(strict, c.in, true), c.valid);
    if (c.valid) {
      EXPECT_EQ(platform::utf::toUtf16(strict), c.in);
    }
  }
}

TEST(Utf, GeneralizedFormCarriesLoneSurrogatesBothWays) {
  const std::u16string lone{u'a', u'\xD83D', u'b', u'\xDE00'};
  std::string g = platform::utf::toGeneralizedUtf8(lone);
  EXPECT_EQ(g,
            "a\xED\xA0\xBD"
            "b\xED\xB8\x80");
  EXPECT_EQ(platform::utf::fromGeneralizedUtf8(g), lone);
  // A pair is written as two units; read back it is the same pair, and the
  // four-byte form reads as that pair too.
  EXPECT_EQ(platform::utf::toGeneralizedUtf8(u"\U0001F600"), "\xED\xA0\xBD\xED\xB8\x80");
  EXPECT_EQ(platform::utf::fromGeneralizedUtf8("\xF0\x9F\x98\x80"), u"\U0001F600");
  // Still no overlong forms or stray bytes.
  EXPECT_EQ(platform::utf::fromGeneralizedUtf8("\xC0\xAF\x80"), u"\uFFFD\uFFFD\uFFFD");
}

}  // namespace

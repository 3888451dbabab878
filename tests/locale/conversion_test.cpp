// MultiByteToWideChar and WideCharToMultiByte: the documented contract, and
// Chinese text compared with what iconv(1) makes of it.
#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "TestRoot.h"
#include "platform/kernel.h"
#include "platform/locale.h"

namespace {

constexpr int kWhole = INT_MIN;  // "the length of the input" in the tables below
constexpr DWORD kUntouched = 0xDEADBEEF;

std::string hex(const std::string& s) {
  static const char* digits = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : s) {
    out += digits[c >> 4];
    out += digits[c & 15];
    out += ' ';
  }
  return out;
}

std::string hex(const std::u16string& s) {
  static const char* digits = "0123456789ABCDEF";
  std::string out;
  for (char16_t c : s) {
    for (int shift = 12; shift >= 0; shift -= 4) out += digits[(c >> shift) & 15];
    out += ' ';
  }
  return out;
}

TEST(MultiByteToWideChar, Contract) {
  struct Case {
    const char* name;
    UINT cp;
    DWORD flags;
    std::string in;
    int cb;   // kWhole: in.size()
    int cch;  // output buffer size given to the call
    int ret;
    DWORD err;  // kUntouched: last error left alone
    std::u16string out;
  };
  const Case cases[] = {
      {"utf8 -1 converts and counts the NUL", CP_UTF8, 0, std::string("a\xC3\xA9", 3), -1, 16, 3, kUntouched,
       std::u16string(u"a\u00E9\0", 3)},
      {"utf8 explicit length has no NUL", CP_UTF8, 0, "a\xC3\xA9", kWhole, 16, 2, kUntouched, u"a\u00E9"},
      {"size query", CP_UTF8, 0, "a\xC3\xA9", -1, 0, 3, kUntouched, u""},
      {"exact fit", CP_UTF8, 0, "a\xC3\xA9", -1, 3, 3, kUntouched, std::u16string(u"a\u00E9\0", 3)},
      {"buffer one short", CP_UTF8, 0, "a\xC3\xA9", -1, 2, 0, ERROR_INSUFFICIENT_BUFFER, u""},
      {"embedded NUL with a length", CP_UTF8, 0, std::string("a\0b", 3), kWhole, 8, 3, kUntouched,
       std::u16string(u"a\0b", 3)},
      {"supplementary character is a surrogate pair", CP_UTF8, 0, "\xF0\x9F\x98\x80", kWhole, 8, 2, kUntouched,
       u"\U0001F600"},
      {"pair counted in a size query", CP_UTF8, 0, "x\xF0\x9F\x98\x80", -1, 0, 4, kUntouched, u""},
      {"cb 0", CP_UTF8, 0, "a", 0, 8, 0, ERROR_INVALID_PARAMETER, u""},
      {"cb below -1", CP_UTF8, 0, "a", -2, 8, 0, ERROR_INVALID_PARAMETER, u""},
      {"cch negative", CP_UTF8, 0, "a", 1, -1, 0, ERROR_INVALID_PARAMETER, u""},
      {"unsupported code page 437", 437, 0, "a", 1, 8, 0, ERROR_INVALID_PARAMETER, u""},
      {"unsupported code page 1200", 1200, 0, "a", 1, 8, 0, ERROR_INVALID_PARAMETER, u""},
      {"utf8 refuses MB_PRECOMPOSED", CP_UTF8, MB_PRECOMPOSED, "a", 1, 8, 0, ERROR_INVALID_FLAGS, u""},
      {"MB_COMPOSITE unsupported", 950, MB_COMPOSITE, "a", 1, 8, 0, ERROR_INVALID_FLAGS, u""},
      {"950 accepts MB_PRECOMPOSED", 950, MB_PRECOMPOSED, "\xA4\xA4\xA4\xE5", kWhole, 8, 2, kUntouched, u"中文"},
      // UTF-8 ill-formed input: fails under MB_ERR_INVALID_CHARS, else U+FFFD
      // per maximal ill-formed subsequence.
      {"utf8 truncated, strict", CP_UTF8, MB_ERR_INVALID_CHARS, "a\xC3", kWhole, 8, 0, ERROR_NO_UNICODE_TRANSLATION,
       u""},
      {"utf8 encoded surrogate, strict", CP_UTF8, MB_ERR_INVALID_CHARS, "\xED\xA0\x80", kWhole, 8, 0,
       ERROR_NO_UNICODE_TRANSLATION, u""},
      {"utf8 overlong, strict", CP_UTF8, MB_ERR_INVALID_CHARS, "\xC0\xAF", kWhole, 8, 0, ERROR_NO_UNICODE_TRANSLATION,
       u""},
      {"utf8 above U+10FFFF, strict", CP_UTF8, MB_ERR_INVALID_CHARS, "\xF4\x90\x80\x80", kWhole, 8, 0,
       ERROR_NO_UNICODE_TRANSLATION, u""},
      {"utf8 truncated", CP_UTF8, 0, "a\xC3", kWhole, 8, 2, kUntouched, u"a\uFFFD"},
      {"utf8 cut three-byte sequence is one replacement", CP_UTF8, 0, "\xE4\xB8z", kWhole, 8, 2, kUntouched,
       u"\uFFFDz"},
      {"utf8 encoded surrogate is three replacements", CP_UTF8, 0, "\xED\xA0\x80", kWhole, 8, 3, kUntouched,
       u"\uFFFD\uFFFD\uFFFD"},
      {"utf8 stray continuation byte", CP_UTF8, 0,
       "\x80"
       "a",
       kWhole, 8, 2, kUntouched, u"\uFFFDa"},
      // Double-byte code pages.
      {"950", 950, 0, "\xA4\xA4\xA4\xE5 ok", kWhole, 8, 5, kUntouched, u"中文 ok"},
      {"950 lone lead byte, strict", 950, MB_ERR_INVALID_CHARS, "\xA4\xA4\xA4", kWhole, 8, 0,
       ERROR_NO_UNICODE_TRANSLATION, u""},
      {"950 lone lead byte", 950, 0, "\xA4\xA4\xA4", kWhole, 8, 2, kUntouched, u"中\u30FB"},
      {"950 lead byte before ASCII keeps the ASCII", 950, 0,
       "\xA4\x0A"
       "b",
       kWhole, 8, 3, kUntouched, u"\u30FB\nb"},
      {"936", 936, 0, "\xD6\xD0\xCE\xC4", kWhole, 8, 2, kUntouched, u"中文"},
      {"936 single-byte euro", 936, 0, "\x80", kWhole, 8, 1, kUntouched, u"\u20AC"},
      // 1252, including the five bytes without a character.
      {"1252", 1252, MB_ERR_INVALID_CHARS, "\x80\x81\x8D\x8F\x90\x9D\xE9", kWhole, 8, 7, kUntouched,
       u"\u20AC\u0081\u008D\u008F\u0090\u009D\u00E9"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    WCHAR buf[16];
    std::fill(std::begin(buf), std::end(buf), u'#');
    int cb = c.cb == kWhole ? static_cast<int>(c.in.size()) : c.cb;
    SetLastError(kUntouched);
    int ret = MultiByteToWideChar(c.cp, c.flags, c.in.data(), cb, c.cch > 0 ? buf : nullptr, c.cch);
    EXPECT_EQ(ret, c.ret);
    EXPECT_EQ(GetLastError(), c.err);
    if (ret > 0 && c.cch > 0) {
      EXPECT_EQ(hex(std::u16string(buf, ret)), hex(c.out));
      if (ret < 16) {
        EXPECT_EQ(buf[ret], u'#') << "wrote past the result";
      }
    }
    if (c.cch == 0 || ret == 0) {
      EXPECT_EQ(buf[0], u'#') << "wrote on a size query or failure";
    }
  }
}

TEST(MultiByteToWideChar, NullAndSharedBuffers) {
  WCHAR out[8];
  SetLastError(0);
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, nullptr, -1, out, 8), 0);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  SetLastError(0);
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "abc", -1, nullptr, 8), 0);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  char shared[16] = "abc";
  SetLastError(0);
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, shared, -1, reinterpret_cast<LPWSTR>(shared), 8), 0);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST(WideCharToMultiByte, Contract) {
  struct Case {
    const char* name;
    UINT cp;
    DWORD flags;
    std::u16string in;
    int cch;  // kWhole: in.size()
    int cb;
    const char* defaultChar;
    bool askUsed;
    int ret;
    DWORD err;
    std::string out;
    bool used;
  };
  const Case cases[] = {
      {"utf8 -1 counts the NUL", CP_UTF8, 0, u"a\u00E9", -1, 16, nullptr, false, 4, kUntouched,
       std::string("a\xC3\xA9\0", 4), false},
      {"utf8 size query", CP_UTF8, 0, u"a\u00E9", -1, 0, nullptr, false, 4, kUntouched, "", false},
      {"utf8 buffer one short", CP_UTF8, 0, u"a\u00E9", -1, 3, nullptr, false, 0, ERROR_INSUFFICIENT_BUFFER, "", false},
      {"utf8 pair", CP_UTF8, 0, u"\U0001F600", kWhole, 16, nullptr, false, 4, kUntouched, "\xF0\x9F\x98\x80", false},
      {"utf8 lone high surrogate", CP_UTF8, 0,
       u"a\xD83D"
       "b",
       kWhole, 16, nullptr, false, 5, kUntouched,
       "a\xEF\xBF\xBD"
       "b",
       false},
      {"utf8 lone low surrogate at the end", CP_UTF8, 0, u"a\xDE00", kWhole, 16, nullptr, false, 4, kUntouched,
       "a\xEF\xBF\xBD", false},
      {"utf8 lone surrogate, strict", CP_UTF8, WC_ERR_INVALID_CHARS, u"a\xD83D", kWhole, 16, nullptr, false, 0,
       ERROR_NO_UNICODE_TRANSLATION, "", false},
      {"utf8 refuses a default char", CP_UTF8, 0, u"a", kWhole, 16, "?", false, 0, ERROR_INVALID_PARAMETER, "", false},
      {"utf8 refuses usedDefaultChar", CP_UTF8, 0, u"a", kWhole, 16, nullptr, true, 0, ERROR_INVALID_PARAMETER, "",
       false},
      {"utf8 refuses WC_NO_BEST_FIT_CHARS", CP_UTF8, WC_NO_BEST_FIT_CHARS, u"a", kWhole, 16, nullptr, false, 0,
       ERROR_INVALID_FLAGS, "", false},
      {"WC_ERR_INVALID_CHARS is for UTF-8 only", 950, WC_ERR_INVALID_CHARS, u"a", kWhole, 16, nullptr, false, 0,
       ERROR_INVALID_FLAGS, "", false},
      {"cch 0", 950, 0, u"a", 0, 16, nullptr, false, 0, ERROR_INVALID_PARAMETER, "", false},
      {"cch below -1", 950, 0, u"a", -2, 16, nullptr, false, 0, ERROR_INVALID_PARAMETER, "", false},
      {"cb negative", 950, 0, u"a", kWhole, -1, nullptr, false, 0, ERROR_INVALID_PARAMETER, "", false},
      {"unsupported code page", 932, 0, u"a", kWhole, 16, nullptr, false, 0, ERROR_INVALID_PARAMETER, "", false},
      {"950", 950, WC_NO_BEST_FIT_CHARS, u"中文", kWhole, 16, nullptr, true, 4, kUntouched, "\xA4\xA4\xA4\xE5", false},
      {"950 unmappable gives '?'", 950, 0, u"中\u00E9", kWhole, 16, nullptr, true, 3, kUntouched, "\xA4\xA4?", true},
      {"950 own default char", 950, 0, u"中\u00E9", kWhole, 16, "*", true, 3, kUntouched, "\xA4\xA4*", true},
      {"950 double-byte default char", 950, 0, u"\u00E9", kWhole, 16, "\xA1\x40", true, 2, kUntouched, "\xA1\x40",
       true},
      {"950 pair is two defaults", 950, 0, u"\U0001F600", kWhole, 16, nullptr, true, 2, kUntouched, "??", true},
      {"950 size query reports the default", 950, 0, u"\u00E9\u00E9", kWhole, 0, nullptr, true, 2, kUntouched, "",
       true},
      {"950 -1", 950, 0, u"中", -1, 16, nullptr, false, 3, kUntouched, std::string("\xA4\xA4\0", 3), false},
      {"950 buffer short", 950, 0, u"中文", kWhole, 3, nullptr, false, 0, ERROR_INSUFFICIENT_BUFFER, "", false},
      {"936", 936, 0, u"中文\u20AC", kWhole, 16, nullptr, true, 5, kUntouched, "\xD6\xD0\xCE\xC4\x80", false},
      {"1252", 1252, 0, u"Caf\u00E9 \u20AC\u0081\u009D", kWhole, 16, nullptr, true, 8, kUntouched,
       "Caf\xE9 \x80\x81\x9D", false},
      {"1252 unmappable", 1252, 0, u"a\u4E2D", kWhole, 16, nullptr, true, 2, kUntouched, "a?", true},
      {"1252 lone surrogate", 1252, 0, u"\xDC00z", kWhole, 16, nullptr, true, 2, kUntouched, "?z", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    char buf[16];
    std::fill(std::begin(buf), std::end(buf), '#');
    int cch = c.cch == kWhole ? static_cast<int>(c.in.size()) : c.cch;
    BOOL used = 7;
    SetLastError(kUntouched);
    int ret = WideCharToMultiByte(c.cp, c.flags, c.in.c_str(), cch, c.cb > 0 ? buf : nullptr, c.cb, c.defaultChar,
                                  c.askUsed ? &used : nullptr);
    EXPECT_EQ(ret, c.ret);
    EXPECT_EQ(GetLastError(), c.err);
    if (ret > 0 && c.cb > 0) {
      EXPECT_EQ(hex(std::string(buf, ret)), hex(c.out));
      if (ret < 16) {
        EXPECT_EQ(buf[ret], '#') << "wrote past the result";
      }
    }
    if (c.askUsed && ret > 0) {
      EXPECT_EQ(used, c.used ? TRUE : FALSE);
    }
    if (c.cb == 0 || ret == 0) {
      EXPECT_EQ(buf[0], '#') << "wrote on a size query or failure";
    }
  }
}

// Chinese and Western text against iconv(1): our bytes are iconv's, iconv
// reads our bytes back to the same text, and we read iconv's bytes back.
TEST(CodePages, RoundTripAgainstIconv) {
  struct Case {
    UINT cp;
    const char* iconvName;
    const char* utf8;
    std::u16string text;
    const char* knownPrefix;  // bytes of the first characters, from the code page's table
  };
  const Case cases[] = {
      {950, "CP950", "憑證載具密碼不正確，請重新輸入。", u"憑證載具密碼不正確，請重新輸入。", "\xBE\xCC\xC3\xD2"},
      {936, "CP936", "证书载具密码不正确，请重新输入。", u"证书载具密码不正确，请重新输入。", "\xD6\xA4\xCA\xE9"},
      {1252, "CP1252", "Café crème – 5 € • naïve", u"Café crème – 5 € • naïve", "Caf\xE9"},
  };
  std::string dir = testsupport::freshDir("iconv");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.iconvName);
    std::string utf8Path = dir + "/utf8.txt", theirsPath = dir + "/theirs.bin", oursPath = dir + "/ours.bin";
    testsupport::writeFile(utf8Path, c.utf8);
    ASSERT_EQ(testsupport::run("iconv -f UTF-8 -t " + std::string(c.iconvName) + " " + utf8Path + " > " + theirsPath),
              0);
    std::string theirs = testsupport::readFile(theirsPath);

    int n = WideCharToMultiByte(c.cp, 0, c.text.data(), static_cast<int>(c.text.size()), nullptr, 0, nullptr, nullptr);
    ASSERT_GT(n, 0);
    std::string ours(n, '\0');
    BOOL used = TRUE;
    ASSERT_EQ(
        WideCharToMultiByte(c.cp, 0, c.text.data(), static_cast<int>(c.text.size()), ours.data(), n, nullptr, &used),
        n);
    EXPECT_FALSE(used);
    EXPECT_EQ(hex(ours), hex(theirs));
    EXPECT_EQ(ours.rfind(c.knownPrefix, 0), 0u) << hex(ours);

    testsupport::writeFile(oursPath, ours);
    std::string back;
    ASSERT_EQ(testsupport::run("iconv -f " + std::string(c.iconvName) + " -t UTF-8 " + oursPath, &back), 0);
    EXPECT_EQ(back, c.utf8);

    int m = MultiByteToWideChar(c.cp, MB_ERR_INVALID_CHARS, theirs.data(), static_cast<int>(theirs.size()), nullptr, 0);
    ASSERT_GT(m, 0);
    std::u16string wide(m, u'\0');
    ASSERT_EQ(
        MultiByteToWideChar(c.cp, MB_ERR_INVALID_CHARS, theirs.data(), static_cast<int>(theirs.size()), wide.data(), m),
        m);
    EXPECT_EQ(hex(wide), hex(c.text));
  }
}

// Long input crosses the converters' internal buffers.
TEST(CodePages, LongTextConvertsWhole) {
  std::u16string text;
  for (int i = 0; i < 3000; ++i) text += u"載具\u00E9x";
  int n = WideCharToMultiByte(950, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
  ASSERT_EQ(n, 3000 * 6);  // two double-byte characters, one default, one ASCII
  std::string bytes(n, '\0');
  ASSERT_EQ(WideCharToMultiByte(950, 0, text.data(), static_cast<int>(text.size()), bytes.data(), n, nullptr, nullptr),
            n);
  int m = MultiByteToWideChar(950, 0, bytes.data(), n, nullptr, 0);
  ASSERT_EQ(m, 3000 * 4);
  std::u16string back(m, u'\0');
  ASSERT_EQ(MultiByteToWideChar(950, 0, bytes.data(), n, back.data(), m), m);
  std::u16string expected;
  for (int i = 0; i < 3000; ++i) expected += u"載具?x";
  EXPECT_TRUE(back == expected);
}

}  // namespace

// The ANSI code page and default locale from the environment, and the
// per-thread locale and UI language.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <thread>

#include "platform/kernel.h"
#include "platform/locale.h"

namespace {

// Sets LC_ALL, LC_CTYPE and LANG for one test and puts the old values back.
class LocaleEnv : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : kNames) {
      const char* v = std::getenv(name);
      saved_.push_back(v == nullptr ? std::make_pair(false, std::string()) : std::make_pair(true, std::string(v)));
    }
  }
  void TearDown() override {
    for (size_t i = 0; i < 3; ++i) {
      if (saved_[i].first) {
        setenv(kNames[i], saved_[i].second.c_str(), 1);
      } else {
        unsetenv(kNames[i]);
      }
    }
    PlatformResetLocale();
  }
  // nullptr leaves the variable unset.
  static void use(const char* lcAll, const char* lcCtype, const char* lang) {
    const char* values[] = {lcAll, lcCtype, lang};
    for (size_t i = 0; i < 3; ++i) {
      if (values[i] == nullptr) {
        unsetenv(kNames[i]);
      } else {
        setenv(kNames[i], values[i], 1);
      }
    }
    PlatformResetLocale();
  }
  static constexpr const char* kNames[3] = {"LC_ALL", "LC_CTYPE", "LANG"};
  std::vector<std::pair<bool, std::string>> saved_;
};

// Bytes of U+4E2D (中) in the given code page, through the API.
std::string zhong(UINT codePage) {
  char buf[8] = {};
  int n = WideCharToMultiByte(codePage, 0, u"\u4E2D", 1, buf, sizeof buf, nullptr, nullptr);
  return std::string(buf, n > 0 ? n : 0);
}

TEST_F(LocaleEnv, AnsiCodePageAndUserLocaleFollowTheFirstSetVariable) {
  struct Case {
    const char* lcAll;
    const char* lcCtype;
    const char* lang;
    UINT acp;
    LCID lcid;
  };
  const Case cases[] = {
      {nullptr, nullptr, nullptr, 65001, 0x0409},
      {nullptr, nullptr, "zh_TW.BIG5", 950, 0x0404},
      {nullptr, nullptr, "zh_TW.big5", 950, 0x0404},
      {nullptr, nullptr, "zh_TW.Big5@stroke", 950, 0x0404},
      {nullptr, nullptr, "zh_CN.GBK", 936, 0x0804},
      {nullptr, nullptr, "zh_CN.gb2312", 936, 0x0804},
      {nullptr, nullptr, "zh_CN.GB18030", 936, 0x0804},
      {nullptr, nullptr, "en_US.ISO-8859-1", 1252, 0x0409},
      {nullptr, nullptr, "en_US.iso88591", 1252, 0x0409},
      {nullptr, nullptr, "de_DE.CP1252", 1252, 0x0409},
      {nullptr, nullptr, "zh_TW.UTF-8", 65001, 0x0404},
      {nullptr, nullptr, "zh_CN.utf8", 65001, 0x0804},
      {nullptr, nullptr, "zh_TW", 65001, 0x0404},
      {nullptr, nullptr, "C", 65001, 0x0409},
      {nullptr, nullptr, "ja_JP.EUC-JP", 65001, 0x0409},
      {nullptr, nullptr, "", 65001, 0x0409},
      // LC_ALL before LC_CTYPE before LANG; empty values do not count.
      {"en_US.ISO-8859-1", "zh_CN.GBK", "zh_TW.BIG5", 1252, 0x0409},
      {"", "zh_CN.GBK", "zh_TW.BIG5", 936, 0x0804},
      {nullptr, "", "zh_TW.BIG5", 950, 0x0404},
      {"", "", "", 65001, 0x0409},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string("LC_ALL=") + (c.lcAll ? c.lcAll : "(unset)") +
                 " LC_CTYPE=" + (c.lcCtype ? c.lcCtype : "(unset)") + " LANG=" + (c.lang ? c.lang : "(unset)"));
    use(c.lcAll, c.lcCtype, c.lang);
    EXPECT_EQ(GetACP(), c.acp);
    EXPECT_EQ(GetUserDefaultLCID(), c.lcid);
    EXPECT_EQ(GetSystemDefaultLCID(), c.lcid);
    EXPECT_EQ(GetUserDefaultLangID(), static_cast<LANGID>(c.lcid));
    EXPECT_EQ(GetUserDefaultUILanguage(), static_cast<LANGID>(c.lcid));
    EXPECT_EQ(GetThreadLocale(), c.lcid);
    // CP_ACP and CP_THREAD_ACP convert with that code page.
    EXPECT_EQ(zhong(CP_ACP), zhong(c.acp));
    EXPECT_EQ(zhong(CP_THREAD_ACP), zhong(c.acp));
  }
}

TEST_F(LocaleEnv, EnvironmentIsReadOnceUntilReset) {
  use(nullptr, nullptr, "zh_TW.BIG5");
  EXPECT_EQ(GetACP(), 950u);
  setenv("LANG", "zh_CN.GBK", 1);
  EXPECT_EQ(GetACP(), 950u);
  PlatformResetLocale();
  EXPECT_EQ(GetACP(), 936u);
}

TEST_F(LocaleEnv, ThreadAnsiCodePageFollowsSetThreadLocale) {
  use(nullptr, nullptr, "zh_TW.UTF-8");
  EXPECT_EQ(zhong(CP_THREAD_ACP), "\xE4\xB8\xAD");  // CP_ACP (65001) until a locale is set

  ASSERT_TRUE(SetThreadLocale(0x0804));
  EXPECT_EQ(GetThreadLocale(), 0x0804u);
  EXPECT_EQ(zhong(CP_THREAD_ACP), "\xD6\xD0");  // 936
  EXPECT_EQ(zhong(CP_ACP), "\xE4\xB8\xAD");     // the ANSI code page is not the thread's

  ASSERT_TRUE(SetThreadLocale(MAKELCID(0x0404, SORT_DEFAULT)));
  EXPECT_EQ(zhong(CP_THREAD_ACP), "\xA4\xA4");  // 950

  ASSERT_TRUE(SetThreadLocale(0x0409));
  EXPECT_EQ(zhong(CP_THREAD_ACP), "?");  // 1252 has no such character

  // The system default returns the thread to the ANSI code page.
  ASSERT_TRUE(SetThreadLocale(LOCALE_SYSTEM_DEFAULT));
  EXPECT_EQ(GetThreadLocale(), 0x0404u);
  EXPECT_EQ(zhong(CP_THREAD_ACP), "\xE4\xB8\xAD");

  // Unsupported locales are refused and change nothing.
  ASSERT_TRUE(SetThreadLocale(0x0804));
  for (LCID bad : {LCID{0}, LCID{0x0411}, LCID{0x0007}, LCID{0x0004}, LCID{0x0604}, LCID{0x00100804}}) {
    SetLastError(0);
    EXPECT_FALSE(SetThreadLocale(bad)) << std::hex << bad;
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  }
  EXPECT_EQ(GetThreadLocale(), 0x0804u);
  EXPECT_EQ(zhong(CP_THREAD_ACP), "\xD6\xD0");
}

TEST_F(LocaleEnv, ThreadLocaleAndUILanguageArePerThread) {
  use(nullptr, nullptr, "zh_CN.GBK");
  EXPECT_EQ(GetThreadUILanguage(), 1028);
  EXPECT_EQ(SetThreadUILanguage(1033), 1033);
  EXPECT_EQ(GetThreadUILanguage(), 1033);
  ASSERT_TRUE(SetThreadLocale(0x0404));

  LANGID otherUi = 0;
  LCID otherLocale = 0;
  std::string otherZhong;
  std::thread([&] {
    otherUi = GetThreadUILanguage();
    otherLocale = GetThreadLocale();
    otherZhong = zhong(CP_THREAD_ACP);
    SetThreadUILanguage(2052);
  }).join();
  EXPECT_EQ(otherUi, 1028);
  EXPECT_EQ(otherLocale, 0x0804u);
  EXPECT_EQ(otherZhong, "\xD6\xD0");
  EXPECT_EQ(GetThreadUILanguage(), 1033);  // untouched by the other thread

  EXPECT_EQ(SetThreadUILanguage(2052), 2052);
  EXPECT_EQ(GetThreadUILanguage(), 2052);
  EXPECT_EQ(SetThreadUILanguage(0), 1028);  // 0 restores the starting language
  EXPECT_EQ(GetThreadUILanguage(), 1028);

  // A reset returns this thread to the starting state too.
  SetThreadUILanguage(1033);
  PlatformResetLocale();
  EXPECT_EQ(GetThreadUILanguage(), 1028);
  EXPECT_EQ(GetThreadLocale(), 0x0804u);
  EXPECT_EQ(zhong(CP_THREAD_ACP), "\xD6\xD0");
}

}  // namespace

// The error-text string table as the program carries it, and LoadStringW /
// LoadStringA in the thread UI language.
#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <string>
#include <thread>

#include "platform/kernel.h"
#include "platform/locale.h"
#include "platform/resources.h"

namespace {

std::string utf8(const std::u16string& s) {
  if (s.empty()) return "";
  int n = WideCharToMultiByte(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0, nullptr, nullptr);
  std::string out(n, '\0');
  WideCharToMultiByte(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), out.data(), n, nullptr, nullptr);
  return out;
}

// The string in that language, "" when missing; *error gets the last error.
std::u16string load(UINT id, LANGID lang, DWORD* error = nullptr) {
  WCHAR buf[512];
  SetLastError(0);
  int n = PlatformLoadStringLang(nullptr, id, lang, buf, 512);
  if (error != nullptr) *error = GetLastError();
  return std::u16string(buf, n);
}

// Restores the thread UI language the tests change.
class UILanguage : public ::testing::Test {
 protected:
  void TearDown() override { SetThreadUILanguage(0); }
};

const std::map<int, const char*> kEnglish = {
    {500, "Success"},
    {501, "Wrong Parameter"},
    {502, "Memory Less"},
    {503, "Operation Error"},
    {504, "Certificate not found"},
    {505, "Certificate or CRL format error"},
    {506, "Certificate or CRL Issuer not found"},
    {507, "Certificate or CRL verification fail"},
    {508, "Certificate or CRL expired"},
    {509, "Certificate not registered"},
    {510, "Certificate suspend"},
    {511, "Certificate revoked"},
    {512, "Matched public key not found"},
    {513, "Matched private key not found"},
    {514, "Public key and private key not match"},
    {515, "Upload data format error"},
    {516, "Download data format error"},
    {517, "Input data format error"},
    {518, "Template format error"},
    {519, "Data (ex:XML element) not found"},
    {520, "File not found"},
    {521, "Password error"},
    {522, "TCP/IP error"},
    {523, "Cryptographic error"},
    {524, "Key type error"},
    {525, "Algorithm error"},
    {526, "Key length error"},
    {527, "Key not found"},
    {528, "User cancel"},
    {529, "User Token PIN is incorrect"},
    {531, "User Token Pin Illegal"},
    {532, "User Token Pin Locked"},
    {533, "Illegal URL"},
    {534, "Certificate token unplug timeout"},
    {535, "Multi-Token detected"},
    {536, "Token Lib Fail"},
    {537, "Initialize Token Fail"},
    {538, "Get IP?MAC Fail"},
    {539, "Othrer error"},
    {540, "Unknown error"},
    {541, "Token PIN changed failed! Please make sure that the Token is inserted"},
    {542, "Token PIN changed success!"},
    {543, "Token not found, please insert Token into USB"},
    {544, "USB Key (for Sign)  password is incorrect!!"},
    {545,
     "USB Key (for Sign) amounted to limit the number of wrong password, has been suspended. Please contact the "
     "branch or call center to handle dealings."},
};

TEST(ErrorTextTable, EnglishTextsAsWritten) {
  for (int id = 500; id <= 545; ++id) {
    SCOPED_TRACE(id);
    DWORD err = 0;
    std::string text = utf8(load(id, 1033, &err));
    auto it = kEnglish.find(id);
    if (it == kEnglish.end()) {
      EXPECT_EQ(id, 530);
      EXPECT_EQ(text, "");
      EXPECT_EQ(err, ERROR_RESOURCE_NAME_NOT_FOUND);
    } else {
      EXPECT_EQ(text, it->second);
    }
  }
}

TEST(ErrorTextTable, ChineseTablesHaveEveryTextBut531) {
  struct Quoted {
    int id;
    LANGID lang;
    const char* text;
  };
  const Quoted quoted[] = {
      {529, 1028, "使用者載具密碼不正確"},
      {530, 1028, "使用者載具密碼不合法"},
      {532, 1028, "使用者載具密碼已鎖定"},
      {538, 1028, "取得IP、MAC錯誤"},
      {541, 1028, "安控設備密碼變更失敗!請確認載具確實插入"},
      {542, 1028, "安控設備密碼變更成功!"},
      {529, 2052, "USB Token密码变更失败! 输入旧密码不正确"},
      {530, 2052, "USB Token密码变更失败! 输入新密码不符合密码规则"},
      {532, 2052, "USB Token密码变更失败! 密码输入错误次数过多，安控设备已被锁住"},
      {538, 2052, "取得IP、MAC错误"},
      {541, 2052, "载具密码变更失败!请确认载具确实插入"},
      {542, 2052, "载具密码变更成功!"},
      {501, 1028, "參數錯誤"},
      {501, 2052, "参数错误"},
  };
  for (const Quoted& q : quoted) {
    SCOPED_TRACE(std::to_string(q.id) + "/" + std::to_string(q.lang));
    EXPECT_EQ(utf8(load(q.id, q.lang)), q.text);
  }
  for (LANGID lang : {LANGID{1028}, LANGID{2052}}) {
    for (int id = 500; id <= 545; ++id) {
      SCOPED_TRACE(std::to_string(id) + "/" + std::to_string(lang));
      DWORD err = 0;
      std::u16string text = load(id, lang, &err);
      if (id == 531) {
        EXPECT_TRUE(text.empty());
        EXPECT_EQ(err, ERROR_RESOURCE_NAME_NOT_FOUND);
      } else {
        EXPECT_FALSE(text.empty());
        // The Chinese tables are not the English one.
        if (kEnglish.count(id) != 0) {
          EXPECT_NE(utf8(text), kEnglish.at(id));
        }
      }
    }
  }
  // Nothing of the table exists in a language it was not written in.
  DWORD err = 0;
  EXPECT_TRUE(load(500, 1041, &err).empty());
  EXPECT_EQ(err, ERROR_RESOURCE_LANG_NOT_FOUND);
}

TEST_F(UILanguage, LoadStringWFollowsTheThreadUILanguageAndFallsBackForAMissingBlock) {
  WCHAR buf[128];
  EXPECT_EQ(GetThreadUILanguage(), 1028);
  ASSERT_GT(LoadStringW(nullptr, 501, buf, 128), 0);
  EXPECT_EQ(utf8(buf), "參數錯誤");

  SetThreadUILanguage(1033);
  EXPECT_EQ(LoadStringW(nullptr, 501, buf, 128), 15);
  EXPECT_EQ(utf8(buf), "Wrong Parameter");
  // 530 has no English text: nothing, and an empty buffer.
  buf[0] = u'x';
  SetLastError(0);
  EXPECT_EQ(LoadStringW(nullptr, 530, buf, 128), 0);
  EXPECT_EQ(buf[0], 0);
  EXPECT_EQ(GetLastError(), ERROR_RESOURCE_NAME_NOT_FOUND);

  SetThreadUILanguage(2052);
  ASSERT_GT(LoadStringW(nullptr, 501, buf, 128), 0);
  EXPECT_EQ(utf8(buf), "参数错误");
  EXPECT_EQ(LoadStringW(nullptr, 531, buf, 128), 0);

  // A block present in 2052 without the string gives nothing: the string is
  // not taken from English.
  SetLastError(0);
  EXPECT_EQ(LoadStringW(nullptr, 7000, buf, 128), 0);
  EXPECT_EQ(GetLastError(), ERROR_RESOURCE_NAME_NOT_FOUND);  // the block exists in 2052 (string 7001)
  // No block of 7000-7015 in 1028: the block in FindResourceW's order (no
  // neutral, no Chinese neutral, the lowest present: English before 2052).
  SetThreadUILanguage(1028);
  ASSERT_GT(LoadStringW(nullptr, 7000, buf, 128), 0);
  EXPECT_EQ(utf8(buf),
            "tab\there\nquote \"q\" \"d\" back\\slash \xE4\xB8\xAD"
            "A");
  char narrow[128];
  ASSERT_GT(LoadStringA(nullptr, 7001, narrow, sizeof narrow), 0);
  EXPECT_EQ(std::string(narrow), "0123456789");
  // Asking in one language exactly still finds nothing there.
  SetLastError(0);
  EXPECT_EQ(PlatformLoadStringLang(nullptr, 7000, 1028, buf, 128), 0);
  EXPECT_EQ(GetLastError(), ERROR_RESOURCE_LANG_NOT_FOUND);

  // Another thread has its own UI language.
  SetThreadUILanguage(1033);
  std::string other;
  std::thread([&] {
    WCHAR b[64];
    int n = LoadStringW(nullptr, 501, b, 64);
    other = utf8(std::u16string(b, n));
  }).join();
  EXPECT_EQ(other, "參數錯誤");
}

TEST_F(UILanguage, LoadStringWBufferContract) {
  SetThreadUILanguage(1033);
  // cchBufferMax 0: a read-only pointer into the resource and the length.
  const WCHAR* ptr = nullptr;
  int n = LoadStringW(nullptr, 7001, reinterpret_cast<LPWSTR>(&ptr), 0);
  ASSERT_EQ(n, 10);
  ASSERT_NE(ptr, nullptr);
  EXPECT_EQ(utf8(std::u16string(ptr, n)), "0123456789");
  // Strings in a block are not terminated: the next string follows.
  EXPECT_NE(ptr[n], 0);

  // A short buffer gets a cut, terminated string.
  WCHAR small[5] = {u'#', u'#', u'#', u'#', u'#'};
  EXPECT_EQ(LoadStringW(nullptr, 7001, small, 5), 4);
  EXPECT_EQ(utf8(small), "0123");
  WCHAR one[1] = {u'#'};
  EXPECT_EQ(LoadStringW(nullptr, 7001, one, 1), 0);
  EXPECT_EQ(one[0], 0);

  // A cut never splits a surrogate pair: "x" U+1F600 "y".
  WCHAR three[3];
  EXPECT_EQ(LoadStringW(nullptr, 7002, three, 3), 1);
  EXPECT_EQ(utf8(three), "x");
  WCHAR four[4];
  EXPECT_EQ(LoadStringW(nullptr, 7002, four, 4), 3);
  EXPECT_EQ(utf8(four), "x\xF0\x9F\x98\x80");

  SetLastError(0);
  EXPECT_EQ(LoadStringW(nullptr, 501, nullptr, 10), 0);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  // Ids above 65535 name no string.
  WCHAR buf[8];
  EXPECT_EQ(LoadStringW(nullptr, 0x10000 + 501, buf, 8), 0);
}

TEST_F(UILanguage, LoadStringAConvertsToTheAnsiCodePage) {
  const char* saved = std::getenv("LC_ALL");
  std::string keep = saved != nullptr ? saved : "";
  setenv("LC_ALL", "zh_TW.BIG5", 1);
  PlatformResetLocale();

  char buf[32];
  EXPECT_EQ(LoadStringA(nullptr, 500, buf, sizeof buf), 4);
  EXPECT_EQ(std::string(buf), "\xA6\xA8\xA5\\");  // 成功 in code page 950
  // Three bytes of room hold one double-byte character, never half of one.
  char cut[4];
  EXPECT_EQ(LoadStringA(nullptr, 500, cut, sizeof cut), 2);
  EXPECT_EQ(std::string(cut), "\xA6\xA8");
  SetThreadUILanguage(1033);
  EXPECT_EQ(LoadStringA(nullptr, 530, buf, sizeof buf), 0);
  EXPECT_EQ(buf[0], '\0');
  EXPECT_EQ(LoadStringA(nullptr, 538, buf, sizeof buf), 15);
  EXPECT_EQ(std::string(buf), "Get IP?MAC Fail");

  if (saved != nullptr) {
    setenv("LC_ALL", keep.c_str(), 1);
  } else {
    unsetenv("LC_ALL");
  }
  PlatformResetLocale();
}

TEST(StringTable, ScriptSyntaxReachesTheStrings) {
  EXPECT_EQ(load(7000, 1033), u"tab\there\nquote \"q\" \"d\" back\\slash \u4E2DA");
  EXPECT_EQ(load(7027, 1033), u"expression");  // id from an expression with C precedence
  EXPECT_EQ(load(7101, 1033), u"taken branch");
  EXPECT_EQ(load(7102, 1033), u"");
  EXPECT_EQ(load(7001, 2052), u"简体");  // LANGUAGE with one number
  // 546 shares a block with the error texts; 547 lives in a second table of
  // the same program whose block 35 repeats the first table's.
  EXPECT_EQ(utf8(load(546, 1033)), "next to the error table");
  EXPECT_EQ(utf8(load(547, 1033)), "from a second table");
  EXPECT_EQ(utf8(load(545, 1033)), kEnglish.at(545));
}

}  // namespace

// The card login dialog driven as a user would, in both languages: the
// signer line, the texts it sets itself, the length rules it shares with the
// token login dialog, the focus moving to Confirm at the limit, the
// empty-PIN refusal, cancelling, and the signature client's PIN hook.
#include <gtest/gtest.h>

#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "DialogsTestSupport.h"
#include "signlib/ui/IKEYLoginDlg.h"
#include "signlib/ui/PKCS7SignatureClientUI.h"

using namespace platform::user;
using dlgtest::UiLanguage;

namespace {

constexpr UINT kSimpleBeep = 0xFFFFFFFF;

struct Texts {
  LANGID language;
  const char16_t* title;
  const char16_t* prompt;
  const char16_t* confirm;
  const char16_t* cancel;
};
const Texts kTexts[] = {
    {1028, u"請拔出憑證載具", u"請輸入卡片登入密碼", u"確認", u"取消"},
    {1033, u"Please pull out the token", u"Please enter the card Password.", u"Confirm", u"Cancel"},
};

}  // namespace

TEST(CardLogin, PinEnteredInEachLanguage) {
  std::string certificate = fixtures::get("user").base64();
  for (const Texts& t : kTexts) {
    SCOPED_TRACE(t.language);
    UiLanguage language(t.language);
    dlgtest::takeBeeps();
    CIKEYLoginDlg dlg;
    dlg.certificate = certificate.c_str();
    DialogView atStart;
    ScriptedUser u;
    u.expect(102, {inspect([&](const DialogView& v) { atStart = v; }), type(201, u"2468"),
                   shot(dlgtest::shotPath("card-login-" + std::to_string(t.language))), click(IDOK)});
    u.install();
    EXPECT_EQ(dlg.DoModal(), IDOK);
    EXPECT_TRUE(u.ok()) << dlgtest::failuresOf(u);
    EXPECT_STREQ(dlg.pin, "2468");
    EXPECT_TRUE(dlgtest::takeBeeps().empty());
    EXPECT_EQ(atStart.caption, t.title);
    EXPECT_EQ(atStart.control(205)->text, t.prompt);
    EXPECT_EQ(atStart.control(IDOK)->text, t.confirm);
    EXPECT_EQ(atStart.control(IDCANCEL)->text, t.cancel);
    EXPECT_EQ(atStart.control(203)->text, u"Test User\r\n(Test Root CA)");
    EXPECT_EQ(atStart.focusId, 201);
  }
}

TEST(CardLogin, LengthRulesAndFocusAtTheLimit) {
  const std::u16string twentyThree = u"abcdefghijklmnopqrstuvw";
  const std::u16string sixteenHan = u"一二三四五六七八九十百千萬億兆京";  // 32 bytes in code page 950
  struct Case {
    const char* name;
    LANGID language;
    int limit;
    std::vector<Action> input;
    const char* pin;
    size_t beeps;
    int focus;  // where the focus is after the input
  };
  const Case cases[] = {
      {"six of six moves to Confirm", 1033, 6, {type(201, u"123456")}, "123456", 0, IDOK},
      {"a seventh over six is refused", 1033, 6, {type(201, u"123456"), paste(201, u"7")}, "123456", 1, 0},
      {"seven at once over six are refused", 1033, 6, {paste(201, u"1234567")}, "", 1, 0},
      {"below the limit stays", 1033, 6, {type(201, u"12345")}, "12345", 0, 201},
      {"no limit takes 23 characters", 1033, 0, {type(201, twentyThree)}, "abcdefghijklmnopqrstuvw", 0, 201},
      {"a 24th character is refused, never cut",
       1033,
       0,
       {type(201, twentyThree + u"x")},
       "abcdefghijklmnopqrstuvw",
       1,
       201},
      {"a long paste is refused whole", 1033, 0, {paste(201, u"0123456789012345678901234")}, "", 1, 201},
      {"a negative limit is no limit", 1033, -3, {type(201, u"1234")}, "1234", 0, 201},
      // 32 bytes or more in the thread's ANSI code page (two or three a character).
      {"an 8-bit PIN past its field is refused", 1028, 0, {type(201, sixteenHan)}, nullptr, 0, 201},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    UiLanguage language(c.language);
    dlgtest::takeBeeps();
    CIKEYLoginDlg dlg;
    dlg.PINLenLimit = c.limit;
    int focus = 0;
    std::u16string shown;
    std::vector<Action> actions = c.input;
    actions.push_back(inspect([&](const DialogView& v) {
      focus = v.focusId;
      shown = v.control(201)->text;
    }));
    actions.push_back(click(IDCANCEL));
    ScriptedUser u;
    u.expect(102, actions);
    u.install();
    EXPECT_EQ(dlg.DoModal(), IDCANCEL);
    EXPECT_TRUE(u.ok()) << dlgtest::failuresOf(u);
    std::vector<UINT> beeps = dlgtest::takeBeeps();
    if (c.pin != nullptr) {
      EXPECT_STREQ(dlg.pin, c.pin);
      EXPECT_EQ(beeps.size(), c.beeps);
    } else {
      // The characters that fit stay (the edit shows as many, masked); the rest beeped.
      const std::u16string kept = sixteenHan.substr(0, shown.size());
      char shownBytes[64] = {};
      int n = WideCharToMultiByte(CP_THREAD_ACP, 0, kept.c_str(), static_cast<int>(kept.size()), shownBytes,
                                  sizeof shownBytes, nullptr, nullptr);
      EXPECT_EQ(std::string(shownBytes, static_cast<size_t>(n)), dlg.pin);
      EXPECT_LE(std::strlen(dlg.pin), 31u);
      EXPECT_GT(std::strlen(dlg.pin), 20u);
      EXPECT_EQ(beeps.size(), 16 - shown.size());
    }
    for (UINT b : beeps) EXPECT_EQ(b, kSimpleBeep);
    if (c.focus != 0) {
      EXPECT_EQ(focus, c.focus);
    }
  }
}

TEST(CardLogin, EmptyPinAndCancel) {
  for (const Texts& t : kTexts) {
    SCOPED_TRACE(t.language);
    UiLanguage language(t.language);
    CIKEYLoginDlg dlg;
    DialogView box;
    int focusAfter = 0;
    ScriptedUser u;
    u.expect(102, {click(IDOK), inspect([&](const DialogView& v) { focusAfter = v.focusId; }), key(VK_ESCAPE)});
    u.expectMessageBox({inspect([&](const DialogView& v) { box = v; }),
                        shot(dlgtest::shotPath("card-login-empty-" + std::to_string(t.language))), key(VK_RETURN)});
    u.install();
    EXPECT_EQ(dlg.DoModal(), IDCANCEL);
    EXPECT_TRUE(u.ok()) << dlgtest::failuresOf(u);
    EXPECT_EQ(box.text, t.prompt);
    EXPECT_EQ(box.caption, t.title);
    EXPECT_EQ(box.messageBoxType & MB_ICONMASK, MB_ICONHAND);
    EXPECT_EQ(focusAfter, 201);
  }
}

TEST(CardLogin, UnreadableCertificateAndLongNames) {
  UiLanguage language(1033);
  {
    CIKEYLoginDlg dlg;
    dlg.certificate = "not a certificate";
    DialogView v;
    ScriptedUser u;
    u.expect(102, {inspect([&](const DialogView& view) { v = view; }), type(201, u"1"), click(IDOK)});
    u.install();
    EXPECT_EQ(dlg.DoModal(), IDOK);
    EXPECT_EQ(v.control(203)->text, u"");
    EXPECT_STREQ(dlg.pin, "1");
  }
}

// The PIN lives in the dialog object only until it goes.
TEST(CardLogin, PinIsWipedWithTheObject) {
  alignas(CIKEYLoginDlg) unsigned char storage[sizeof(CIKEYLoginDlg)];
  auto* dlg = new (storage) CIKEYLoginDlg();
  std::strcpy(dlg->pin, "secret42");
  const size_t offset = static_cast<size_t>(reinterpret_cast<unsigned char*>(dlg->pin) - storage);
  dlg->~CIKEYLoginDlg();
  EXPECT_EQ(std::string(reinterpret_cast<char*>(storage + offset), 8).find("secret"), std::string::npos);
}

TEST(CardLogin, PinHookOfTheSignatureControlsClient) {
  UiLanguage language(1028);
  std::string certificate = fixtures::get("rsa1024").base64();
  CPKCS7SignatureClientUI client(SignVariant::signatureControl());
  client.PINLenLimit = 4;
  char pin[CPKCS7SignatureClient::PIN_SIZE];
  std::memset(pin, 'x', sizeof pin);
  {
    ScriptedUser u;
    u.expect(102, {type(201, u"97531"), click(IDOK)});
    u.install();
    EXPECT_EQ(client.setUILoginSmartCard(certificate.c_str(), pin), 0);
    EXPECT_TRUE(u.ok()) << dlgtest::failuresOf(u);
    EXPECT_STREQ(pin, "9753");
  }
  {
    ScriptedUser u;
    u.expect(102, {click(IDCANCEL)});
    u.install();
    EXPECT_EQ(client.setUILoginSmartCard(certificate.c_str(), pin), 28);
  }
  EXPECT_EQ(client.setUILoginSmartCard(nullptr, pin), 1);
  EXPECT_STREQ(client.getErrorText(), "CPKCS7SignatureClientUI::setUILoginSmartCard -> pchCertificate is NULL");
  EXPECT_EQ(client.setUILoginSmartCard(certificate.c_str(), nullptr), 1);
  // By DER: the same hook.
  std::vector<unsigned char> der = fixtures::get("rsa1024").der();
  ScriptedUser u;
  u.expect(102, {type(201, u"13"), click(IDOK)});
  u.install();
  EXPECT_EQ(client.setUILoginSmartCardByDER(der.data(), static_cast<int>(der.size()), pin), 0);
  EXPECT_STREQ(pin, "13");
}

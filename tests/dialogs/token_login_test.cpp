// The token login dialog driven as a user would: the PIN typed and pasted,
// the length rules, the empty-PIN refusal, the Caps Lock note, the certificate
// line, the ways to cancel, and the PIN wiped with the dialog object.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include <openssl/evp.h>
#include <openssl/x509.h>

#include "DialogsTestSupport.h"
#include "signlib/ui/TokenLoginDlg.h"

using namespace platform::user;
using dlgtest::UiLanguage;

namespace {

constexpr UINT kSimpleBeep = 0xFFFFFFFF;

struct LoginTexts {
  LANGID language;
  const char16_t* caption;
  const char16_t* label;
  const char16_t* confirm;
  const char16_t* cancel;
  const char16_t* emptyText;
  const char16_t* emptyCaption;
  const char16_t* capsNote;
};

const LoginTexts kTexts[] = {
    {1028, u"憑證載具驗證", u"請輸入目前插入之憑證載具密碼", u"確認", u"取消", u"請輸入卡片登入密碼", u"請拔出憑證載具",
     u"注意：目前鍵盤為「英文大寫」，請務必依照密碼大小寫正確輸入。"},
    {1033, u"Token PIN Verify", u"Input Token PIN", u"Confirm", u"Cancel", u"Please enter the card Password.",
     u"Please pull out the USB TOKEN",
     u"Note:Currently Keyboard CAPS Lock is ON, Be sure to enter the correct capitalization in accordance "
     u"password."},
    {2052, u"USB KEY验证", u"请输入证书(放行/Key)密码", u"确认", u"取消", u"请输入卡片登入密码", u"请拔出证书载具",
     u"注意：目前键盘为「英文大写」，请务必依照密码大小写正确输入。"},
};

std::string tagOf(LANGID id) { return std::to_string(id); }

class CapsLock {
 public:
  explicit CapsLock(bool on) { ScriptedUser::setCapsLock(on); }
  ~CapsLock() { ScriptedUser::setCapsLock(false); }
};

}  // namespace

TEST(TokenLogin, PinEnteredInEachLanguage) {
  std::string certificate = fixtures::get("user").base64();
  for (const LoginTexts& t : kTexts) {
    SCOPED_TRACE(t.language);
    UiLanguage language(t.language);
    CapsLock caps(true);
    dlgtest::takeBeeps();
    CTokenLoginDlg dlg;
    dlg.certificate = certificate.c_str();
    DialogView atStart, typed;
    ScriptedUser u;
    u.expect(105, {inspect([&](const DialogView& v) { atStart = v; }),
                   shot(dlgtest::shotPath("token-login-" + tagOf(t.language) + "-capslock")), type(310, u"1234"),
                   inspect([&](const DialogView& v) { typed = v; }),
                   shot(dlgtest::shotPath("token-login-" + tagOf(t.language))), key(VK_RETURN)});
    u.install();
    EXPECT_EQ(dlg.DoModal(), IDOK);
    EXPECT_TRUE(u.ok()) << dlgtest::failuresOf(u);
    EXPECT_STREQ(dlg.pin, "1234");
    EXPECT_TRUE(dlgtest::takeBeeps().empty());

    EXPECT_EQ(atStart.caption, t.caption);
    ASSERT_NE(atStart.control(351), nullptr);
    EXPECT_EQ(atStart.control(351)->text, t.label);
    EXPECT_EQ(atStart.control(IDOK)->text, t.confirm);
    EXPECT_EQ(atStart.control(IDCANCEL)->text, t.cancel);
    EXPECT_EQ(atStart.control(312)->text, u"Test User\r\n(Test Root CA)");
    EXPECT_EQ(atStart.focusId, 310);
    // Opened with Caps Lock on: the note at once; typing digits hides it.
    EXPECT_EQ(atStart.control(600)->text, t.capsNote);
    EXPECT_EQ(typed.control(600)->text, u"");
    EXPECT_EQ(typed.control(310)->text.size(), 4u);
    EXPECT_EQ(typed.control(310)->text.find(u'1'), std::u16string::npos);  // masked
  }
}

TEST(TokenLogin, EmptyPinIsRefusedAndFocusReturns) {
  for (const LoginTexts& t : kTexts) {
    SCOPED_TRACE(t.language);
    UiLanguage language(t.language);
    CTokenLoginDlg dlg;
    DialogView box;
    int focusAfter = 0;
    ScriptedUser u;
    u.expect(105, {click(IDOK), inspect([&](const DialogView& v) { focusAfter = v.focusId; }), key(VK_ESCAPE)});
    u.expectMessageBox({inspect([&](const DialogView& v) { box = v; }),
                        shot(dlgtest::shotPath("token-login-empty-" + tagOf(t.language))), key(VK_RETURN)});
    u.install();
    EXPECT_EQ(dlg.DoModal(), IDCANCEL);
    EXPECT_TRUE(u.ok()) << dlgtest::failuresOf(u);
    EXPECT_EQ(box.text, t.emptyText);
    EXPECT_EQ(box.caption, t.emptyCaption);
    EXPECT_EQ(box.messageBoxType & MB_ICONMASK, MB_ICONERROR);
    EXPECT_EQ(focusAfter, 310);
  }
}

TEST(TokenLogin, LengthRules) {
  const std::u16string twentyThree = u"abcdefghijklmnopqrstuvw";
  struct Case {
    const char* name;
    int limit;
    std::vector<Action> input;
    const char* pin;  // what the dialog holds afterwards
    size_t beeps;
  };
  const Case cases[] = {
      {"seventh character over a limit of six", 6, {type(310, u"1234567")}, "123456", 1},
      {"a paste past the limit is refused whole", 6, {type(310, u"123"), paste(310, u"4567")}, "123", 1},
      {"a paste within the limit", 6, {type(310, u"12"), paste(310, u"3456")}, "123456", 0},
      {"no limit takes 23 characters", 0, {type(310, twentyThree)}, "abcdefghijklmnopqrstuvw", 0},
      {"no limit refuses a 24th character", 0, {type(310, twentyThree + u"x")}, "abcdefghijklmnopqrstuvw", 1},
      {"a long paste is refused, not cut", 0, {paste(310, u"0123456789012345678901234567890")}, "", 1},
      {"a negative limit is no limit", -1, {type(310, u"1234")}, "1234", 0},
      {"a negative limit still refuses past the read",
       -5,
       {type(310, twentyThree + u"x")},
       "abcdefghijklmnopqrstuvw",
       1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    UiLanguage language(1033);
    dlgtest::takeBeeps();
    CTokenLoginDlg dlg;
    dlg.PINLenLimit = c.limit;
    size_t shown = 99;
    std::vector<Action> actions = c.input;
    actions.push_back(inspect([&](const DialogView& v) { shown = v.control(310)->text.size(); }));
    actions.push_back(key(VK_ESCAPE));
    ScriptedUser u;
    u.expect(105, actions);
    u.install();
    EXPECT_EQ(dlg.DoModal(), IDCANCEL);
    EXPECT_TRUE(u.ok()) << dlgtest::failuresOf(u);
    EXPECT_STREQ(dlg.pin, c.pin);
    EXPECT_EQ(shown, std::strlen(c.pin));  // the field shows what was accepted
    std::vector<UINT> beeps = dlgtest::takeBeeps();
    EXPECT_EQ(beeps.size(), c.beeps);
    for (UINT b : beeps) EXPECT_EQ(b, kSimpleBeep);
  }
}

TEST(TokenLogin, DoubleBytePinLongerThanItsBufferIsRefused) {
  // Big5: each of these characters takes two bytes, so fifteen fill 30 of the
  // 31 bytes and a sixteenth would not fit.
  ASSERT_TRUE(SetThreadLocale(0x0404));
  UiLanguage language(1028);
  dlgtest::takeBeeps();
  CTokenLoginDlg dlg;
  std::u16string sixteen(16, u'密');
  ScriptedUser u;
  u.expect(105, {type(310, sixteen), key(VK_RETURN)});
  u.install();
  EXPECT_EQ(dlg.DoModal(), IDOK);
  EXPECT_TRUE(u.ok()) << dlgtest::failuresOf(u);
  std::u16string fifteen(15, u'密');
  char expected[64] = {};
  int bytes = WideCharToMultiByte(950, 0, fifteen.c_str(), 15, expected, sizeof expected, nullptr, nullptr);
  EXPECT_EQ(bytes, 30);
  EXPECT_STREQ(dlg.pin, expected);
  EXPECT_EQ(dlgtest::takeBeeps().size(), 1u);
  SetThreadLocale(LOCALE_USER_DEFAULT);
}

TEST(TokenLogin, CapsLockNoteFollowsTheKeys) {
  UiLanguage language(1033);
  const std::u16string note = kTexts[1].capsNote;
  struct Case {
    const char* name;
    bool capsOn;
    std::vector<Action> keys;
    bool noteShown;
  };
  const Case cases[] = {
      {"opened with Caps Lock on", true, {}, true},
      {"opened with Caps Lock off", false, {}, false},
      {"a digit hides the note", true, {key("5")}, false},
      {"an arrow hides the note", true, {key("5"), key("A"), key(VK_LEFT)}, false},
      {"a letter shows it again", true, {key("5"), key("A")}, true},
      {"Caps Lock switched on, then a letter", false, {capsLock(true), key("B")}, true},
      {"Caps Lock switched off, then a letter", true, {capsLock(false), key("B")}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CapsLock caps(c.capsOn);
    CTokenLoginDlg dlg;
    std::u16string shown = u"?";
    std::vector<Action> actions = c.keys;
    actions.push_back(inspect([&](const DialogView& v) { shown = v.control(600)->text; }));
    actions.push_back(key(VK_ESCAPE));
    ScriptedUser u;
    u.expect(105, actions);
    u.install();
    EXPECT_EQ(dlg.DoModal(), IDCANCEL);
    EXPECT_TRUE(u.ok()) << dlgtest::failuresOf(u);
    EXPECT_EQ(shown, c.noteShown ? note : u"");
  }
}

namespace {

// A certificate whose names are far longer than a fixed line buffer would
// hold. The names are set as raw UTF8Strings, past the usual length bounds.
std::string longNamesCertificate(const std::string& subject, const std::string& issuer) {
  EVP_PKEY* key = EVP_RSA_gen(2048);
  X509* cert = X509_new();
  X509_set_version(cert, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert), 4242);
  X509_gmtime_adj(X509_getm_notBefore(cert), 0);
  X509_gmtime_adj(X509_getm_notAfter(cert), 3600L * 24 * 365);
  X509_NAME* s = X509_NAME_new();
  X509_NAME_add_entry_by_txt(s, "CN", V_ASN1_UTF8STRING, reinterpret_cast<const unsigned char*>(subject.c_str()),
                             static_cast<int>(subject.size()), -1, 0);
  X509_NAME* i = X509_NAME_new();
  X509_NAME_add_entry_by_txt(i, "CN", V_ASN1_UTF8STRING, reinterpret_cast<const unsigned char*>(issuer.c_str()),
                             static_cast<int>(issuer.size()), -1, 0);
  X509_set_subject_name(cert, s);
  X509_set_issuer_name(cert, i);
  X509_set_pubkey(cert, key);
  X509_sign(cert, key, EVP_sha256());
  unsigned char* der = nullptr;
  int n = i2d_X509(cert, &der);
  std::string text(static_cast<size_t>(4 * ((n + 2) / 3) + 1), '\0');
  int m = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()), der, n);
  text.resize(static_cast<size_t>(m));
  OPENSSL_free(der);
  X509_NAME_free(s);
  X509_NAME_free(i);
  X509_free(cert);
  EVP_PKEY_free(key);
  return text;
}

}  // namespace

TEST(TokenLogin, CertificateLine) {
  const std::string longSubject(900, 'S'), longIssuer(800, 'I');
  struct Case {
    const char* name;
    std::string certificate;
    std::u16string line;
  };
  const Case cases[] = {
      {"names longer than 1023 bytes together", longNamesCertificate(longSubject, longIssuer),
       std::u16string(900, u'S') + u"\r\n(" + std::u16string(800, u'I') + u")"},
      {"a Chinese subject", fixtures::get("zh_tw").base64(), u"王小明\r\n(Test Root CA)"},
      {"text that is no certificate", "bm90IGEgY2VydGlmaWNhdGU=", u""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    UiLanguage language(1028);
    CTokenLoginDlg dlg;
    dlg.certificate = c.certificate.c_str();
    DialogView seen;
    ScriptedUser u;
    u.expect(105, {inspect([&](const DialogView& v) { seen = v; }), type(310, u"9999"), key(VK_RETURN)});
    u.install();
    EXPECT_EQ(dlg.DoModal(), IDOK);
    EXPECT_TRUE(u.ok()) << dlgtest::failuresOf(u);
    EXPECT_EQ(seen.control(312)->text, c.line);
    EXPECT_EQ(seen.focusId, 310);  // the PIN can be typed at once either way
    EXPECT_STREQ(dlg.pin, "9999");
  }
}

TEST(TokenLogin, CancelPaths) {
  const std::pair<const char*, Action> ways[] = {
      {"Cancel button", click(IDCANCEL)}, {"Escape", key(VK_ESCAPE)}, {"close box", close()}};
  for (const auto& [name, action] : ways) {
    SCOPED_TRACE(name);
    UiLanguage language(2052);
    CTokenLoginDlg dlg;
    ScriptedUser u;
    u.expect(105, {type(310, u"1234"), action});
    u.install();
    EXPECT_EQ(dlg.DoModal(), IDCANCEL);
    EXPECT_TRUE(u.ok()) << dlgtest::failuresOf(u);
  }
}

TEST(TokenLogin, PinIsWipedWithTheDialog) {
  UiLanguage language(1033);
  alignas(CTokenLoginDlg) unsigned char storage[sizeof(CTokenLoginDlg)];
  auto* dlg = new (storage) CTokenLoginDlg;
  ScriptedUser u;
  u.expect(105, {type(310, u"K7q9z2"), key(VK_RETURN)});
  u.install();
  EXPECT_EQ(dlg->DoModal(), IDOK);
  EXPECT_TRUE(u.ok()) << dlgtest::failuresOf(u);
  EXPECT_STREQ(dlg->pin, "K7q9z2");  // the opener copies it now
  dlg->~CTokenLoginDlg();
  std::string bytes(reinterpret_cast<const char*>(storage), sizeof storage);
  EXPECT_EQ(bytes.find("K7q9z2"), std::string::npos);
}

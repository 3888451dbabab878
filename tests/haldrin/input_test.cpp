// The protected-input members through IDispatch: the keypad entered by the
// digits its keys show and decrypted by the bank with openssl, its result
// shared by the controls of the process and read only by pages of the
// allowed hosts, a cancel that keeps the earlier result, the text-as-picture
// confirmation shown and hidden, and every protected-input member refused
// to other hosts.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "HaldrinSupport.h"
#include "platform/locale.h"

using namespace haldrintest;
using namespace platform::user;

namespace {

constexpr int kConfirm = 1036;

std::vector<Action> pressDigits(const std::u16string& digits) {
  std::vector<Action> a;
  for (char16_t c : digits) a.push_back(clickShown(std::u16string(1, c)));
  a.push_back(click(kConfirm));
  return a;
}

}  // namespace

TEST_F(HaldrinTest, KeypadResultDecryptedByTheBankAndSharedByTheProcess) {
  const std::string key = bankKey().publicBase64;
  Haldrin first;
  Haldrin second;
  // Before any keypad: empty texts.
  EXPECT_EQ(second.callText(u"getProtectionDataPlain"), "");
  EXPECT_EQ(second.callText(u"getProtectionDataCipher"), "");

  struct Case {
    LONG showDot;
    int templateId;
    std::u16string digits;
  } cases[] = {{0, 107, u"80412"}, {2, 107, u"7"}, {-2, 107, u"0099"}, {1, 204, u"12.5"}, {-1, 204, u"3.14"}};
  for (auto& t : cases) {
    SCOPED_TRACE(t.showDot);
    ScriptedUser u;
    u.expect(t.templateId, pressDigits(t.digits));
    u.install();
    Result r = first.call(u"inquireProtectionData", {text("Account number"), text(key), i4(t.showDot)});
    EXPECT_EQ(r.hr, S_OK);
    EXPECT_EQ(r.asLong(), 0) << first.lastError();
    EXPECT_TRUE(u.ok()) << failuresOf(u);
    u.uninstall();
    // The other control of the process reads what the first one's keypad got.
    EXPECT_EQ(second.callText(u"getProtectionDataPlain"), utf8(t.digits));
    std::string plain;
    ASSERT_TRUE(bankDecrypt(second.callText(u"getProtectionDataCipher"), &plain));
    EXPECT_EQ(plain, utf8(t.digits));
  }

  // Cancel: 28 with its text, S_OK; the earlier result stays readable.
  ScriptedUser cancels;
  cancels.expect(107, {clickShown(u"5"), click(IDCANCEL)});
  cancels.install();
  Result cancelled = first.call(u"inquireProtectionData", {text("t"), text(key), i4(0)});
  EXPECT_EQ(cancelled.hr, S_OK);
  EXPECT_EQ(cancelled.asLong(), 28);
  EXPECT_EQ(first.lastError(), "CHaldrinCtrl::inquireProtectionData >> User Cancel");
  cancels.uninstall();
  EXPECT_EQ(second.callText(u"getProtectionDataPlain"), "3.14");

  // A page of another host reads nothing: a null string, 61 and the text.
  Haldrin foreign(u"http://evil.example/");
  for (const char16_t* member : {u"getProtectionDataPlain", u"getProtectionDataCipher"}) {
    Result r = foreign.call(member);
    EXPECT_EQ(r.hr, S_OK);
    EXPECT_TRUE(r.isNullText());
    EXPECT_EQ(foreign.lastCode(), 61);
    EXPECT_EQ(foreign.lastError(), "CHaldrinCtrl::" + utf8(member) + " >> The Component can not verify the URL");
  }
  // A getter leaves LastErrorCode as it was on an allowed page.
  second.call(u"setDataContentByString", {text("")});
  EXPECT_EQ(second.callText(u"getProtectionDataPlain"), "3.14");
  EXPECT_EQ(second.lastCode(), 1);
}

// The page's language reaches the keypad; 2052 has no resources of its own
// and falls back to the Traditional Chinese ones, strings included.
TEST_F(HaldrinTest, LanguageAppliedBeforeTheKeypad) {
  Haldrin c;
  struct Case {
    const char* code;
    LANGID thread;
    UINT message;
  } cases[] = {{"en", 1033, 3002}, {"zh_tw", 1028, 3002}, {"zh_cn", 2052, 3002}, {"EN", 1028, 3002}};
  for (auto& t : cases) {
    SCOPED_TRACE(t.code);
    SetThreadUILanguage(1033);
    EXPECT_EQ(c.callLong(u"setLanguage", {text(t.code)}), 0);
    EXPECT_EQ(GetThreadUILanguage(), 1033);  // only stored
    ScriptedUser u;
    u.expect(107, {key(VK_RETURN), click(IDCANCEL)}).expectMessageBox(t.message, {click(IDOK)});
    u.install();
    EXPECT_EQ(c.callLong(u"inquireProtectionData", {text("t"), text(""), i4(0)}), 28);
    EXPECT_TRUE(u.ok()) << failuresOf(u);
    EXPECT_EQ(GetThreadUILanguage(), t.thread);
    ASSERT_EQ(u.seen().size(), 2u);
    const std::u16string box = u.seen()[1].text;
    if (t.thread == 1033)
      EXPECT_EQ(box.find(u"To make Internet transactions safer"), 0u) << utf8(box);
    else
      EXPECT_EQ(box.find(u"為了使網路交易更安全"), 0u) << utf8(box);
  }
}

TEST_F(HaldrinTest, TextConfirmedAsAPictureOrEncipheredSilently) {
  const std::string key = bankKey().publicBase64;
  Haldrin c;
  ScriptedUser u;
  std::u16string shown;
  u.expect(203, {click(kConfirm)});
  u.install();
  Result r = c.call(u"convertTextToImage", {text("100.25"), text(key), text("Amount")});
  EXPECT_EQ(r.hr, S_OK);
  std::string plain;
  ASSERT_TRUE(bankDecrypt(r.asText(), &plain)) << r.asText();
  EXPECT_EQ(plain, "100.25");
  EXPECT_TRUE(u.ok()) << failuresOf(u);
  u.uninstall();

  // The hidden mode, in any letter case: no window, the text enciphered.
  for (const char* title : {"DONOTSHOWDIALOG", "doNotShowDialog"}) {
    ScriptedUser nobody;
    nobody.install();
    Result h = c.call(u"convertTextToImage", {text("0123456789"), text(key), text(title)});
    EXPECT_EQ(h.hr, S_OK);
    ASSERT_TRUE(bankDecrypt(h.asText(), &plain));
    EXPECT_EQ(plain, "0123456789");
    EXPECT_EQ(c.lastCode(), 0);
    EXPECT_TRUE(nobody.ok()) << failuresOf(nobody);
  }
  // A character without a key, or a text longer than the 21 characters the
  // dialog shows (never enciphered cut): no window, a null string, 1 and its
  // text.
  for (const char* title : {"Amount", "DONOTSHOWDIALOG"}) {
    for (std::string refusedText : {std::string("12a4"), std::string(22, '7'), std::string(100, '7')}) {
      SCOPED_TRACE(refusedText);
      ScriptedUser nobody;
      nobody.install();
      Result bad = c.call(u"convertTextToImage", {text(refusedText), text(key), text(title)});
      EXPECT_EQ(bad.hr, S_OK);
      EXPECT_TRUE(bad.isNullText());
      EXPECT_EQ(c.lastCode(), 1);
      EXPECT_EQ(c.lastError(), "CHaldrinCtrl::convertTextToImage >> error during invalid parameter(inputText)!");
      EXPECT_TRUE(nobody.ok()) << failuresOf(nobody);
    }
  }
  // A NUL inside the text would cut it: refused with the member's name.
  {
    ScriptedUser nobody;
    nobody.install();
    std::u16string withNul = u"12";
    withNul.push_back(u'\0');
    withNul += u"34";
    Result nul = c.call(u"convertTextToImage", {text(withNul), text(key), text("Amount")});
    EXPECT_EQ(nul.hr, S_OK);
    EXPECT_TRUE(nul.isNullText());
    EXPECT_EQ(c.lastCode(), 1);
    EXPECT_EQ(c.lastError(), "CHaldrinCtrl::convertTextToImage -> error during invalid parameter(text with NUL)!");
    EXPECT_TRUE(nobody.ok()) << failuresOf(nobody);
  }
  // Cancelled: a null string and 28.
  ScriptedUser cancels;
  cancels.expect(203, {click(IDCANCEL)});
  cancels.install();
  Result cancelled = c.call(u"convertTextToImage", {text("42"), text(key), text("Amount")});
  EXPECT_EQ(cancelled.hr, S_OK);
  EXPECT_TRUE(cancelled.isNullText());
  EXPECT_EQ(c.lastCode(), 28);
  EXPECT_EQ(c.lastError(), "CHaldrinCtrl::convertTextToImage >> User Cancel");
}

TEST_F(HaldrinTest, ProtectedInputRefusedToOtherHostsAndPinPadCancelled) {
  Haldrin foreign(u"http://evil.example/");
  ScriptedUser nobody;
  nobody.install();
  Result refused = foreign.call(u"CallGRD", {text("PIN"), i4(8)});
  EXPECT_EQ(refused.hr, S_FALSE);
  EXPECT_TRUE(refused.isNullText());
  EXPECT_EQ(foreign.lastCode(), 61);
  EXPECT_EQ(foreign.lastError(), "CHaldrinCtrl::CallGRD -> The Component can not verify the URL");
  EXPECT_TRUE(nobody.ok()) << failuresOf(nobody);

  // The keypad and the confirmation are not lent to another site either:
  // no window, 61 with the member's text, and the result every page of the
  // bank reads stays as it was.
  const std::string key = bankKey().publicBase64;
  Haldrin bank;
  std::string before = bank.callText(u"getProtectionDataPlain");
  struct Case {
    const char16_t* member;
    std::vector<Value> args;
    bool textResult;
  } cases[] = {
      {u"inquireProtectionData", {text("Account"), text(key), i4(0)}, false},
      {u"inquireProtectionData", {text("Account"), text(key), i4(1)}, false},
      {u"convertTextToImage", {text("42"), text(key), text("Amount")}, true},
      {u"convertTextToImage", {text("42"), text(key), text("DONOTSHOWDIALOG")}, true},
  };
  for (auto& t : cases) {
    SCOPED_TRACE(utf8(t.member));
    Result r = foreign.call(t.member, t.args);
    EXPECT_EQ(r.hr, S_OK);
    if (t.textResult)
      EXPECT_TRUE(r.isNullText());
    else
      EXPECT_EQ(r.asLong(), 61);
    EXPECT_EQ(foreign.lastCode(), 61);
    EXPECT_EQ(foreign.lastError(), "CHaldrinCtrl::" + utf8(t.member) + " >> The Component can not verify the URL");
  }
  EXPECT_TRUE(nobody.seen().empty()) << failuresOf(nobody);
  EXPECT_EQ(bank.callText(u"getProtectionDataPlain"), before);
  nobody.uninstall();

  // On the bank's page one of the two pads opens (which one is drawn); a
  // pad ended without a PIN is the user's cancel: 28, S_OK, no PIN.
  Haldrin c;
  ScriptedUser closes;  // no entry: the pad is ended as cancelled
  closes.install();
  Result r = c.call(u"CallGRD", {text("PIN"), i4(8)});
  EXPECT_EQ(r.hr, S_OK);
  EXPECT_TRUE(r.isNullText());
  EXPECT_EQ(c.lastCode(), 28);
  EXPECT_EQ(c.lastError(), "CHaldrinCtrl::CallGRD ->User Cancel.");
  ASSERT_EQ(closes.seen().size(), 1u);
  EXPECT_TRUE(closes.seen()[0].templateId == 201 || closes.seen()[0].templateId == 202);
}

// A key that could not protect what the customer types is refused before any
// window opens: 1 with the member's text, S_OK, no cipher, and the result of
// the last confirmed keypad as it was: a key that is no RSA public key, one
// whose wrap would protect nothing (a modulus under 512 bits, an exponent of
// 0, 1 or an even one) and one the wrap cannot use. An empty key still runs
// the keypad for plain digits.
TEST_F(HaldrinTest, KeysThatCannotProtectTheDigitsOpenNoWindow) {
  const std::string good = bankKey().publicBase64;
  const std::vector<unsigned char> n = testsupport::bankModulus();
  ASSERT_EQ(n.size(), 128u);
  std::string pem, pkcs1, ec;
  ASSERT_EQ(testsupport::run("openssl pkey -in " + bankKey().privatePem + " -pubout", &pem), 0);
  ASSERT_EQ(testsupport::run(
                "openssl rsa -in " + bankKey().privatePem + " -RSAPublicKey_out -outform DER 2>/dev/null | base64 -w0",
                &pkcs1),
            0);
  ASSERT_EQ(testsupport::run("openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 2>/dev/null | "
                             "openssl pkey -pubout -outform DER | base64 -w0",
                             &ec),
            0);
  struct Refused {
    std::string what, key;
  };
  std::vector<Refused> refused = {
      {"PEM", pem},
      {"PKCS#1", pkcs1},
      {"EC", ec},
      {"line break", good.substr(0, 60) + "\n" + good.substr(60)},
      {"not Base64", "this is no key"},
      {"not ASCII", good + "\xC3\xA9"},
  };
  for (const testsupport::NamedKey& k : testsupport::keysThatCannotProtect(n)) refused.push_back({k.what, k.key});

  Haldrin c;
  ScriptedUser first;
  first.expect(107, pressDigits(u"2468"));
  first.install();
  ASSERT_EQ(c.callLong(u"inquireProtectionData", {text("Account"), text(good), i4(0)}), 0) << c.lastError();
  first.uninstall();
  const std::string cipherBefore = c.callText(u"getProtectionDataCipher");

  for (const Refused& k : refused) {
    SCOPED_TRACE(k.what);
    ASSERT_FALSE(k.key.empty());
    struct Call {
      const char16_t* member;
      std::vector<Value> args;
      bool textResult;
    } calls[] = {
        {u"inquireProtectionData", {text("Account"), text(k.key), i4(0)}, false},
        {u"inquireProtectionData", {text("Account"), text(k.key), i4(1)}, false},
        {u"convertTextToImage", {text("42"), text(k.key), text("Amount")}, true},
        {u"convertTextToImage", {text("42"), text(k.key), text("DONOTSHOWDIALOG")}, true},
    };
    for (const Call& call : calls) {
      SCOPED_TRACE(utf8(call.member));
      ScriptedUser nobody;
      nobody.install();
      Result r = c.call(call.member, call.args);
      EXPECT_EQ(r.hr, S_OK);
      if (call.textResult)
        EXPECT_TRUE(r.isNullText());
      else
        EXPECT_EQ(r.asLong(), 1);
      EXPECT_EQ(c.lastCode(), 1);
      EXPECT_EQ(c.lastError(), "CHaldrinCtrl::" + utf8(call.member) + " >> error during invalid parameter(keyValue)!");
      EXPECT_TRUE(nobody.seen().empty()) << failuresOf(nobody);
      nobody.uninstall();
    }
  }
  EXPECT_EQ(c.callText(u"getProtectionDataPlain"), "2468");
  EXPECT_EQ(c.callText(u"getProtectionDataCipher"), cipherBefore);

  // No key: the keypad runs, its plain digits are kept, there is no cipher.
  ScriptedUser plainOnly;
  plainOnly.expect(107, pressDigits(u"135"));
  plainOnly.install();
  EXPECT_EQ(c.callLong(u"inquireProtectionData", {text("Account"), text(""), i4(0)}), 0) << c.lastError();
  EXPECT_TRUE(plainOnly.ok()) << failuresOf(plainOnly);
  plainOnly.uninstall();
  EXPECT_EQ(c.callText(u"getProtectionDataPlain"), "135");
  EXPECT_EQ(c.callText(u"getProtectionDataCipher"), "");
  // And the silent confirmation without a key enciphers nothing.
  Result silent = c.call(u"convertTextToImage", {text("42"), text(""), text("DONOTSHOWDIALOG")});
  EXPECT_EQ(silent.hr, S_OK);
  EXPECT_EQ(c.lastCode(), 0);
  EXPECT_EQ(silent.isNullText() ? std::string() : silent.asText(), "");
}

// The signature client's PIN hook through the token login dialog: the PIN
// the user types is the one handed back, the length limit holds, a cancelled
// dialog is "user cancel", and on the token path the typed PIN is the one
// the token sees.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "DialogsTestSupport.h"
#include "TokenHarness.h"
#include "signlib/ui/PKCS7SignatureClientUI.h"

using namespace platform::user;
using dlgtest::UiLanguage;

TEST(SignatureLogin, DialogAnswersTheHook) {
  std::string certificate = fixtures::get("user").base64();
  struct Case {
    const char* name;
    int limit;
    std::vector<Action> actions;
    int result;
    const char* pin;
  };
  const Case cases[] = {
      {"confirmed", 0, {type(310, u"1234"), key(VK_RETURN)}, 0, "1234"},
      {"held to the limit", 4, {type(310, u"123456"), click(IDOK)}, 0, "1234"},
      {"cancelled", 0, {type(310, u"1234"), click(IDCANCEL)}, 28, ""},
      {"escaped", 0, {key(VK_ESCAPE)}, 28, ""},
      {"closed", 0, {close()}, 28, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    UiLanguage language(1033);
    CPKCS7SignatureClientUI client;
    client.PINLenLimit = c.limit;
    char pin[CPKCS7SignatureClient::PIN_SIZE] = {};
    std::u16string names;
    std::vector<Action> actions{inspect([&](const DialogView& v) { names = v.control(312)->text; })};
    actions.insert(actions.end(), c.actions.begin(), c.actions.end());
    ScriptedUser u;
    u.expect(105, actions);
    u.install();
    EXPECT_EQ(client.setUILoginSmartCard(certificate.c_str(), pin), c.result);
    EXPECT_TRUE(u.ok()) << dlgtest::failuresOf(u);
    EXPECT_STREQ(pin, c.pin);
    EXPECT_EQ(names, u"Test User\r\n(Test Root CA)");
  }
}

TEST(SignatureLogin, MissingArgumentsOpenNoDialog) {
  std::string certificate = fixtures::get("user").base64();
  CPKCS7SignatureClientUI client;
  char pin[CPKCS7SignatureClient::PIN_SIZE] = {};
  ScriptedUser u;
  u.install();
  EXPECT_EQ(client.setUILoginSmartCard(certificate.c_str(), nullptr), 1);
  EXPECT_STREQ(client.getErrorText(), "CPKCS7SignatureClientUI::setUILoginSmartCard -> pchPwd is NULL");
  EXPECT_EQ(client.setUILoginSmartCard(nullptr, pin), 1);
  EXPECT_STREQ(client.getErrorText(), "CPKCS7SignatureClientUI::setUILoginSmartCard -> pchCertificate is NULL");
  EXPECT_TRUE(u.seen().empty());
}

TEST(SignatureLogin, TheTokenSeesTheTypedPin) {
  p11test::FakeToken fake("logintoken.dll");
  fake.addIdentity("user", 0);
  std::string certificate = fixtures::get("user").base64();
  struct Case {
    const char* name;
    std::u16string typed;
    int result;
  };
  const Case cases[] = {{"the right PIN signs", u"1234", 0}, {"a wrong PIN is the token's refusal", u"9999", 50}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    UiLanguage language(1028);
    CPKCS7SignatureClientUI client;
    ASSERT_EQ(client.setPKCS11LibName("logintoken.dll"), 0);
    ASSERT_EQ(client.setDataContentByString("pay 100"), 0);
    ScriptedUser u;
    u.expect(105, {type(310, c.typed), key(VK_RETURN)});
    u.install();
    EXPECT_EQ(client.signData(certificate.c_str(), "SHA1", "RSA"), c.result) << client.getErrorText();
    EXPECT_TRUE(u.ok()) << dlgtest::failuresOf(u);
    bool loggedInWithFour = false;
    for (const std::string& call : fake.calls())
      if (call.find("C_Login user len=4") != std::string::npos) loggedInWithFour = true;
    EXPECT_TRUE(loggedInWithFour);
    EXPECT_EQ(client.getResultLength() > 0, c.result == 0);
  }
}

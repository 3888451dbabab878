// The token members: signing on a SoftHSM2 token (behind the forwarder that
// shows only initialised tokens) with the PIN typed into the login dialog,
// the serial number, the PIN change with and without the dialog, module
// names kept to the module search path, and, against the fake token module,
// the insert-and-remove flow of signIO and CheckP11TokenInOut, the module
// detection and the token initialisation.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <functional>
#include <string>
#include <vector>

#include "Fixtures.h"
#include "FreshProcess.h"
#include "StoreKeys.h"
#include "TeskelSupport.h"
#include "TestRoot.h"
#include "TokenHarness.h"
#include "platform/kernel.h"

using namespace teskeltest;
using namespace platform::user;
using p11test::FakeToken;
using p11test::SoftHsm;

using testsupport::inFreshProcess;

namespace {

constexpr const char* kPin = "246810";

std::string upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

class SoftToken : public TeskelTest {
 protected:
  void SetUp() override {
    TeskelTest::SetUp();
    clearMy();
    hsm = std::make_unique<SoftHsm>("teskel");
    serial = hsm->initToken("bank", "87654321", kPin);
    hsm->addIdentity("bank", kPin, "user", "01");
    p11test::installForwarder();
  }
  std::unique_ptr<SoftHsm> hsm;
  std::string serial;
};

std::vector<Action> typePin(const std::string& pin) { return {type(310, wide(pin)), click(IDOK)}; }

}  // namespace

TEST_F(SoftToken, SelectsAndSignsOnTheTokenWithThePinOfTheLoginDialog) {
  Control c;
  c.put(u"PKCS11LibName", text(p11test::kForwarder));
  EXPECT_EQ(c.lastCode(), 0) << c.lastError();
  // The token's certificates, not the (empty) user store.
  ASSERT_EQ(c.callLong(u"selectCertificateBySubjectCN", {text("Test User")}), 0) << c.lastError();
  const std::string cert = c.get(u"certificate").asText();
  const std::string data = "token-signed transfer";
  ASSERT_EQ(c.callLong(u"setDataContentByString", {text(data)}), 0);

  ScriptedUser u;
  std::u16string shownCertificate;
  std::vector<Action> actions = {inspect([&](const DialogView& v) { shownCertificate = v.control(312)->text; })};
  for (auto& a : typePin(kPin)) actions.push_back(a);
  u.expect(105, actions);
  u.install();
  Result r = c.call(u"sign", {text(cert), text("SHA1"), text("RSA")});
  EXPECT_EQ(r.hr, S_OK);
  ASSERT_EQ(r.asLong(), 0) << c.lastError();
  EXPECT_TRUE(u.ok()) << failuresOf(u);
  EXPECT_FALSE(shownCertificate.empty());
  u.uninstall();

  Verified v = verifyEnvelopeText(c.callText(u"getSignedEnvelopByString"));
  ASSERT_EQ(v.status, 0) << v.output;
  EXPECT_EQ(v.content, data);
  EXPECT_EQ(v.signerPem, pemOf("user"));
  // And as a file.
  std::string dir = testsupport::freshDir("out");
  ASSERT_EQ(c.callLong(u"getSignedEnvelopByFile", {text(dir + "/token.p7b")}), 0) << c.lastError();
  Verified f = verifyEnvelopeFile(dir + "/token.p7b");
  EXPECT_EQ(f.status, 0) << f.output;
}

TEST_F(SoftToken, LoginDialogOutcomes) {
  Control c;
  c.put(u"PKCS11LibName", text(p11test::kForwarder));
  ASSERT_EQ(c.callLong(u"selectCertificateBySubjectCN", {text("Test User")}), 0) << c.lastError();
  const std::string cert = c.get(u"certificate").asText();
  ASSERT_EQ(c.callLong(u"setDataContentByString", {text("x")}), 0);
  struct Case {
    const char* what;
    LONG limit;
    std::vector<Action> actions;
    LONG code;
  } cases[] = {
      {"cancelled", 0, {click(IDCANCEL)}, 28},
      {"a wrong PIN", 0, typePin("999999"), 50},
      // The page's length limit reaches the dialog: the PIN is cut to it.
      {"the PIN held to the page's limit", 4, typePin(kPin), 50},
      {"the right PIN", 0, typePin(kPin), 0},
  };
  for (auto& t : cases) {
    SCOPED_TRACE(t.what);
    ASSERT_EQ(c.put(u"PINLenLimit", i4(t.limit)).hr, S_OK);
    ScriptedUser u;
    u.expect(105, t.actions);
    u.install();
    EXPECT_EQ(c.callLong(u"sign", {text(cert), text("SHA1"), text("RSA")}), t.code) << c.lastError();
    EXPECT_EQ(c.lastCode(), t.code);
    EXPECT_TRUE(u.ok()) << failuresOf(u);
    if (t.code != 0) {
      EXPECT_EQ(c.lastError().rfind("CTeskelCtrl::sign -> ", 0), 0u) << c.lastError();
    }
  }
}

TEST_F(SoftToken, SerialNumberAndPinChange) {
  Control c;
  EXPECT_EQ(c.callText(u"GetTokenSN", {text(p11test::kForwarder)}), upper(serial));
  EXPECT_EQ(c.lastCode(), 0);
  // The page's Windows path is read for its file name only.
  EXPECT_EQ(c.callText(u"GetTokenSN", {text(std::string("C:\\Windows\\System32\\") + p11test::kForwarder)}),
            upper(serial));
  // A module outside the module search path is never loaded, whatever path the page names.
  Result outside = c.call(u"GetTokenSN", {text(p11test::forwarderModulePath())});
  EXPECT_EQ(outside.hr, S_OK);
  EXPECT_EQ(outside.asWide(), u"");  // empty, not null
  EXPECT_NE(c.lastCode(), 0);
  EXPECT_EQ(c.lastError().rfind("CTeskelCtrl::GetTokenSN -> error during getTokenSN(),errmsg[", 0), 0u);

  // Both PINs given: no dialog.
  ScriptedUser nobody;
  nobody.install();
  EXPECT_EQ(c.callLong(u"TokenChangePIN", {text(p11test::kForwarder), text(kPin), text("13579")}), 0) << c.lastError();
  EXPECT_EQ(c.lastCode(), 0);
  EXPECT_TRUE(nobody.ok()) << failuresOf(nobody);
  nobody.uninstall();
  EXPECT_EQ(hsm->tool("--login --pin 13579 --list-objects"), 0);

  // Refusals, in the page's language: 529 for a wrong PIN, 531 (English) or
  // 530 (Chinese) for a PIN the token does not take.
  struct Refusal {
    const char* language;
    const char* oldPin;
    const char* newPin;
    LONG code;
    std::string text;
  } refusals[] = {
      {"ENU", "00000", "24680", 50, "User Token PIN is incorrect"},
      {"CHT", "00000", "24680", 50, "使用者載具密碼不正確"},
      {"ENU", "13579", "12", 51, "User Token Pin Illegal"},
      {"CHT", "13579", "12", 51, "使用者載具密碼不合法"},
      {"CHS", "13579", "12", 51, "USB Token密码变更失败! 输入新密码不符合密码规则"},
  };
  for (auto& r : refusals) {
    SCOPED_TRACE(std::string(r.language) + " " + std::to_string(r.code));
    ASSERT_EQ(c.callLong(u"setLanguage", {text(r.language)}), 0);
    EXPECT_EQ(c.callLong(u"TokenChangePIN", {text(p11test::kForwarder), text(r.oldPin), text(r.newPin)}), r.code);
    EXPECT_EQ(c.lastCode(), r.code);
    EXPECT_EQ(c.lastError(), "CTeskelCtrl::TokenChangePIN -> error -> " + r.text);
  }
  // No token behind the module: 541.
  ASSERT_EQ(c.callLong(u"setLanguage", {text("ENU")}), 0);
  EXPECT_NE(c.callLong(u"TokenChangePIN", {text("nosuchmodule.dll"), text("1111"), text("2222")}), 0);
  EXPECT_EQ(
      c.lastError(),
      "CTeskelCtrl::TokenChangePIN -> error -> Token PIN changed failed! Please make sure that the Token is inserted");

  // One PIN given: the dialog asks for both and the given one is ignored.
  ScriptedUser user;
  user.expect(113, {type(431, u"13579"), type(432, u"97531"), type(433, u"97531"), click(IDOK)});
  user.install();
  EXPECT_EQ(c.callLong(u"TokenChangePIN", {text(p11test::kForwarder), text("00000"), text("")}), 0) << c.lastError();
  EXPECT_TRUE(user.ok()) << failuresOf(user);
  user.uninstall();
  EXPECT_EQ(hsm->tool("--login --pin 97531 --list-objects"), 0);

  ScriptedUser cancel;
  cancel.expect(113, {click(IDCANCEL)});
  cancel.install();
  EXPECT_EQ(c.callLong(u"TokenChangePIN", {text(p11test::kForwarder), nullText(), nullText()}), 28);
  EXPECT_EQ(c.lastCode(), 28);
  EXPECT_EQ(c.lastError(),
            "CTeskelCtrl::TokenChangePIN -> error during CChangePwdDlg() -> User Cancel or Something error");
}

// A token key in the user's store (imported through the token provider) on
// the CryptoAPI path: with the login agency off the control hands the
// provider no PIN, and the provider asks for it itself when the envelope is
// signed; with it on, the control asks in its own login dialog first.
TEST_F(SoftToken, TokenKeyInTheUsersStoreOnTheCryptoApiPath) {
  std::string out;
  ASSERT_EQ(testsupport::run(std::string(std::getenv("BUILD_DIR")) + "/bin/certstore import --store MY --token " +
                                 p11test::kForwarder + " 2>&1",
                             &out),
            0)
      << out;
  Control c;
  ASSERT_EQ(c.callLong(u"selectCertificateBySubjectCN", {text("Test User")}), 0) << c.lastError();
  const std::string cert = c.get(u"certificate").asText();

  ASSERT_EQ(c.callLong(u"setDataContentByString", {text("provider prompt")}), 0);
  ScriptedUser nobody;
  nobody.install();
  ASSERT_EQ(c.callLong(u"sign", {text(cert), text("SHA1"), text("RSA")}), 0) << c.lastError();
  EXPECT_TRUE(nobody.ok()) << failuresOf(nobody);
  nobody.uninstall();
  ScriptedUser provider;
  provider.expect(4100, {type(4101, wide(kPin)), click(IDOK)});
  provider.install();
  Verified v = verifyEnvelopeText(c.callText(u"getSignedEnvelopByString"));
  EXPECT_TRUE(provider.ok()) << failuresOf(provider);
  provider.uninstall();
  ASSERT_EQ(v.status, 0) << v.output << c.lastError();
  EXPECT_EQ(v.content, "provider prompt");
  EXPECT_EQ(v.signerPem, pemOf("user"));

  // The login agency: the control's own dialog asks, the provider does not.
  ASSERT_EQ(c.put(u"EnableLoginAgency", boolean(true)).hr, S_OK);
  ASSERT_EQ(c.callLong(u"setDataContentByString", {text("login agency")}), 0);
  ScriptedUser login;
  login.expect(105, typePin(kPin));
  login.install();
  ASSERT_EQ(c.callLong(u"sign", {text(cert), text("SHA1"), text("RSA")}), 0) << c.lastError();
  Verified w = verifyEnvelopeText(c.callText(u"getSignedEnvelopByString"));
  EXPECT_TRUE(login.ok()) << failuresOf(login);
  ASSERT_EQ(w.status, 0) << w.output << c.lastError();
  EXPECT_EQ(w.content, "login agency");
}

// A page cannot make the control load a library of its choosing: only the
// file name of what it gives is looked up, in the module search path.
TEST_F(SoftToken, ModuleNamesAreLookedUpInTheModuleSearchPathOnly) {
  std::string elsewhere = testsupport::freshDir("elsewhere") + "/evil.dll";
  testsupport::run("cp '" + p11test::forwarderModulePath() + "' '" + elsewhere + "'");
  struct Case {
    std::string name;
    bool loads;
  } cases[] = {
      {p11test::kForwarder, true},
      {std::string("C:\\Windows\\System32\\") + p11test::kForwarder, true},
      {std::string("\\\\server\\share\\") + p11test::kForwarder, true},
      {elsewhere, false},
      {"C:\\Users\\me\\Downloads\\evil.dll", false},
  };
  for (auto& t : cases) {
    SCOPED_TRACE(t.name);
    Control c;
    c.put(u"PKCS11LibName", text(t.name));
    EXPECT_EQ(c.lastCode(), 0);
    LONG code = c.callLong(u"selectCertificateBySubjectCN", {text("Test User")});
    if (t.loads) {
      EXPECT_EQ(code, 0) << c.lastError();
    } else {
      EXPECT_NE(code, 0);
    }
    EXPECT_EQ(c.callLong(u"SetPKCS11LibNames", {text("{" + t.name + "}")}), t.loads ? 0 : 55) << c.lastError();
  }
  // The copy elsewhere was never mapped.
  EXPECT_EQ(testsupport::readFile("/proc/self/maps").find(elsewhere), std::string::npos);
}

TEST_F(TeskelTest, PKCS11LibNameRefusedLeavesTheStoreAsItWas) {
  clearMy();
  importFixture("user");
  Control c;
  c.put(u"PKCS11LibName", text(""));
  EXPECT_EQ(c.lastCode(), 1);
  EXPECT_EQ(c.lastError(),
            "CTeskelCtrl::setPKCS11LibName -> CPKCS7SignatureClient::setPKCS11LibName -> pchPKCS11LibName can't be "
            "null or empty string");
  // The store client still reads the user's store.
  EXPECT_EQ(c.callLong(u"selectCertificateBySubjectCN", {text("Test User")}), 0) << c.lastError();
}

// ---------------------------------------------------------------- the fake token
namespace {

std::string tokensCommand(const FakeToken& fake, int count) {
  return "printf " + std::to_string(count) + " > '" + fake.dir() + "/tokens'";
}

// Pull the token out, then put it back, each seen by the window's next tick.
void pullOutAndBackIn(ScriptedUser& u, const FakeToken& fake) {
  u.expect(107, {wait(1000), exec(tokensCommand(fake, 0)), wait(1000)});
  u.expect(107, {wait(1000), exec(tokensCommand(fake, 1)), wait(1000)});
}

}  // namespace

TEST_F(TeskelTest, CheckP11TokenInOutRunsBothPhases) {
  FakeToken fake("faketoken.dll");
  Control c;  // an allowed page: the member loads a module and shows a window
  c.callLong(u"setLanguage", {text("ENU")});
  c.callLong(u"setDataContentByString", {text("")});  // leaves a failure text
  ASSERT_NE(c.lastError(), "");

  ScriptedUser u;
  pullOutAndBackIn(u, fake);
  u.install();
  EXPECT_EQ(c.callLong(u"CheckP11TokenInOut", {text("faketoken.dll")}), 0);
  EXPECT_TRUE(u.ok()) << failuresOf(u);
  u.uninstall();
  EXPECT_EQ(c.lastCode(), 0);
  EXPECT_EQ(c.lastError(), "");

  // Not pulled out in time.
  ScriptedUser late;
  late.expect(107, {wait(61000)});
  late.install();
  EXPECT_EQ(c.callLong(u"CheckP11TokenInOut", {text("faketoken.dll")}), 62);
  EXPECT_TRUE(late.ok()) << failuresOf(late);
  late.uninstall();

  // No token: box 400, 14, in the page's language.
  struct Box {
    const char* language;
    std::u16string text;
  } boxes[] = {{"ENU", u"1.Please plugin certificate first.\r\n2.Press the confirm button."},
               {"CHT", u"1.請先插入憑證.\r\n2.再按下[確定]的按鈕."},
               {"CHS", u"1.请先插入证书.\r\n2.再按下[确定]的按钮."}};
  fake.set("tokens", "0");
  for (auto& b : boxes) {
    SCOPED_TRACE(b.language);
    c.callLong(u"setLanguage", {text(b.language)});
    ScriptedUser none;
    none.expectMessageBox({click(IDOK)});
    none.install();
    EXPECT_EQ(c.callLong(u"CheckP11TokenInOut", {text("faketoken.dll")}), 14);
    EXPECT_TRUE(none.ok()) << failuresOf(none);
    ASSERT_EQ(none.seen().size(), 1u);
    EXPECT_EQ(none.seen()[0].text, b.text);
    EXPECT_EQ(none.seen()[0].caption, u"");
    EXPECT_EQ(none.seen()[0].messageBoxType, MB_OK | MB_ICONINFORMATION);
  }
  // Empty module name: 999, nothing else.
  ScriptedUser nobody;
  nobody.install();
  EXPECT_EQ(c.callLong(u"CheckP11TokenInOut", {text("")}), 999);
  EXPECT_TRUE(nobody.ok());
  // The debugger trace line of the member.
  char out[8192] = {0};
  PlatformDebugOutput(out, sizeof out, TRUE);
  EXPECT_NE(std::string(out).find("目前行數：2405行"), std::string::npos) << out;
}

TEST_F(TeskelTest, SignIOProbesPullsOutReinsertsAndSigns) {
  clearMy();
  importFixture("user");
  FakeToken fake("faketoken.dll");
  Control c;
  c.callLong(u"setLanguage", {text("ENU")});
  ASSERT_EQ(c.callLong(u"selectCertificateBySubjectCN", {text("Test User")}), 0);
  const std::string cert = c.get(u"certificate").asText();
  ASSERT_EQ(c.callLong(u"setDataContentByString", {text("signed after re-insertion")}), 0);

  // The signing follows the provider (the user's store here), not P11DLL.
  ScriptedUser u;
  pullOutAndBackIn(u, fake);
  u.install();
  EXPECT_EQ(c.callLong(u"signIO", {text("faketoken.dll"), text(cert), text("SHA1"), text("RSA")}), 0) << c.lastError();
  EXPECT_TRUE(u.ok()) << failuresOf(u);
  u.uninstall();
  Verified v = verifyEnvelopeText(c.callText(u"getSignedEnvelopByString"));
  ASSERT_EQ(v.status, 0) << v.output;
  EXPECT_EQ(v.content, "signed after re-insertion");

  // The user closes the window: its code, nothing signed.
  ScriptedUser closes;
  closes.expect(107, {close()});
  closes.install();
  LONG closed = c.callLong(u"signIO", {text("faketoken.dll"), text(cert), text("SHA1"), text("RSA")});
  EXPECT_EQ(closed, 28);
  closes.uninstall();

  // Arguments of the signing step after both phases.
  ScriptedUser again;
  pullOutAndBackIn(again, fake);
  again.install();
  EXPECT_EQ(c.callLong(u"signIO", {text("faketoken.dll"), text(cert), text(""), text("RSA")}), 1);
  EXPECT_EQ(c.lastCode(), 1);
  EXPECT_EQ(c.lastError(), "CTeskelCtrl::sign -> error during invalid parameter(digestMethod)!");
  again.uninstall();

  // No token behind the module: box 401 and 14, nothing signed.
  fake.set("tokens", "0");
  ScriptedUser none;
  none.expectMessageBox({key(VK_RETURN)});
  none.install();
  EXPECT_EQ(c.callLong(u"signIO", {text("faketoken.dll"), text(cert), text("SHA1"), text("RSA")}), 14);
  EXPECT_TRUE(none.ok()) << failuresOf(none);
  ASSERT_EQ(none.seen().size(), 1u);
  EXPECT_EQ(none.seen()[0].text, u"Please insertion token and try again.");
}

// A probe that fails for another reason is reported with its code, as
// CheckP11TokenInOut reports it, and no slot of an unloaded module is asked.
TEST_F(TeskelTest, TokenProbeFailuresAreReported) {
  inFreshProcess([] {
    Control c;
    ScriptedUser nobody;
    nobody.install();
    EXPECT_EQ(c.callLong(u"signIO", {text("nosuchmodule.dll"), text("cert"), text("SHA1"), text("RSA")}), 24);
    EXPECT_EQ(c.lastCode(), 24);
    EXPECT_EQ(c.lastError(), "CTeskelCtrl::signIO -> error during initP11()!");
    EXPECT_EQ(c.callLong(u"CheckP11TokenInOut", {text("nosuchmodule.dll")}), 24);
    EXPECT_EQ(c.lastCode(), 24);
    EXPECT_EQ(c.lastError(), "CTeskelCtrl::CheckP11TokenInOut -> error during initP11()!");
    EXPECT_TRUE(nobody.ok()) << failuresOf(nobody);
  });
}

TEST_F(TeskelTest, ModuleDetection) {
  FakeToken a("vendora.dll");
  FakeToken b("vendorb.dll");
  b.set("tokens", "0");
  Control c;
  EXPECT_EQ(c.callLong(u"SetPKCS11LibNames", {text("{vendora.dll}{vendorb.dll}")}), 0) << c.lastError();
  EXPECT_EQ(c.lastCode(), 0);
  EXPECT_EQ(c.get(u"DetectedTokenPKCS11LibName").asText(), "vendora.dll");
  // Both see a token: several tokens, and the name found before stays.
  b.set("tokens", "1");
  EXPECT_EQ(c.callLong(u"SetPKCS11LibNames", {text("{vendora.dll}{vendorb.dll}")}), 63);
  EXPECT_EQ(c.lastCode(), 63);
  EXPECT_EQ(c.lastError(), "CTeskelCtrl::SetPKCS11LibNames -> error during detectTokenByModule()!");
  EXPECT_EQ(c.get(u"DetectedTokenPKCS11LibName").asText(), "vendora.dll");
  a.set("tokens", "0");
  EXPECT_EQ(c.callLong(u"SetPKCS11LibNames", {text("vendorb.dll")}), 0);
  EXPECT_EQ(c.get(u"DetectedTokenPKCS11LibName").asText(), "vendorb.dll");
  EXPECT_EQ(c.callLong(u"SetPKCS11LibNames", {text("{vendora.dll")}), 1);
}

TEST_F(TeskelTest, TokenInitialSetsTheBanksLabelAndPins) {
  FakeToken fake("etoken.dll");
  fake.set("model", "eToken");
  Control c;
  c.callLong(u"setDataContentByString", {text("")});  // an earlier failure: code 1
  EXPECT_EQ(c.callLong(u"TokenInitial", {text("etoken.dll")}), 0) << c.lastError();
  EXPECT_EQ(c.lastCode(), 1);  // a success leaves it
  EXPECT_EQ(fake.get("pin"), "739164");
  bool labelled = false;
  for (const std::string& call : fake.calls())
    if (call.find("ETC_InitTokenInit") != std::string::npos && call.find("Corvane") != std::string::npos)
      labelled = true;
  EXPECT_TRUE(labelled);

  EXPECT_EQ(c.callLong(u"TokenInitial", {text("nosuchmodule.dll")}), 64);
  EXPECT_EQ(c.lastCode(), 64);
  EXPECT_EQ(c.lastError().rfind("CTeskelCtrl::TokenInitial -> error during InitTokenCV(),errmsg[", 0), 0u);
}

// A page of another host cannot try PINs or change them; a PIN that does not
// fit the token client's buffer, or holds a NUL, is refused whole. In each
// case the token keeps its PIN (checked with pkcs11-tool).
TEST_F(SoftToken, PinChangeRefusals) {
  Control evil(u"http://evil.example/");
  for (int i = 0; i < 4; ++i)  // a wrong guess would count; three lock a token
    EXPECT_EQ(evil.callLong(u"TokenChangePIN", {text(p11test::kForwarder), text("000000"), text("13579")}), 61);
  EXPECT_EQ(evil.callLong(u"TokenChangePIN", {text(p11test::kForwarder), text(kPin), text("13579")}), 61);
  EXPECT_EQ(evil.callText(u"GetTokenSN", {text(p11test::kForwarder)}), "");
  EXPECT_EQ(evil.lastCode(), 61);

  Control c;
  struct Case {
    const char* what;
    std::u16string oldPin, newPin;
  } cases[] = {
      {"a new PIN of 200 characters", wide(kPin), std::u16string(200, u'7')},
      {"an old PIN of 200 characters", std::u16string(200, u'7'), u"13579"},
      {"a new PIN cut by a NUL", wide(kPin),
       std::u16string(u"135\0"
                      "79",
                      6)},
      {"an old PIN cut by a NUL",
       std::u16string(u"246810\0"
                      "x",
                      8),
       u"13579"},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    EXPECT_EQ(c.callLong(u"TokenChangePIN", {text(p11test::kForwarder), text(k.oldPin), text(k.newPin)}), 1);
    EXPECT_EQ(c.lastCode(), 1);
  }
  EXPECT_EQ(hsm->tool(std::string("--login --pin ") + kPin + " --list-objects"), 0);
  EXPECT_NE(hsm->tool("--login --pin 13579 --list-objects"), 0);
}

// A key file that is not the certificate's own: sign, signUI (after the user
// confirmed) and signIO (after the token came back) each fail with 23 and the
// key comparison's text, and there is no envelope to fetch.
TEST_F(TeskelTest, KeyOfAnotherCertificateFailsEverySigningMember) {
  clearMy();
  importFixture("user");
  testsupport::replaceStoreKeyOf("user", fixtures::get("rsa3072").keyPem);
  FakeToken fake("faketoken.dll");
  Control c;
  const std::string cert = certificateText("user");
  ASSERT_EQ(c.callLong(u"setDataContentByString", {text("pay 100 to 42")}), 0);
  expectEverySigningMemberRefusesTheKey(
      c, cert, 106, "faketoken.dll", [&](ScriptedUser& u) { pullOutAndBackIn(u, fake); }, false);
}

// A token sign that fails after the token signed (here its log-out) leaves
// no envelope, not even the one of the good sign before it; the next good
// sign hands out an envelope that verifies.
TEST_F(TeskelTest, AFailedTokenSignLeavesNoEnvelope) {
  FakeToken fake("failingtoken.dll");
  fake.addIdentity("user", 1);
  Control c;
  c.put(u"PKCS11LibName", text("failingtoken.dll"));
  ASSERT_EQ(c.callLong(u"setDataContentByString", {text("pay 100 to 42")}), 0);
  const std::string cert = certificateText("user");
  auto signOnce = [&]() {
    ScriptedUser u;
    u.expect(105, typePin("1234"));
    u.install();
    return c.callLong(u"sign", {text(cert), text("SHA1"), text("RSA")});
  };
  ASSERT_EQ(signOnce(), 0) << c.lastError();
  ASSERT_EQ(verifyEnvelopeText(c.callText(u"getSignedEnvelopByString")).status, 0);
  fake.set("fail", "C_Logout=0x30");
  EXPECT_EQ(signOnce(), 23);
  EXPECT_NE(c.lastError().find("during C_Logout"), std::string::npos) << c.lastError();
  EXPECT_TRUE(c.call(u"getSignedEnvelopByString").isNullText());
  EXPECT_EQ(c.lastCode(), 3);
  std::string path = testsupport::freshDir("failedtoken") + "/envelope.p7b";
  EXPECT_NE(c.callLong(u"getSignedEnvelopByFile", {text(path)}), 0);
  EXPECT_EQ(c.lastCode(), 3);
  EXPECT_TRUE(testsupport::readFile(path).empty());
  fake.unset("fail");
  ASSERT_EQ(signOnce(), 0) << c.lastError();
  EXPECT_EQ(verifyEnvelopeText(c.callText(u"getSignedEnvelopByString")).status, 0);
}

// Another key under the certificate's identifier: this control finds the
// key by the certificate's modulus, so there is no key of its to sign with.
TEST_F(SoftToken, KeyOfAnotherCertificateOnTheTokenIsNotFound) {
  hsm->addIdentity("bank", kPin, "ku_sig", "02", /*certOnly=*/true);
  hsm->addKey("bank", kPin, fixtures::get("rsa3072").keyPem, "02");
  Control c;
  c.put(u"PKCS11LibName", text(p11test::kForwarder));
  ASSERT_EQ(c.callLong(u"setDataContentByString", {text("pay 100 to 42")}), 0);
  ScriptedUser u;
  u.expect(105, typePin(kPin));
  u.install();
  EXPECT_EQ(c.callLong(u"sign", {text(certificateText("ku_sig")), text("SHA1"), text("RSA")}), 13) << c.lastError();
  u.uninstall();
  EXPECT_TRUE(c.call(u"getSignedEnvelopByString").isNullText());
  EXPECT_EQ(c.lastCode(), 3);
}

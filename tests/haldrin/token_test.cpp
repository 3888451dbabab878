// The token members: signing on a SoftHSM2 token (behind the forwarder that
// shows only initialised tokens) with the PIN typed into the card login
// dialog, and, against the fake token module, the pull-out and re-insert
// window of signIO and CheckP11TokenInOut with their codes, boxes and texts.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "Fixtures.h"
#include "FreshProcess.h"
#include "HaldrinSupport.h"
#include "StoreKeys.h"
#include "TestRoot.h"
#include "TokenHarness.h"
#include "platform/kernel.h"
#include "platform/locale.h"

using namespace haldrintest;
using namespace platform::user;
using p11test::FakeToken;
using p11test::SoftHsm;

using testsupport::inFreshProcess;

namespace {

constexpr const char* kPin = "246810";

std::string tokensCommand(const FakeToken& fake, int count) {
  return "printf " + std::to_string(count) + " > '" + fake.dir() + "/tokens'";
}

// Pull the token out, then put it back, each seen by the window's next tick.
void pullOutAndBackIn(ScriptedUser& u, const FakeToken& fake, std::vector<std::u16string>* texts = nullptr) {
  auto read = [texts](const DialogView& v) {
    if (texts != nullptr) {
      texts->push_back(v.control(202)->text);
      texts->push_back(v.control(204)->text);
    }
  };
  u.expect(104, {wait(1000), inspect(read), exec(tokensCommand(fake, 0)), wait(1000)});
  u.expect(104, {wait(1000), inspect(read), exec(tokensCommand(fake, 1)), wait(1000)});
}

class SoftToken : public HaldrinTest {
 protected:
  void SetUp() override {
    HaldrinTest::SetUp();
    clearMy();
    hsm = std::make_unique<SoftHsm>("haldrin");
    hsm->initToken("bank", "87654321", kPin);
    hsm->addIdentity("bank", kPin, "user", "01");
    p11test::installForwarder();
  }
  std::unique_ptr<SoftHsm> hsm;
};

}  // namespace

TEST_F(SoftToken, SignsOnTheTokenWithThePinOfTheCardLoginDialog) {
  Haldrin c;
  EXPECT_EQ(c.put(u"PKCS11LibName", text(p11test::kForwarder)).hr, S_OK);
  EXPECT_EQ(c.lastCode(), 0) << c.lastError();
  const std::string cert = certificateText("user");
  const std::string data = "token-signed transfer";
  ASSERT_EQ(c.callLong(u"setDataContentByString", {text(data)}), 0);
  SetThreadUILanguage(1033);
  ScriptedUser u;
  u.expect(102, {type(201, wide(kPin)), click(IDOK)});
  u.install();
  Result r = c.call(u"sign", {text(cert), text("SHA1"), text("RSA")});
  EXPECT_EQ(r.hr, S_OK);
  ASSERT_EQ(r.asLong(), 0) << c.lastError();
  EXPECT_TRUE(u.ok()) << failuresOf(u);
  u.uninstall();
  Verified v = verifyEnvelopeText(c.callText(u"getSignedEnvelopByString"));
  ASSERT_EQ(v.status, 0) << v.output;
  EXPECT_EQ(v.content, data);
  EXPECT_EQ(v.signerPem, pemOf("user"));

  // Cancelled in the card login dialog: 28, nothing signed, S_FALSE.
  ScriptedUser cancels;
  cancels.expect(102, {click(IDCANCEL)});
  cancels.install();
  Result cancelled = c.call(u"sign", {text(cert), text("SHA1"), text("RSA")});
  EXPECT_EQ(cancelled.hr, S_FALSE);
  EXPECT_EQ(cancelled.asLong(), 28) << c.lastError();
  EXPECT_TRUE(cancels.ok()) << failuresOf(cancels);
}

TEST_F(HaldrinTest, CheckP11TokenInOutRunsBothPhases) {
  FakeToken fake("faketoken.dll");
  Haldrin c;
  SetThreadUILanguage(1033);
  ScriptedUser u;
  std::vector<std::u16string> texts;
  pullOutAndBackIn(u, fake, &texts);
  u.install();
  Result ok = c.call(u"CheckP11TokenInOut", {text("faketoken.dll")});
  EXPECT_EQ(ok.hr, S_OK);
  EXPECT_EQ(ok.asLong(), 0);
  EXPECT_TRUE(u.ok()) << failuresOf(u);
  u.uninstall();
  ASSERT_EQ(texts.size(), 4u);
  EXPECT_EQ(texts[0], u"Please pull out the token");
  EXPECT_EQ(texts[1], u"Seconds remaining:060Seconds");
  EXPECT_EQ(texts[2], u"Please insert the certificate token.");

  // Not pulled out in time: 99, S_FALSE.
  ScriptedUser late;
  std::u16string lastCount, lastText;
  late.expect(104, {wait(60000), inspect([&](const DialogView& v) { lastCount = v.control(204)->text; }), wait(1000)});
  late.install();
  Result timedOut = c.call(u"CheckP11TokenInOut", {text("faketoken.dll")});
  EXPECT_EQ(timedOut.hr, S_FALSE);
  EXPECT_EQ(timedOut.asLong(), 99);
  EXPECT_TRUE(late.ok()) << failuresOf(late);
  late.uninstall();
  EXPECT_EQ(lastCount, u"Seconds remaining:001Seconds");

  // No token: box 2507, 14, S_OK, in the thread's language.
  fake.set("tokens", "0");
  for (LANGID lang : {1033, 1028}) {
    SetThreadUILanguage(lang);
    ScriptedUser none;
    none.expectMessageBox({click(IDOK)});
    none.install();
    Result r = c.call(u"CheckP11TokenInOut", {text("faketoken.dll")});
    EXPECT_EQ(r.hr, S_OK);
    EXPECT_EQ(r.asLong(), 14);
    EXPECT_TRUE(none.ok()) << failuresOf(none);
    ASSERT_EQ(none.seen().size(), 1u);
    EXPECT_EQ(none.seen()[0].text, lang == 1033 ? u"1.Please plugin certificate first.\r\n2.Press the confirm button."
                                                : u"1.請先插入憑證.\r\n2.再按下[確定]的按鈕.");
    EXPECT_EQ(none.seen()[0].caption, u"");
    EXPECT_EQ(none.seen()[0].messageBoxType, MB_OK | MB_ICONINFORMATION);
  }
  // Empty module name: 999, S_FALSE, LastErrorCode as it was.
  c.call(u"setDataContentByString", {text("")});
  ScriptedUser nobody;
  nobody.install();
  Result empty = c.call(u"CheckP11TokenInOut", {text("")});
  EXPECT_EQ(empty.hr, S_FALSE);
  EXPECT_EQ(empty.asLong(), 999);
  EXPECT_EQ(c.lastCode(), 1);
  EXPECT_TRUE(nobody.ok());
  char out[8192] = {0};
  PlatformDebugOutput(out, sizeof out, TRUE);
  EXPECT_NE(std::string(out).find("目前行數：1180行"), std::string::npos) << out;
}

TEST_F(HaldrinTest, SignIOPullsOutReinsertsAndSignsOrSaysWhyNot) {
  clearMy();
  importFixture("user");
  FakeToken fake("faketoken.dll");
  Haldrin c;
  const std::string cert = certificateText("user");
  ASSERT_EQ(c.callLong(u"setDataContentByString", {text("signed after re-insertion")}), 0);
  SetThreadUILanguage(1033);

  // The signing follows the provider (the user's store here), not P11DLL.
  ScriptedUser u;
  pullOutAndBackIn(u, fake);
  u.install();
  Result r = c.call(u"signIO", {text("faketoken.dll"), text(cert), text("SHA1"), text("RSA")});
  EXPECT_EQ(r.hr, S_OK);
  EXPECT_EQ(r.asLong(), 0) << c.lastError();
  EXPECT_TRUE(u.ok()) << failuresOf(u);
  u.uninstall();
  Verified v = verifyEnvelopeText(c.callText(u"getSignedEnvelopByString"));
  ASSERT_EQ(v.status, 0) << v.output;
  EXPECT_EQ(v.content, "signed after re-insertion");

  // Arguments of the signing step after both phases.
  ScriptedUser again;
  pullOutAndBackIn(again, fake);
  again.install();
  Result bad = c.call(u"signIO", {text("faketoken.dll"), text(cert), text(""), text("RSA")});
  EXPECT_EQ(bad.hr, S_FALSE);
  EXPECT_EQ(bad.asLong(), 1);
  EXPECT_EQ(c.lastError(), "CHaldrinCtrl::sign -> error during invalid parameter(digestMethod)!");
  again.uninstall();

  // Not pulled out in time: the window's 99, S_FALSE, nothing signed.
  ScriptedUser late;
  late.expect(104, {wait(62000)});
  late.install();
  Result timedOut = c.call(u"signIO", {text("faketoken.dll"), text(cert), text("SHA1"), text("RSA")});
  EXPECT_EQ(timedOut.hr, S_FALSE);
  EXPECT_EQ(timedOut.asLong(), 99);
  late.uninstall();

  // No token behind the module: box 2508, 14 (never 0), S_OK.
  fake.set("tokens", "0");
  ScriptedUser none;
  none.expectMessageBox({key(VK_RETURN)});
  none.install();
  Result noToken = c.call(u"signIO", {text("faketoken.dll"), text(cert), text("SHA1"), text("RSA")});
  EXPECT_EQ(noToken.hr, S_OK);
  EXPECT_EQ(noToken.asLong(), 14);
  EXPECT_EQ(c.lastCode(), 14);
  EXPECT_EQ(c.lastError(), "CHaldrinCtrl::signIO -> No token present!");
  EXPECT_TRUE(none.ok()) << failuresOf(none);
  ASSERT_EQ(none.seen().size(), 1u);
  EXPECT_EQ(none.seen()[0].text, u"Please insertion token and try again.");
  none.uninstall();

  // Empty module name: 1, S_FALSE, no text, LastErrorCode 0.
  Result empty = c.call(u"signIO", {text(""), text(cert), text("SHA1"), text("RSA")});
  EXPECT_EQ(empty.hr, S_FALSE);
  EXPECT_EQ(empty.asLong(), 1);
  EXPECT_EQ(c.lastCode(), 0);
  EXPECT_EQ(c.lastError(), "CHaldrinCtrl::signIO -> No token present!");
}

// A module that cannot be probed: its code and the initP11 text, nothing
// shown; CheckP11TokenInOut reports 63 with S_OK.
TEST_F(HaldrinTest, TokenProbeFailuresAreReported) {
  inFreshProcess([] {
    Haldrin c;
    ScriptedUser nobody;
    nobody.install();
    Result io = c.call(u"signIO", {text("nosuchmodule.dll"), text("cert"), text("SHA1"), text("RSA")});
    EXPECT_EQ(io.hr, S_FALSE);
    EXPECT_EQ(io.asLong(), 24);
    EXPECT_EQ(c.lastCode(), 24);
    EXPECT_EQ(c.lastError(), "CHaldrinCtrl::signIO -> error during initP11()!");
    Result check = c.call(u"CheckP11TokenInOut", {text("nosuchmodule.dll")});
    EXPECT_EQ(check.hr, S_OK);
    EXPECT_EQ(check.asLong(), 63);
    EXPECT_EQ(c.lastCode(), 63);
    EXPECT_EQ(c.lastError(), "CHaldrinCtrl::CheckP11TokenInOut -> error during initP11()!");
    // The probe keeps no copy of the name, so a name longer than any name
    // field is probed like any other (not refused as a wrong argument).
    const std::string longName = std::string(300, 'm') + ".dll";
    Result longIO = c.call(u"signIO", {text(longName), text("cert"), text("SHA1"), text("RSA")});
    EXPECT_EQ(longIO.asLong(), 24);
    EXPECT_EQ(c.lastError(), "CHaldrinCtrl::signIO -> error during initP11()!");
    EXPECT_TRUE(nobody.ok()) << failuresOf(nobody);
  });
}

// A token module that fails partway: each call of a good signature's
// sequence fails in turn (CKR_DEVICE_ERROR), its log-out included. Every
// time the page gets a code other than 0 with S_FALSE and a text, no envelope
// (not even that of the good signature before), and the module is
// left with no session open; the next signature in the same control, with
// the module well again, goes through and verifies.
TEST_F(HaldrinTest, TokenModuleFailingAtAnyStepLeavesNothingHalfDone) {
  FakeToken fake("failingtoken.dll");
  fake.addIdentity("rsa1024", 1);
  const std::string cert = certificateText("rsa1024");
  Haldrin c;
  ASSERT_EQ(c.put(u"PKCS11LibName", text("failingtoken.dll")).hr, S_OK);
  ASSERT_EQ(c.callLong(u"setDataContentByString", {text("pay 100 to 42")}), 0);
  auto signOnce = [&]() {
    ScriptedUser u;
    u.expect(102, {type(201, u"1234"), click(IDOK)});
    u.install();
    return c.call(u"sign", {text(cert), text("SHA1"), text("RSA")});
  };
  // Sessions opened and not closed again, in the call log.
  auto openSessions = [&]() {
    int open = 0;
    for (const std::string& name : fake.callNames()) {
      if (name == "C_OpenSession") ++open;
      if (name == "C_CloseSession" && open > 0) --open;
      if (name == "C_CloseAllSessions" || name == "C_Finalize") open = 0;
    }
    return open;
  };
  p11test::clearCallLog();
  Result good = signOnce();
  ASSERT_EQ(good.asLong(), 0) << c.lastError();
  std::vector<std::string> sequence = fake.callNames();
  EXPECT_EQ(openSessions(), 0);

  std::map<std::string, int> seen;
  for (const std::string& name : sequence) {
    if (name == "C_GetFunctionList" || name == "C_Finalize" || name == "C_CloseSession")
      continue;  // the tear-down, which the page is not told about
    const int occurrence = ++seen[name];
    const std::string step = name + "#" + std::to_string(occurrence);
    SCOPED_TRACE(step);
    fake.set("fail", step + "=0x30");
    p11test::clearCallLog();
    // The envelope of the good signature before is still there, and must go.
    Result r = signOnce();
    EXPECT_EQ(r.hr, S_FALSE);
    EXPECT_NE(r.asLong(), 0);
    EXPECT_EQ(c.lastError().rfind("CHaldrinCtrl::sign -> ", 0), 0u) << c.lastError();
    EXPECT_TRUE(c.call(u"getSignedEnvelopByString").isNullText());
    EXPECT_EQ(c.lastCode(), 3);
    EXPECT_EQ(openSessions(), 0);
    fake.unset("fail");
    Result again = signOnce();
    EXPECT_EQ(again.asLong(), 0) << c.lastError();
    EXPECT_EQ(verifyEnvelopeText(c.callText(u"getSignedEnvelopByString")).status, 0);
  }
  EXPECT_GE(seen.size(), 8u);
}

// The PIN never shows: signing on the token with a wrong PIN and the right
// one, the page's list of forbidden PINs, and a keypad the user types on,
// with the log on. Neither the log file, nor LastErrorStr after any member, nor the
// debugger output, nor the card login dialog's PIN field as the user sees it
// holds the PIN or the typed digits.
TEST_F(HaldrinTest, NoPinInTheLogTheErrorTextsOrTheDebuggerOutput) {
  FakeToken fake("secrettoken.dll");
  fake.set("pin", "735911");
  fake.addIdentity("rsa1024", 1);
  const std::string cert = certificateText("rsa1024");
  const std::string logs = testsupport::platformRoot() + "/drives/c/secretlogs";
  testsupport::run("mkdir -p '" + logs + "'");
  char debug[16384] = {0};
  PlatformDebugOutput(debug, sizeof debug, TRUE);
  Haldrin c;
  ASSERT_EQ(c.callLong(u"setLogFile", {text("C:\\secretlogs"), text("pins")}), 0);
  ASSERT_EQ(c.put(u"PKCS11LibName", text("secrettoken.dll")).hr, S_OK);
  ASSERT_EQ(c.callLong(u"setDataContentByString", {text("pay 100 to 42")}), 0);
  std::string errors;
  std::u16string pinField;
  auto signWith = [&](const char16_t* pin) {
    ScriptedUser u;
    u.expect(102,
             {type(201, pin), inspect([&](const DialogView& v) { pinField = v.control(201)->text; }), click(IDOK)});
    u.install();
    LONG code = c.call(u"sign", {text(cert), text("SHA1"), text("RSA")}).asLong();
    errors += c.lastError() + "\n";
    EXPECT_EQ(pinField.find(u"7359"), std::u16string::npos);
    return code;
  };
  EXPECT_EQ(signWith(u"735912"), 21);
  EXPECT_EQ(signWith(u"735911"), 0);
  EXPECT_FALSE(c.call(u"getSignedEnvelopByString").isNullText());
  errors += c.lastError() + "\n";
  // The page's list of PINs it forbids, well formed and not.
  ASSERT_EQ(c.callLong(u"setIllegalPIN", {text("{735911}{000000}")}), 0);
  errors += c.lastError() + "\n";
  EXPECT_EQ(c.call(u"setIllegalPIN", {text("{735911")}).asLong(), 1);
  errors += c.lastError() + "\n";
  // The keypad: the digits typed by what the keys show.
  ScriptedUser keypad;
  std::vector<Action> presses;
  for (char16_t d : std::u16string(u"735911")) presses.push_back(clickShown(std::u16string(1, d)));
  presses.push_back(click(1036));
  keypad.expect(107, presses);
  keypad.install();
  EXPECT_EQ(c.callLong(u"inquireProtectionData", {text("t"), text(bankKey().publicBase64), i4(0)}), 0);
  errors += c.lastError() + "\n";
  keypad.uninstall();

  std::string logged;
  testsupport::run("cat '" + logs + "'/*", &logged);
  EXPECT_NE(logged.find("sign success!"), std::string::npos) << logged;  // the log was on
  PlatformDebugOutput(debug, sizeof debug, TRUE);
  for (const std::string& seen : {logged, errors, std::string(debug)}) {
    EXPECT_EQ(seen.find("7359"), std::string::npos) << seen;
  }
}

// A key file that is not the certificate's own: sign, signUI (after the user
// confirmed) and signIO (after the token came back) each fail with 23 and the
// key comparison's text, and there is no envelope to fetch.
TEST_F(HaldrinTest, KeyOfAnotherCertificateFailsEverySigningMember) {
  clearMy();
  importFixture("user");
  testsupport::replaceStoreKeyOf("user", fixtures::get("rsa3072").keyPem);
  FakeToken fake("faketoken.dll");
  Haldrin c;
  const std::string cert = certificateText("user");
  ASSERT_EQ(c.callLong(u"setDataContentByString", {text("pay 100 to 42")}), 0);
  expectEverySigningMemberRefusesTheKey(
      c, cert, 103, "faketoken.dll", [&](ScriptedUser& u) { pullOutAndBackIn(u, fake); }, true);
}

// Another key under the certificate's identifier signs on the token; that
// signature is refused at once: 23 with its text, no envelope.
TEST_F(SoftToken, KeyOfAnotherCertificateUnderItsIdentifierFailsTheSign) {
  hsm->addIdentity("bank", kPin, "ku_sig", "02", /*certOnly=*/true);
  hsm->addKey("bank", kPin, fixtures::get("rsa1024").keyPem, "02");  // a size this path signs with
  Haldrin c;
  c.put(u"PKCS11LibName", text(p11test::kForwarder));
  ASSERT_EQ(c.callLong(u"setDataContentByString", {text("pay 100 to 42")}), 0);
  ScriptedUser u;
  u.expect(102, {type(201, wide(kPin)), click(IDOK)});
  u.install();
  Result r = c.call(u"sign", {text(certificateText("ku_sig")), text("SHA1"), text("RSA")});
  EXPECT_EQ(r.asLong(), 23) << c.lastError();
  EXPECT_NE(c.lastError().find(
                "CPKCS7SignatureClient::signByPKCS11 -> the signature does not verify with the signer certificate"),
            std::string::npos)
      << c.lastError();
  EXPECT_TRUE(u.ok()) << failuresOf(u);
  u.uninstall();
  EXPECT_TRUE(c.call(u"getSignedEnvelopByString").isNullText());
  EXPECT_EQ(c.lastCode(), 3);
}

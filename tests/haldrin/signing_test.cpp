// Signing on the CryptoAPI path with a software key imported into "MY": the
// envelope as text and as a file (checked by openssl cms -verify), the
// confirmation window of signUI, the MD5-with-RSA value (checked by openssl
// dgst -md5 -verify and equal to openssl's own signature), and the host check
// in front of every member that signs, reads or writes a file.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "Fixtures.h"
#include "HaldrinSupport.h"
#include "TestRoot.h"
#include "platform/locale.h"

using namespace haldrintest;
using namespace platform::user;

namespace {

class Signing : public HaldrinTest {
 protected:
  void SetUp() override {
    HaldrinTest::SetUp();
    clearMy();
    importFixture("user");
    cert = certificateText("user");
  }
  std::string cert;
};

std::string driveFolder(const std::string& drive, const std::string& folder) {
  std::string dir = testsupport::platformRoot() + "/drives/" + drive + "/" + folder;
  testsupport::run("mkdir -p '" + dir + "'");
  return dir;
}

}  // namespace

TEST_F(Signing, EnvelopeVerifiedByTheRelyingParty) {
  Haldrin c;
  const std::string data = "轉帳 NT$1,000 至帳號 0123-456";
  ASSERT_EQ(c.callLong(u"setDataContentByString", {text(data)}), 0);
  Result s = c.call(u"sign", {text(cert), text("SHA1"), text("RSA")});
  EXPECT_EQ(s.hr, S_OK);
  ASSERT_EQ(s.asLong(), 0) << c.lastError();
  Result env = c.call(u"getSignedEnvelopByString");
  ASSERT_EQ(env.hr, S_OK);
  ASSERT_FALSE(env.isNullText()) << c.lastError();
  Verified v = verifyEnvelopeText(env.asText());
  ASSERT_EQ(v.status, 0) << v.output;
  EXPECT_EQ(v.content, data);
  EXPECT_EQ(v.signerPem, pemOf("user"));
  EXPECT_EQ(c.get(u"result").asText(), env.asText());

  std::string dir = driveFolder("c", "bank");
  ASSERT_EQ(c.callLong(u"getSignedEnvelopByFile", {text("C:\\bank\\envelope.p7b")}), 0) << c.lastError();
  Verified f = verifyEnvelopeFile(dir + "/envelope.p7b");
  ASSERT_EQ(f.status, 0) << f.output;
  EXPECT_EQ(f.content, data);

  // Data from a file.
  testsupport::writeFile(dir + "/order.txt", "from a file");
  ASSERT_EQ(c.callLong(u"setDataContentByFile", {text("C:\\bank\\order.txt")}), 0) << c.lastError();
  ASSERT_EQ(c.callLong(u"sign", {text(cert), text("SHA1"), text("RSA")}), 0) << c.lastError();
  Verified g = verifyEnvelopeText(c.callText(u"getSignedEnvelopByString"));
  ASSERT_EQ(g.status, 0) << g.output;
  EXPECT_EQ(g.content, "from a file");
}

// Failures give their code, the member's text, S_FALSE and, for a text
// result, a null string.
TEST_F(Signing, FailuresGiveCodeTextAndSFalse) {
  Haldrin c;
  EXPECT_EQ(c.get(u"LastErrorStr").asText(), "");
  Result env = c.call(u"getSignedEnvelopByString");
  EXPECT_EQ(env.hr, S_FALSE);
  EXPECT_TRUE(env.isNullText());
  EXPECT_EQ(c.lastCode(), 4);
  EXPECT_EQ(c.lastError().rfind("CHaldrinCtrl::getSignedEnvelopByString -> 1.get envelop string length fail!", 0), 0u)
      << c.lastError();
  Result r = c.get(u"result");
  EXPECT_EQ(r.hr, S_OK);
  EXPECT_TRUE(r.isNullText());

  struct Case {
    const char16_t* member;
    std::vector<Value> args;
    const char* text;
  } cases[] = {
      {u"setDataContentByString",
       {text("")},
       "CHaldrinCtrl::setDataContentByString -> error during invalid parameter(dataContent)!"},
      {u"setDataContentByFile",
       {nullText()},
       "CHaldrinCtrl::setDataContentByFile -> error during invalid parameter(dataPath)!"},
      {u"sign",
       {text(""), text("SHA1"), text("RSA")},
       "CHaldrinCtrl::sign -> error during invalid parameter(signerCert)!"},
      {u"sign",
       {text(cert), text(""), text("")},
       "CHaldrinCtrl::sign -> error during invalid parameter(digestMethod)!"},
      {u"sign",
       {text(cert), text("SHA1"), nullText()},
       "CHaldrinCtrl::sign -> error during invalid parameter(signatureMethod)!"},
      {u"getSignedEnvelopByFile",
       {text("")},
       "CHaldrinCtrl::getSignedEnvelopByFile -> error invalid parameter(envelopPath)!"},
      {u"setLogFile", {text(""), text("x")}, "CHaldrinCtrl::setLogFile -> error during invalid parameter(logPath)!"},
      {u"setLogFile",
       {text("C:\\logs"), text("")},
       "CHaldrinCtrl::setLogFile -> error during invalid parameter(logFileName)!"},
      {u"MD5RSASignValue", {text("")}, "CHaldrinCtrl::MD5RSASignValue -> error during invalid parameter(signerCert)!"},
      {u"setIllegalPIN",
       {text("")},
       "CHaldrinCtrl::setIllegalPIN -> error during invalid parameter(multipleIllegalPIN)!"},
  };
  for (auto& t : cases) {
    SCOPED_TRACE(t.text);
    Result res = c.call(t.member, t.args);
    EXPECT_EQ(res.hr, S_FALSE);
    EXPECT_EQ(res.asLong(), 1);
    EXPECT_EQ(c.lastCode(), 1);
    EXPECT_EQ(c.lastError(), t.text);
  }
  // A library failure passes its code and text on after the member's prefix.
  Result missing = c.call(u"setDataContentByFile", {text("C:\\nowhere\\none.txt")});
  EXPECT_EQ(missing.hr, S_FALSE);
  EXPECT_EQ(missing.asLong(), 20);
  EXPECT_EQ(c.lastError().rfind("CHaldrinCtrl::setDataContentByFile -> CPKCS7SignatureClient::", 0), 0u)
      << c.lastError();
  // A success clears the code and leaves the text.
  EXPECT_EQ(c.callLong(u"setDataContentByString", {text("x")}), 0);
  EXPECT_EQ(c.lastCode(), 0);
  EXPECT_NE(c.lastError(), "");
  // A library text longer than the buffer is cut at 511 bytes.
  const std::string longPath = "C:\\" + std::string(700, 'a') + ".txt";
  EXPECT_EQ(c.call(u"setDataContentByFile", {text(longPath)}).hr, S_FALSE);
  EXPECT_EQ(c.lastError().size(), 511u);
  EXPECT_EQ(c.lastError().rfind("CHaldrinCtrl::setDataContentByFile -> ", 0), 0u);
}

// The page's PIN list is a secret: no failure text quotes it.
TEST_F(Signing, PinListsAndProviderCodes) {
  Haldrin c;
  EXPECT_EQ(c.callLong(u"setIllegalPIN", {text("{1234}{0000}")}), 0);
  Result bad = c.call(u"setIllegalPIN", {text("{987654}{31415")});
  EXPECT_EQ(bad.hr, S_FALSE);
  EXPECT_EQ(bad.asLong(), 1);
  const std::string message = c.lastError();
  EXPECT_EQ(message.rfind("CHaldrinCtrl::setIllegalPIN -> ", 0), 0u) << message;
  EXPECT_EQ(message.back(), ' ');
  EXPECT_EQ(message.find("987654"), std::string::npos) << message;
  EXPECT_EQ(message.find("31415"), std::string::npos) << message;
  EXPECT_EQ(c.callLong(u"setCancelPINCode", {r8(2148532334.0)}), 0);
  EXPECT_EQ(c.callLong(u"setIncorrectPINCode", {r8(2148532331.0)}), 0);
  EXPECT_EQ(c.lastCode(), 0);
}

TEST_F(Signing, ConfirmationWindowSignsOnlyAfterSign) {
  Haldrin c;
  struct Case {
    const char* what;
    std::vector<Action> actions;
    int code;
  } cases[] = {
      {"signed", {click(IDOK)}, 0},
      {"cancelled", {click(IDCANCEL)}, 28},
      {"escape", {key(VK_ESCAPE)}, 28},
  };
  for (auto& t : cases) {
    SCOPED_TRACE(t.what);
    const std::string data = std::string("payment order: ") + t.what;
    std::u16string shown;
    ScriptedUser u;
    std::vector<Action> actions = {inspect([&](const DialogView& v) { shown = v.control(206)->text; })};
    actions.insert(actions.end(), t.actions.begin(), t.actions.end());
    u.expect(103, actions);
    u.install();
    Result r = c.call(u"signUI", {text(data), text(cert), text("SHA1"), text("RSA")});
    EXPECT_EQ(r.hr, S_OK);
    EXPECT_EQ(r.asLong(), t.code) << c.lastError();
    EXPECT_EQ(c.lastCode(), t.code);
    EXPECT_TRUE(u.ok()) << failuresOf(u);
    u.uninstall();
    EXPECT_EQ(utf8(shown), data);
    Result env = c.call(u"getSignedEnvelopByString");
    if (t.code == 0) {
      Verified v = verifyEnvelopeText(env.asText());
      ASSERT_EQ(v.status, 0) << v.output;
      EXPECT_EQ(v.content, data);
    } else {
      EXPECT_TRUE(env.isNullText());  // nothing signed; the data stays set
      ASSERT_EQ(c.callLong(u"sign", {text(cert), text("SHA1"), text("RSA")}), 0);
      Verified v = verifyEnvelopeText(c.callText(u"getSignedEnvelopByString"));
      EXPECT_EQ(v.content, data);
    }
  }
  // The window in the thread's language (signUI does not apply the page's).
  SetThreadUILanguage(1033);
  ScriptedUser english;
  english.expect(103, {click(IDCANCEL)});
  english.install();
  EXPECT_EQ(c.callLong(u"signUI", {text("data"), text(cert), text("SHA1"), text("RSA")}), 28);
  ASSERT_EQ(english.seen().size(), 1u);
  EXPECT_EQ(english.seen()[0].caption, u"Signature Verify");
  english.uninstall();
  // Empty data: no window at all, S_FALSE.
  ScriptedUser nobody;
  nobody.install();
  Result empty = c.call(u"signUI", {text(""), text(cert), text("SHA1"), text("RSA")});
  EXPECT_EQ(empty.hr, S_FALSE);
  EXPECT_EQ(empty.asLong(), 1);
  EXPECT_EQ(c.lastError(), "CHaldrinCtrl::setDataContentByString -> error during invalid parameter(dataContent)!");
  EXPECT_TRUE(nobody.ok()) << failuresOf(nobody);
}

TEST_F(Signing, Md5RsaValueVerifiedByOpenssl) {
  Haldrin c;
  const std::string data = "MERCHANT=12345;AMOUNT=1000";
  ASSERT_EQ(c.callLong(u"setDataContentByString", {text(data)}), 0);
  Result r = c.call(u"MD5RSASignValue", {text(cert)});
  EXPECT_EQ(r.hr, S_OK);
  ASSERT_EQ(r.asLong(), 0) << c.lastError();
  const std::string value = c.get(u"result").asText();
  EXPECT_EQ(value, md5RsaByOpenssl("user", data));
  EXPECT_TRUE(md5RsaVerifies("user", data, value));
  EXPECT_FALSE(md5RsaVerifies("user", data + "!", value));
  // A certificate that is not in the store.
  Result other = c.call(u"MD5RSASignValue", {text(certificateText("ku_sig"))});
  EXPECT_EQ(other.hr, S_FALSE);
  EXPECT_NE(other.asLong(), 0);
  EXPECT_EQ(c.lastError().rfind("CHaldrinCtrl::MD5RSASignValue -> ", 0), 0u) << c.lastError();
  EXPECT_EQ(c.get(u"result").asText(), value);  // kept on failure
}

// Only pages of the allowed hosts sign, get an MD5-with-RSA value, read or
// write files, or touch the token module; the check comes before the
// arguments are looked at.
TEST_F(Signing, PagesOfOtherHostsAreRefused) {
  std::string dir = driveFolder("c", "bank");
  testsupport::writeFile(dir + "/order.txt", "order");
  Haldrin good;
  ASSERT_EQ(good.callLong(u"setDataContentByString", {text("data")}), 0);
  ASSERT_EQ(good.callLong(u"sign", {text(cert), text("SHA1"), text("RSA")}), 0);

  for (const char16_t* url : {u"http://evil.example/", u"http://LOCALHOST/", u""}) {
    SCOPED_TRACE(utf8(url));
    Haldrin c(url);
    ASSERT_EQ(c.callLong(u"setDataContentByString", {text("their data")}), 0);
    struct Case {
      const char16_t* member;
      std::vector<Value> args;
      const char* text;
    } cases[] = {
        {u"sign", {text(""), text(""), text("")}, "CHaldrinCtrl::sign -> The Component can not verify the URL"},
        {u"MD5RSASignValue", {text(cert)}, "CHaldrinCtrl::MD5RSASignValue -> The Component can not verify the URL"},
        {u"setDataContentByFile",
         {text("C:\\bank\\order.txt")},
         "CHaldrinCtrl::setDataContentByFile -> The Component can not verify the URL"},
        {u"getSignedEnvelopByFile",
         {text("C:\\bank\\out.p7b")},
         "CHaldrinCtrl::getSignedEnvelopByFile -> The Component can not verify the URL"},
        {u"setLogFile",
         {text("C:\\bank"), text("log")},
         "CHaldrinCtrl::setLogFile -> The Component can not verify the URL"},
        {u"signUI",
         {text("x"), text(cert), text("SHA1"), text("RSA")},
         "CHaldrinCtrl::CallGRD -> The Component can not verify the URL"},
        {u"signIO",
         {text("x.dll"), text(cert), text("SHA1"), text("RSA")},
         "CHaldrinCtrl::CallGRD -> The Component can not verify the URL"},
        {u"CheckP11TokenInOut",
         {text("x.dll")},
         "CHaldrinCtrl::CheckP11TokenInOut -> The Component can not verify the URL"},
    };
    ScriptedUser nobody;
    nobody.install();
    for (auto& t : cases) {
      SCOPED_TRACE(t.text);
      Result r = c.call(t.member, t.args);
      EXPECT_EQ(r.hr, S_FALSE);
      EXPECT_EQ(r.asLong(), 61);
      EXPECT_EQ(c.lastCode(), 61);
      EXPECT_EQ(c.lastError(), t.text);
    }
    EXPECT_TRUE(nobody.ok()) << failuresOf(nobody);
    EXPECT_TRUE(c.call(u"getSignedEnvelopByString").isNullText());
    EXPECT_TRUE(c.get(u"result").isNullText());
  }
  EXPECT_FALSE(std::filesystem::exists(dir + "/out.p7b"));
}

TEST_F(Signing, LogLinesAfterSetLogFile) {
  std::string dir = driveFolder("c", "logs");
  Haldrin c;
  ASSERT_EQ(c.callLong(u"setLogFile", {text("C:\\logs"), text("haldrin")}), 0) << c.lastError();
  ASSERT_EQ(c.callLong(u"setDataContentByString", {text("logged data")}), 0);
  ASSERT_EQ(c.callLong(u"sign", {text(cert), text("SHA1"), text("RSA")}), 0);
  ASSERT_FALSE(c.call(u"getSignedEnvelopByString").isNullText());
  EXPECT_EQ(c.call(u"sign", {text(""), text("SHA1"), text("RSA")}).asLong(), 1);
  std::string all;
  testsupport::run("cat '" + dir + "'/*", &all);
  EXPECT_NE(all.find("setDataContentByString success! String:{{\nlogged data\n}}"), std::string::npos) << all;
  EXPECT_NE(all.find("sign success! signerCert: " + cert), std::string::npos);
  EXPECT_NE(all.find("getSignedEnvelopByString success! Envelop string: len["), std::string::npos);
  EXPECT_NE(all.find("CHaldrinCtrl::sign -> error during invalid parameter(signerCert)!"), std::string::npos);
  // An empty file name: 1, and logging goes on where it was.
  EXPECT_EQ(c.call(u"setLogFile", {text("C:\\logs"), text("")}).asLong(), 1);
  ASSERT_EQ(c.callLong(u"setDataContentByString", {text("still logged")}), 0);
  testsupport::run("cat '" + dir + "'/*", &all);
  EXPECT_NE(all.find("still logged"), std::string::npos);
}

// The settings: flags and the PIN length answer S_OK and leave LastErrorCode;
// a missing module name is refused by the client (1, S_FALSE) and the module
// stays the user's store.
TEST_F(Signing, SettingsAndModuleName) {
  Haldrin c;
  c.call(u"setDataContentByString", {text("")});  // LastErrorCode 1
  EXPECT_EQ(c.put(u"PWDCatch", i4(-1)).hr, S_OK);
  EXPECT_EQ(c.put(u"PWDCatch", i4(1)).hr, S_OK);
  EXPECT_EQ(c.put(u"EnableLoginAgency", i4(0)).hr, S_OK);
  EXPECT_EQ(c.put(u"PINLenLimit", i4(8)).hr, S_OK);
  EXPECT_EQ(c.lastCode(), 1);
  Result missing = c.put(u"PKCS11LibName", nullText());
  EXPECT_EQ(missing.hr, S_FALSE);
  EXPECT_EQ(c.lastCode(), 1);
  EXPECT_EQ(c.lastError().rfind("CHaldrinCtrl::setPKCS11LibName -> ", 0), 0u) << c.lastError();
  ScriptedUser nobody;
  nobody.install();
  ASSERT_EQ(c.callLong(u"setDataContentByString", {text("still the store")}), 0);
  EXPECT_EQ(c.callLong(u"sign", {text(cert), text("SHA1"), text("RSA")}), 0) << c.lastError();
  EXPECT_TRUE(nobody.ok()) << failuresOf(nobody);
}

// The envelope file is written whole beside its name and renamed over it: a
// process killed while writing (here by the file-size limit), or a write
// that fails, leaves the file that was there, whole, or no file at all;
// never part of an envelope under the page's name.
TEST_F(Signing, EnvelopeFileWriteCutShortLeavesTheOldFileOrNone) {
  std::string dir = driveFolder("c", "out");
  const std::string previous(3000, 'P');
  Haldrin c;
  ASSERT_EQ(c.callLong(u"setDataContentByString", {text(std::string(20000, 'd'))}), 0);
  ASSERT_EQ(c.callLong(u"sign", {text(cert), text("SHA1"), text("RSA")}), 0);
  struct Case {
    const char* name;
    bool existing;
    bool killed;  // else the write fails and the member answers
  } cases[] = {{"old.p7b", true, true}, {"new.p7b", false, true}, {"old2.p7b", true, false}};
  for (const Case& t : cases) {
    SCOPED_TRACE(t.name);
    const std::string file = dir + "/" + t.name;
    if (t.existing) testsupport::writeFile(file, previous);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      struct rlimit limit {};
      limit.rlim_cur = limit.rlim_max = 1024;
      setrlimit(RLIMIT_FSIZE, &limit);
      signal(SIGXFSZ, t.killed ? SIG_DFL : SIG_IGN);
      Result r = c.call(u"getSignedEnvelopByFile", {text(std::string("C:\\out\\") + t.name)});
      _exit(r.value.vt == VT_I4 ? static_cast<int>(r.value.lVal) : 100);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    if (t.killed) {
      EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGXFSZ) << status;
    } else {
      ASSERT_TRUE(WIFEXITED(status)) << status;
      EXPECT_EQ(WEXITSTATUS(status), 3);  // the write's failure, reported
    }
    if (t.existing)
      EXPECT_EQ(testsupport::readFile(file), previous);
    else
      EXPECT_FALSE(std::filesystem::exists(file));
  }
  // Without a limit the envelope replaces the old file whole.
  ASSERT_EQ(c.callLong(u"getSignedEnvelopByFile", {text("C:\\out\\old.p7b")}), 0) << c.lastError();
  EXPECT_EQ(verifyEnvelopeFile(dir + "/old.p7b").status, 0);
}

// A read-only envelope file is not replaced: the page gets the open failure
// and the file, and a leftover beside it, stay as they were.
TEST_F(Signing, ReadOnlyEnvelopeFileGivesTheOpenFailureAndStaysAsItWas) {
  Haldrin c;
  ASSERT_EQ(c.callLong(u"setDataContentByString", {text("pay 100")}), 0);
  ASSERT_EQ(c.callLong(u"sign", {text(cert), text("SHA1"), text("RSA")}), 0) << c.lastError();
  expectReadOnlyEnvelopeFileStays(c, "CHaldrinCtrl", S_FALSE);
}

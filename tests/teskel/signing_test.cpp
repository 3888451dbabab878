// Signing on the CryptoAPI path with a software key imported into "MY":
// data by text and by file, the envelope as text and as a file (each checked
// by openssl cms -verify), the confirmation dialog of signUI, the failures,
// and the daily log written after setLogFile, checked line by line.
#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>

#include <sstream>
#include <string>
#include <vector>

#include "CwdScope.h"
#include "Fixtures.h"
#include "LogLines.h"
#include "TeskelSupport.h"
#include "TestRoot.h"

using namespace teskeltest;
using namespace platform::user;

namespace {

class Signing : public TeskelTest {
 protected:
  void SetUp() override {
    TeskelTest::SetUp();
    clearMy();
    importFixture("user");
  }
};

// The store's certificate as the page reads it after a selection.
std::string selectUser(Control& c) {
  EXPECT_EQ(c.callLong(u"selectCertificateBySubjectCN", {text("Test User")}), 0) << c.lastError();
  return c.get(u"certificate").asText();
}

std::string driveFolder(const std::string& drive, const std::string& folder) {
  std::string dir = testsupport::platformRoot() + "/drives/" + drive + "/" + folder;
  testsupport::run("mkdir -p '" + dir + "'");
  return dir;
}

}  // namespace

TEST_F(Signing, TextSignedAndVerifiedByTheRelyingParty) {
  Control c;
  const std::string cert = selectUser(c);
  const std::string data = "轉帳 NT$1,000 至帳號 0123-456";
  ASSERT_EQ(c.callLong(u"setDataContentByString", {text(data)}), 0);
  Result s = c.call(u"sign", {text(cert), text("SHA1"), text("RSA")});
  EXPECT_EQ(s.hr, S_OK);
  ASSERT_EQ(s.asLong(), 0) << c.lastError();
  EXPECT_EQ(c.lastCode(), 0);

  Result env = c.call(u"getSignedEnvelopByString");
  ASSERT_EQ(env.hr, S_OK);
  ASSERT_FALSE(env.isNullText()) << c.lastError();
  const std::string envelope = env.asText();
  EXPECT_NE(envelope.find("\r\n"), std::string::npos);  // CR LF every 76 characters
  Verified v = verifyEnvelopeText(envelope);
  ASSERT_EQ(v.status, 0) << v.output;
  EXPECT_EQ(v.content, data);
  EXPECT_EQ(v.signerPem, pemOf("user"));
  // result gives the same text.
  EXPECT_EQ(c.get(u"result").asText(), envelope);

  // The same envelope as a DER file at a page's Windows path.
  std::string dir = driveFolder("c", "bank");
  ASSERT_EQ(c.callLong(u"getSignedEnvelopByFile", {text("C:\\bank\\envelope.p7b")}), 0) << c.lastError();
  Verified f = verifyEnvelopeFile(dir + "/envelope.p7b");
  ASSERT_EQ(f.status, 0) << f.output;
  EXPECT_EQ(f.content, data);
}

TEST_F(Signing, FileContentSigned) {
  Control c;
  const std::string cert = selectUser(c);
  std::string dir = driveFolder("d", "in");
  const std::string data = "line one\r\nline two\r\n";
  testsupport::writeFile(dir + "/order.txt", data);
  ASSERT_EQ(c.callLong(u"setDataContentByFile", {text("D:\\in\\order.txt")}), 0) << c.lastError();
  ASSERT_EQ(c.callLong(u"sign", {text(cert), text("SHA1"), text("RSA")}), 0) << c.lastError();
  Verified v = verifyEnvelopeText(c.callText(u"getSignedEnvelopByString"));
  ASSERT_EQ(v.status, 0) << v.output;
  EXPECT_EQ(v.content, data);

  EXPECT_EQ(c.callLong(u"setDataContentByFile", {text("D:\\in\\missing.txt")}), 20);
  EXPECT_EQ(c.lastCode(), 20);
  EXPECT_EQ(
      c.lastError().rfind("CTeskelCtrl::setDataContentByFile -> CPKCS7SignatureClient::setDataContentByFile -> ", 0),
      0u);
  EXPECT_EQ(c.callLong(u"setDataContentByFile", {text("")}), 1);
  EXPECT_EQ(c.lastError(), "CTeskelCtrl::setDataContentByFile -> error during invalid parameter(dataPath)!");
}

TEST_F(Signing, FailuresOfTheDataSigningAndEnvelopeMembers) {
  Control c;
  const std::string cert = selectUser(c);

  // No envelope yet: a null text and the length request's failure.
  Result env = c.call(u"getSignedEnvelopByString");
  EXPECT_EQ(env.hr, S_OK);
  EXPECT_TRUE(env.isNullText());
  EXPECT_EQ(c.lastCode(), 4);
  EXPECT_EQ(c.lastError().rfind("CTeskelCtrl::getSignedEnvelopByString -> 1.get envelop string length fail!", 0), 0u);
  EXPECT_EQ(c.callLong(u"getSignedEnvelopByFile", {text("")}), 1);
  EXPECT_EQ(c.lastError(), "CTeskelCtrl::getSignedEnvelopByFile -> error invalid parameter(envelopPath)!");

  ASSERT_EQ(c.callLong(u"setDataContentByString", {text("first")}), 0);
  // An empty text is refused and the data held before stays.
  EXPECT_EQ(c.callLong(u"setDataContentByString", {text("")}), 1);
  EXPECT_EQ(c.lastError(), "CTeskelCtrl::setDataContentByString -> error during invalid parameter(dataContent)!");

  struct Bad {
    std::vector<Value> args;
    LONG code;
    std::string text;
  } bad[] = {
      {{text(""), text("SHA1"), text("RSA")}, 1, "CTeskelCtrl::sign -> error during invalid parameter(signerCert)!"},
      {{text(cert), nullText(), text("RSA")}, 1, "CTeskelCtrl::sign -> error during invalid parameter(digestMethod)!"},
      {{text(cert), text("SHA1"), text("")},
       1,
       "CTeskelCtrl::sign -> error during invalid parameter(signatureMethod)!"},
      {{text(cert), text("sha1"), text("RSA")},
       1,
       "CTeskelCtrl::sign -> CPKCS7SignatureClient::sign -> parameter error"},
      {{text(cert), text("SHA256"), text("RSA")},
       1,
       "CTeskelCtrl::sign -> CPKCS7SignatureClient::sign -> parameter error"},
      {{text(certificateText("ku_sig")), text("SHA1"), text("RSA")},
       23,
       "CTeskelCtrl::sign -> CPKCS7SignatureClient::loginSmartCard -> "},
  };
  for (auto& b : bad) {
    SCOPED_TRACE(b.text);
    EXPECT_EQ(c.callLong(u"sign", b.args), b.code);
    EXPECT_EQ(c.lastCode(), b.code);
    EXPECT_EQ(c.lastError().substr(0, b.text.size()), b.text);
  }
  ASSERT_EQ(c.callLong(u"sign", {text(cert), text("SHA1"), text("RSA")}), 0) << c.lastError();
  Verified v = verifyEnvelopeText(c.callText(u"getSignedEnvelopByString"));
  ASSERT_EQ(v.status, 0) << v.output;
  EXPECT_EQ(v.content, "first");
  // A success does not clear the text of the last failure.
  EXPECT_EQ(c.lastCode(), 0);
  EXPECT_NE(c.lastError(), "");
}

TEST_F(Signing, SignUISignsOnlyWhatTheUserConfirms) {
  Control c;
  const std::string cert = selectUser(c);
  struct Case {
    const char* what;
    std::vector<Action> actions;
    LONG code;
  } cases[] = {
      {"signed", {click(IDOK)}, 0},
      {"cancelled", {click(IDCANCEL)}, 28},
      {"escape", {key(VK_ESCAPE)}, 28},
      {"closed", {close()}, 28},
  };
  for (auto& t : cases) {
    SCOPED_TRACE(t.what);
    const std::string data = std::string("payment order: ") + t.what;
    std::u16string shown;
    ScriptedUser u;
    std::vector<Action> actions = {inspect([&](const DialogView& v) { shown = v.control(352)->text; })};
    actions.insert(actions.end(), t.actions.begin(), t.actions.end());
    u.expect(106, actions);
    u.install();
    Result r = c.call(u"signUI", {text(data), text(cert), text("SHA1"), text("RSA")});
    EXPECT_EQ(r.hr, S_OK);
    EXPECT_EQ(r.asLong(), t.code) << c.lastError();
    EXPECT_TRUE(u.ok()) << failuresOf(u);
    u.uninstall();
    EXPECT_EQ(utf8(shown), data);
    EXPECT_EQ(c.lastCode(), 0);
    Result env = c.call(u"getSignedEnvelopByString");
    if (t.code == 0) {
      Verified v = verifyEnvelopeText(env.asText());
      ASSERT_EQ(v.status, 0) << v.output;
      EXPECT_EQ(v.content, data);
    } else {
      // Nothing was signed, but the data is the page's.
      EXPECT_TRUE(env.isNullText());
      EXPECT_EQ(c.lastCode(), 4);
      ASSERT_EQ(c.callLong(u"sign", {text(cert), text("SHA1"), text("RSA")}), 0);
      Verified v = verifyEnvelopeText(c.callText(u"getSignedEnvelopByString"));
      EXPECT_EQ(v.content, data);
    }
  }
  // Empty data: no dialog at all.
  ScriptedUser nobody;
  nobody.install();
  EXPECT_EQ(c.callLong(u"signUI", {text(""), text(cert), text("SHA1"), text("RSA")}), 1);
  EXPECT_TRUE(nobody.ok()) << failuresOf(nobody);
  EXPECT_EQ(c.lastCode(), 0);
}

// A confirmation window that cannot run to the user's answer (here taken
// down from outside before anyone clicks) is no cancel and no consent: 99
// with its text, and nothing is signed.
TEST_F(Signing, SignUIWhoseWindowCannotRunIs99AndSignsNothing) {
  Control c;
  const std::string cert = selectUser(c);
  ScriptedUser u;
  bool taken = false;
  u.expect(106, {inspect([&](const DialogView& v) { taken = DestroyWindow(v.hwnd) != FALSE; })});
  u.install();
  Result r = c.call(u"signUI", {text("payment order"), text(cert), text("SHA1"), text("RSA")});
  u.uninstall();
  ASSERT_TRUE(taken);
  EXPECT_EQ(r.hr, S_OK);
  EXPECT_EQ(r.asLong(), 99);
  EXPECT_EQ(c.lastCode(), 0);  // the member keeps only the host check's result there
  EXPECT_NE(c.lastError().find("signUI -> error during CSignUIDlg()!"), std::string::npos) << c.lastError();
  EXPECT_TRUE(c.call(u"getSignedEnvelopByString").isNullText());
}

TEST_F(Signing, TheConfirmationComesInThePagesLanguage) {
  Control c;
  const std::string cert = selectUser(c);
  struct Case {
    const char* code;
    std::u16string caption;
  } cases[] = {{"ENU", u"Signature Verify"}, {"CHT", u"簽章確認"}, {"CHS", u"签章确认"}, {"XYZ", u"簽章確認"}};
  for (auto& t : cases) {
    SCOPED_TRACE(t.code);
    ASSERT_EQ(c.callLong(u"setLanguage", {text(t.code)}), 0);
    ScriptedUser u;
    u.expect(106, {click(IDCANCEL)});
    u.install();
    EXPECT_EQ(c.callLong(u"signUI", {text("data"), text(cert), text("SHA1"), text("RSA")}), 28);
    ASSERT_EQ(u.seen().size(), 1u);
    EXPECT_EQ(u.seen()[0].caption, t.caption);
  }
}

// The login settings on a software key: a provider of the system's own is
// never asked for a PIN, whatever the page says.
TEST_F(Signing, LoginSettingsLeaveSoftwareKeysAlone) {
  Control c;
  const std::string cert = selectUser(c);
  EXPECT_EQ(c.put(u"EnableLoginAgency", boolean(true)).hr, S_OK);
  EXPECT_EQ(c.put(u"PWDCatch", boolean(true)).hr, S_OK);
  EXPECT_EQ(c.put(u"PINLenLimit", i4(8)).hr, S_OK);
  EXPECT_EQ(c.put(u"PWDCatch", boolean(false)).hr, S_OK);
  EXPECT_EQ(c.put(u"PWDCatch", boolean(false)).hr, S_OK);
  ScriptedUser nobody;
  nobody.install();
  ASSERT_EQ(c.callLong(u"setDataContentByString", {text("data")}), 0);
  EXPECT_EQ(c.callLong(u"sign", {text(cert), text("SHA1"), text("RSA")}), 0) << c.lastError();
  EXPECT_TRUE(nobody.ok()) << failuresOf(nobody);
}

namespace {

std::vector<std::string> logFiles(const std::string& dir) {
  std::vector<std::string> out;
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return out;
  while (dirent* e = readdir(d)) {
    std::string n = e->d_name;
    if (n.size() > 4 && n.substr(n.size() - 4) == ".log") out.push_back(n);
  }
  closedir(d);
  return out;
}

std::vector<std::string> splitLines(const std::string& s) {
  std::vector<std::string> out;
  std::istringstream in(s);
  std::string line;
  while (std::getline(in, line)) out.push_back(line);
  return out;
}

}  // namespace

TEST_F(Signing, TheLogFileLineByLine) {
  Control c;
  std::string dir = testsupport::freshDir("logs");
  // Before the log is switched on nothing is written anywhere.
  EXPECT_EQ(c.callLong(u"selectCertificateBySubjectCN", {text("Nobody")}), 4);
  EXPECT_EQ(c.callLong(u"setLogFile", {text(dir), text("")}), 1);
  EXPECT_EQ(c.lastError(), "CTeskelCtrl::setLogFile -> error during invalid parameter(logFileName)!");
  EXPECT_EQ(c.callLong(u"setLogFile", {text(""), text("teskel")}), 1);
  EXPECT_EQ(c.lastError(), "CTeskelCtrl::setLogFile -> error during invalid parameter(logPath)!");
  ASSERT_EQ(c.callLong(u"setLogFile", {text(dir), text("teskel")}), 0);
  EXPECT_EQ(c.lastCode(), 0);

  const std::string cert = selectUser(c);
  ASSERT_EQ(c.callLong(u"setDataContentByString", {text("pay 100")}), 0);
  ASSERT_EQ(c.callLong(u"sign", {text(cert), text("SHA1"), text("RSA")}), 0);
  const std::string envelope = c.callText(u"getSignedEnvelopByString");
  const std::string result = c.get(u"result").asText();
  EXPECT_EQ(c.callLong(u"selectCertificateBySubjectCN", {text("Nobody")}), 4);
  const std::string selectFailure = c.lastError();
  EXPECT_EQ(c.callLong(u"sign", {text(cert), text("MD5"), text("RSA")}), 1);
  // A setLogFile refused for an empty name keeps the file in use; the
  // setting members and property setters write nothing.
  EXPECT_EQ(c.callLong(u"setLogFile", {text(dir), nullText()}), 1);
  EXPECT_EQ(c.put(u"PINLenLimit", i4(6)).hr, S_OK);
  EXPECT_EQ(c.put(u"PWDCatch", boolean(false)).hr, S_OK);
  EXPECT_EQ(c.callLong(u"getSignedEnvelopByFile", {text("Q:\\no\\such\\folder\\e.p7b")}), 20);
  const std::string fileFailure = c.lastError();

  std::vector<std::string> files = logFiles(dir);
  ASSERT_EQ(files.size(), 1u);
  EXPECT_TRUE(testsupport::matchesShape(files[0], "########-teskel.log")) << files[0];
  std::string content = testsupport::readFile(dir + "/" + files[0]);
  std::string normalised = testsupport::maskLogStamps(content);

  std::string expected;
  auto entry = [&](const char* tag, const std::string& message, int code) {
    expected += std::string(tag) + "    TIME >> " + message + " >> rtn = " + std::to_string(code) + "\n";
  };
  entry("[Info  ]", "selectCertificateBySubjectCN[Test User] success! [" + cert + "]", 0);
  entry("[Info  ]", "setDataContentByString success! String:{{\npay 100\n}}", 0);
  entry("[Info  ]", "sign success! signerCert: " + cert, 0);
  entry("[Info  ]", "getSignedEnvelopByString success! String:{{\n" + envelope + "\n}}", 0);
  entry("[Info  ]", "getSignedEnvelopByString success! Envelop string: len[" + std::to_string(envelope.size()) + "]",
        0);
  entry("[Info  ]", "get_result success! Envelop/MD5RSASigned string len:[" + std::to_string(result.size()), 0);
  entry("[Error ]", selectFailure, 4);
  entry("[Error ]", "CTeskelCtrl::sign -> CPKCS7SignatureClient::sign -> parameter error", 1);
  entry("[Error ]", fileFailure, 20);

  std::vector<std::string> got = splitLines(normalised), want = splitLines(expected);
  for (size_t i = 0; i < std::max(got.size(), want.size()); ++i)
    EXPECT_EQ(i < got.size() ? got[i] : "<none>", i < want.size() ? want[i] : "<none>") << "line " << i + 1;
  // The first line, as written, has the daily log's form.
  std::string tag, message;
  EXPECT_TRUE(testsupport::splitLogLine(splitLines(content)[0], &tag, &message)) << splitLines(content)[0];
  EXPECT_TRUE(tag == "[Info  ]" || tag == "[Error ]") << tag;

  // A folder that does not exist: -1, and the log falls back to the current
  // folder, where the next lines go (a fresh one here, not the build folder
  // ctest runs the test in).
  std::string cwd = testsupport::freshDir("logs-cwd");
  testsupport::CwdScope inFresh(cwd);
  EXPECT_EQ(c.callLong(u"setLogFile", {text(dir + "/missing"), text("teskel")}), -1);
  EXPECT_EQ(c.lastCode(), -1);
  EXPECT_EQ(c.lastError(), "CTeskelCtrl::setLogFile -> setting log file full path error!");
  EXPECT_EQ(c.callLong(u"selectCertificateBySubjectCN", {text("Nobody")}), 4);
  ASSERT_EQ(logFiles(cwd), files);
  EXPECT_NE(testsupport::readFile(cwd + "/" + files[0]).find(selectFailure + " >> rtn = 4"), std::string::npos);
  EXPECT_EQ(testsupport::readFile(dir + "/" + files[0]), content);
}

// Result strings that cannot be allocated: the text getters give
// E_OUTOFMEMORY and a null text; the envelope getter counts it as an
// unexpected failure (99, S_FALSE). Called on the interface itself, so that
// only the control's own allocations fail.
TEST_F(Signing, ResultStringsThatCannotBeAllocated) {
  Control c;
  const std::string cert = selectUser(c);
  ASSERT_EQ(c.callLong(u"setDataContentByString", {text("data")}), 0);
  ASSERT_EQ(c.callLong(u"sign", {text(cert), text("SHA1"), text("RSA")}), 0);
  ITeskelCtrl* ctrl = nullptr;
  ASSERT_EQ(c.dispatch()->QueryInterface(IID_ITeskelCtrl, reinterpret_cast<void**>(&ctrl)), S_OK);

  BSTR out = reinterpret_cast<BSTR>(1);
  PlatformSysAllocFailAfter(0);
  EXPECT_EQ(ctrl->get_Issuer(&out), E_OUTOFMEMORY);
  PlatformSysAllocFailAfter(-1);
  EXPECT_EQ(out, nullptr);

  out = reinterpret_cast<BSTR>(1);
  PlatformSysAllocFailAfter(0);
  EXPECT_EQ(ctrl->getSignedEnvelopByString(&out), S_FALSE);
  PlatformSysAllocFailAfter(-1);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(c.lastCode(), 99);
  EXPECT_EQ(c.lastError(), "CTeskelCtrl::getSignedEnvelopByString ->Unknown error");

  // Null out pointers are refused outright.
  EXPECT_EQ(ctrl->get_Issuer(nullptr), E_POINTER);
  EXPECT_EQ(ctrl->selectCertificate(nullptr), E_POINTER);
  ctrl->Release();

  // Allocation works again: the envelope is there.
  EXPECT_EQ(verifyEnvelopeText(c.callText(u"getSignedEnvelopByString")).status, 0);
}

// A read-only envelope file is not replaced: the page gets the open failure
// and the file, and a leftover beside it, stay as they were.
TEST_F(Signing, ReadOnlyEnvelopeFileGivesTheOpenFailureAndStaysAsItWas) {
  Control c;
  const std::string cert = selectUser(c);
  ASSERT_EQ(c.callLong(u"setDataContentByString", {text("pay 100")}), 0);
  ASSERT_EQ(c.callLong(u"sign", {text(cert), text("SHA1"), text("RSA")}), 0) << c.lastError();
  expectReadOnlyEnvelopeFileStays(c, "CTeskelCtrl", S_OK);
}

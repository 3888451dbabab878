// Selection and field members against a fixture "MY" store: each criterion,
// the key-usage argument, the chooser when several qualify, the latest rule,
// the field members and the certificate test members. Names are checked
// against what OpenSSL prints for the fixtures.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "Fixtures.h"
#include "StoreSupport.h"
#include "TeskelSupport.h"
#include "TestRoot.h"

using namespace teskeltest;
using namespace platform::user;

namespace {

// MyNameType of a fixture's subject or issuer, from OpenSSL's view of it.
std::string nameOf(const std::string& fixture, const std::string& which) {
  return storetest::nameFromOpenSsl(fixtures::get(fixture).certPem, which, ",");
}

std::string oneLine(std::string s) {
  std::string out;
  for (char c : s)
    if (c != '\r' && c != '\n') out.push_back(c);
  return out;
}

class Selection : public TeskelTest {
 protected:
  void SetUp() override {
    TeskelTest::SetUp();
    setenv("TZ", "UTC", 1);
    clearMy();
    for (const char* f : {"user", "ku_enc", "rsa3072"}) importFixture(f);
    // A certificate of another issuer, without a key, valid longest of all.
    storetest::CertSpec other;
    other.subject = {{"C", "US"}, {"O", "Other Org"}, {"CN", "Other User"}};
    other.serial = {0x20, 0x01};
    other.notAfter = "20551231000000Z";
    other.keyUsage = "digitalSignature";
    other.issuer = "ca2";
    otherDer = storetest::makeCertificate(other);
    storetest::addToMy(otherDer);
    otherSubject = storetest::nameFromOpenSsl(storetest::writePem(otherDer, "other"), "subject", ",");
  }
  void TearDown() override {
    unsetenv("TZ");
    TeskelTest::TearDown();
  }
  std::vector<unsigned char> otherDer;
  std::string otherSubject;
};

}  // namespace

TEST_F(Selection, EachCriterionSelectsItsCertificate) {
  const std::string ca = nameOf("ca", "subject");
  const std::string ca2 = nameOf("ca2", "subject");
  ASSERT_EQ(ca, "C=TW,O=Test Bank,CN=Test Root CA");
  struct Case {
    const char* what;
    const char16_t* member;
    std::vector<Value> args;
    LONG code;
    std::string subject;  // of the selection, when code is 0
  } cases[] = {
      {"common name", u"selectCertificateBySubjectCN", {text("Test User")}, 0, nameOf("user", "subject")},
      {"common name in another case", u"selectCertificateBySubjectCN", {text("test user")}, 4, ""},
      {"common name, encryption key",
       u"selectCertificateBySubjectCN_Ex",
       {text("KU Enc"), i4(2)},
       0,
       nameOf("ku_enc", "subject")},
      {"common name, wrong key usage", u"selectCertificateBySubjectCN_Ex", {text("KU Enc"), i4(1)}, 4, ""},
      {"key usage alone", u"selectCertificate_Ex", {i4(2)}, 0, nameOf("ku_enc", "subject")},
      {"subject part", u"selectCertificateBySubject", {text("CN=RSA 3072")}, 0, nameOf("rsa3072", "subject")},
      {"subject part, signature key", u"selectCertificateBySubject_Ex", {text("O=Other Org"), i4(1)}, 0, ""},
      {"subject part, no such key", u"selectCertificateBySubject_Ex", {text("CN=Test User"), i4(2)}, 4, ""},
      {"serial number", u"selectCertificateBySerialNum", {text("1013")}, 0, nameOf("rsa3072", "subject")},
      {"serial number, zeros and case",
       u"selectCertificateBySerialNum",
       {text("0000001004")},
       0,
       nameOf("ku_enc", "subject")},
      {"serial number of nothing", u"selectCertificateBySerialNum", {text("7777")}, 4, ""},
      {"issuer and serial", u"getCertificate", {text(ca2), text("2001")}, 0, ""},
      {"issuer and serial of another issuer", u"getCertificate", {text(ca), text("2001")}, 4, ""},
      {"one issuer", u"selectCertificateByMultipleIssuer", {text("{" + ca2 + "}")}, 0, ""},
      {"a bare issuer", u"selectCertificateByMultipleIssuer", {text(ca2)}, 0, ""},
      {"issuer list, encryption key",
       u"selectCertificateByMultipleIssuer_Ex",
       {text("{" + ca2 + "}{" + ca + "}"), i4(2)},
       0,
       nameOf("ku_enc", "subject")},
      {"issuer list of the wrong form", u"selectCertificateByMultipleIssuer", {text("{" + ca2 + "}{}")}, 1, ""},
      {"display name and subject part",
       u"selectCertificateBySubject_Text",
       {text("Test User,OU=Retail"), i4(0)},
       0,
       nameOf("user", "subject")},
      {"display name alone", u"selectCertificateBySubject_Text", {text("Test User"), i4(0)}, 4, ""},
      {"subject part alone, key usage as given",
       u"selectCertificateBySubject_Text",
       {text(",CN=KU Enc"), i4(7)},
       0,
       nameOf("ku_enc", "subject")},
  };
  for (auto& t : cases) {
    SCOPED_TRACE(t.what);
    Control c;
    ScriptedUser nobody;  // any dialog would be a failure
    nobody.install();
    Result r = c.call(t.member, t.args);
    EXPECT_EQ(r.hr, S_OK);
    EXPECT_EQ(r.asLong(), t.code) << c.lastError();
    EXPECT_TRUE(nobody.ok()) << failuresOf(nobody);
    EXPECT_EQ(c.lastCode(), 0);  // selections never write it
    if (t.code == 0) {
      std::string subject = t.subject.empty() ? otherSubject : t.subject;
      EXPECT_EQ(c.get(u"subjectName").asText(), subject);
      EXPECT_EQ(c.callText(u"get_Subject"), subject);
    } else {
      EXPECT_TRUE(c.get(u"subjectName").isNullText());
    }
  }
}

TEST_F(Selection, ArgumentsAreCheckedBeforeTheStore) {
  struct Case {
    const char16_t* member;
    std::vector<Value> args;
    const char* text;
  } cases[] = {
      {u"checkCertificateExpired",
       {text("")},
       "CTeskelCtrl::checkCertificateExpired -> error invalid parameter(certificate)!"},
      {u"selectCertificateBySubject",
       {nullText()},
       "CTeskelCtrl::selectCertificateBySubject -> error during invalid parameter(subjectName)!"},
      {u"selectCertificateBySubjectCN",
       {text("")},
       "CTeskelCtrl::selectCertificateBySubjectCN -> error during invalid parameter(subjectCN)!"},
      {u"getCertificate",
       {text(""), text("")},
       "CTeskelCtrl::getCertificate -> error during invalid parameter(issuerName)!"},
      {u"getCertificate",
       {text("C=TW"), text("")},
       "CTeskelCtrl::getCertificate -> error during invalid parameter(serialNumber)!"},
      {u"getCertificateInfo",
       {text("")},
       "CTeskelCtrl::getCertificateInfo -> error during invalid parameter(certificate)!"},
      {u"selectCertificate_Ex", {i4(3)}, "CTeskelCtrl::selectCertificate_Ex -> error invalid parameter(KeyUsage)!"},
      {u"selectCertificate_Ex", {i4(-1)}, "CTeskelCtrl::selectCertificate_Ex -> error invalid parameter(KeyUsage)!"},
      {u"selectCertificateBySubjectCN_Ex",
       {text(""), i4(9)},
       "CTeskelCtrl::selectCertificateBySubjectCN_Ex -> error during invalid parameter(subjectCN)!"},
      {u"selectCertificateBySubjectCN_Ex",
       {text("Test User"), i4(9)},
       "CTeskelCtrl::selectCertificateBySubjectCN_Ex -> error invalid parameter(KeyUsage)!"},
      {u"selectCertificateBySubject_Ex",
       {text("CN=Test User"), i4(3)},
       "CTeskelCtrl::selectCertificateBySubject_Ex -> error invalid parameter(KeyUsage)!"},
      {u"selectCertificateBySerialNum",
       {text("")},
       "CTeskelCtrl::selectCertificateBySerialNum -> error during invalid parameter(serialNum)!"},
      {u"selectCertificateByMultipleIssuer",
       {text("")},
       "CTeskelCtrl::selectCertificateByMultipleIssuer -> error during invalid parameter(multimpleIssuer)!"},
      {u"selectCertificateByMultipleIssuer_Ex",
       {text("{C=TW}"), i4(5)},
       "CTeskelCtrl::selectCertificateByMultipleIssuer_Ex -> error invalid parameter(KeyUsage)!"},
      {u"selectCertificateBySubject_Text",
       {text(""), i4(0)},
       "CTeskelCtrl::selectCertificateBySubject_Text -> error during invalid parameter(subject text)!"},
  };
  Control c;
  ASSERT_EQ(c.callLong(u"selectCertificateBySubjectCN", {text("Test User")}), 0);
  for (auto& t : cases) {
    SCOPED_TRACE(t.text);
    EXPECT_EQ(c.callLong(t.member, t.args), 1);
    EXPECT_EQ(c.lastError(), t.text);
    // Nothing was selected anew.
    EXPECT_EQ(c.get(u"subjectName").asText(), nameOf("user", "subject"));
  }
}

TEST_F(Selection, FieldMembersDescribeTheSelection) {
  Control c;
  ASSERT_EQ(c.callLong(u"selectCertificateBySubjectCN", {text("Test User")}), 0);
  const std::string issuer = nameOf("user", "issuer");
  const std::string subject = nameOf("user", "subject");
  struct Field {
    const char16_t* method;
    const char16_t* property;
    std::string value;
  } fields[] = {
      {u"get_Issuer", u"issuerName", issuer},
      {u"get_Subject", u"subjectName", subject},
      {u"get_SerialNumber", u"serialNumber", "1001"},
      {u"get_KeyUsage", u"KeyUsage", "Sign"},
      {u"get_StartDate", u"startDate", "20240101000000"},
      {u"get_EndDate", u"endDate", "20491231235959"},
  };
  for (const auto& f : fields) {
    EXPECT_EQ(c.callText(f.method), f.value) << utf8(f.method);
    EXPECT_EQ(c.get(f.property).asText(), f.value) << utf8(f.property);
  }
  EXPECT_EQ(oneLine(c.get(u"certificate").asText()), certificateText("user"));
  EXPECT_EQ(c.get(u"selectedCertLength").asLong(), 2048);

  ASSERT_EQ(c.callLong(u"selectCertificateBySubjectCN_Ex", {text("KU Enc"), i4(2)}), 0);
  EXPECT_EQ(c.callText(u"get_KeyUsage"), "Encrypt");
  ASSERT_EQ(c.callLong(u"selectCertificateBySerialNum", {text("1013")}), 0);
  EXPECT_EQ(c.get(u"selectedCertLength").asLong(), 3072);

  // A failed selection keeps the earlier one.
  EXPECT_EQ(c.callLong(u"selectCertificateBySubjectCN", {text("Nobody")}), 4);
  EXPECT_EQ(c.callText(u"get_SerialNumber"), "1013");
}

TEST_F(Selection, SeveralCandidatesAskTheUserUnlessTheLatestIsWanted) {
  Control c;
  c.callLong(u"setLanguage", {text("ENU")});
  // The user picks the row of RSA 3072.
  std::vector<std::vector<std::u16string>> rows;
  int pick = -1;
  ScriptedUser u;
  u.expect(104, {inspect([&](const DialogView& v) {
             rows = v.control(211)->rows;
             for (size_t i = 0; i < rows.size(); ++i)
               if (!rows[i].empty() && rows[i][0] == u"RSA 3072") pick = static_cast<int>(i);
           })});
  u.install();
  // The first run only looks; the dialog is then cancelled.
  EXPECT_EQ(c.callLong(u"selectCertificate"), 28);
  u.uninstall();
  ASSERT_EQ(rows.size(), 4u);
  ASSERT_GE(pick, 0);

  ScriptedUser chooser;
  chooser.expect(104, {select(211, {pick}), click(IDOK)});
  chooser.install();
  EXPECT_EQ(c.callLong(u"selectCertificate"), 0) << c.lastError();
  EXPECT_TRUE(chooser.ok()) << failuresOf(chooser);
  chooser.uninstall();
  EXPECT_EQ(c.get(u"subjectName").asText(), nameOf("rsa3072", "subject"));

  // The latest-ending one, without asking.
  ScriptedUser nobody;
  nobody.install();
  ASSERT_EQ(c.put(u"SelectLatestCert", boolean(true)).hr, S_OK);
  EXPECT_EQ(c.callLong(u"selectCertificate_Ex", {i4(1)}), 0);
  EXPECT_TRUE(nobody.ok()) << failuresOf(nobody);
  EXPECT_EQ(c.get(u"subjectName").asText(), otherSubject);
}

TEST_F(Selection, CertificateTestsTakeThePagesCertificate) {
  importFixture("expired");
  Control c;
  EXPECT_EQ(c.callLong(u"checkCertificateExpired", {text(certificateText("user"))}), 0);
  EXPECT_EQ(c.callLong(u"checkCertificateExpired", {text(certificateText("expired"))}), 8);
  EXPECT_EQ(c.lastError().rfind("CTeskelCtrl::checkCertificateExpired -> ", 0), 0u);
  // Not in the user's store: the store lookup fails.
  LONG notHeld = c.callLong(u"checkCertificateExpired", {text(certificateText("ku_sig"))});
  EXPECT_NE(notHeld, 0);
  EXPECT_NE(notHeld, 8);
  EXPECT_NE(c.callLong(u"checkCertificateExpired", {text("not a certificate")}), 0);

  // getCertificateInfo makes an expired certificate the selected one.
  EXPECT_EQ(c.callLong(u"getCertificateInfo", {text(certificateText("expired"))}), 0);
  EXPECT_EQ(c.get(u"subjectName").asText(), nameOf("expired", "subject"));
  EXPECT_EQ(c.callText(u"get_SerialNumber"), "100A");
  EXPECT_EQ(c.lastCode(), 0);
}

TEST_F(Selection, ASelectionFailureLeavesTheRecordedCode) {
  Control c;
  ASSERT_EQ(c.callLong(u"setDataContentByString", {text("data")}), 0);
  EXPECT_EQ(c.callLong(u"selectCertificateBySubjectCN", {text("Nobody")}), 4);
  EXPECT_EQ(c.lastCode(), 0);
  ASSERT_EQ(c.callLong(u"setDataContentByString", {text("")}), 1);
  EXPECT_EQ(c.callLong(u"selectCertificate_Ex", {i4(3)}), 1);
  EXPECT_EQ(c.lastCode(), 1);
  EXPECT_EQ(c.lastError(), "CTeskelCtrl::selectCertificate_Ex -> error invalid parameter(KeyUsage)!");
}

// A text with a NUL inside would reach the library cut there: "\0" would pass
// as empty and select any certificate, "Test User\0anything" would select
// "Test User". Such texts are refused with 1, like empty ones, whatever the
// member.
TEST_F(TeskelTest, TextsWithANulAreRefused) {
  clearMy();
  importFixture("user");
  Control c;
  const std::u16string nul(1, u'\0');
  const std::u16string cut = u"Test User" + nul + u"anything";
  struct Case {
    const char16_t* member;
    std::vector<Value> args;
  } cases[] = {
      {u"selectCertificateBySubject", {text(nul)}},
      {u"selectCertificateBySubjectCN", {text(cut)}},
      {u"selectCertificateBySubjectCN_Ex", {text(cut), i4(0)}},
      {u"selectCertificateBySubject_Ex", {text(u"CN=Test User" + nul + u"x"), i4(0)}},
      {u"selectCertificateByMultipleIssuer", {text(u"{C=TW,O=Test Bank,CN=Test Root CA}" + nul)}},
      {u"setDataContentByString", {text(u"pay 100" + nul + u" more")}},
      {u"SetPKCS11LibNames", {text(u"{a.dll}" + nul + u"{b.dll}")}},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(utf8(k.member));
    EXPECT_EQ(c.callLong(k.member, k.args), 1);
    EXPECT_NE(c.lastError().find("invalid parameter"), std::string::npos) << c.lastError();
  }
  EXPECT_TRUE(c.get(u"certificate").isNullText());
  EXPECT_EQ(c.put(u"PKCS11LibName", text(u"softtoken.dll" + nul + u"evil.dll")).hr, S_OK);
  EXPECT_EQ(c.lastCode(), 1);
  // The same texts without the NUL are accepted.
  EXPECT_EQ(c.callLong(u"selectCertificateBySubjectCN", {text("Test User")}), 0) << c.lastError();
}

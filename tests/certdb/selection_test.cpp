// Selections over the user's "MY" store: filters, criteria, the choice, the
// selected fields, and the two operations on a certificate the page holds.
#include <cstdlib>
#include <ctime>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include "Fixtures.h"
#include "StoreSupport.h"
#include "TzScope.h"
#include "platform/crypt.h"
#include "platform/kernel.h"
#include "signlib/CertificateDBClient.h"

using storetest::RecordingClient;
using storetest::str;
using Der = std::vector<unsigned char>;
using Labels = std::set<std::string>;

namespace {

const char* const kCaIssuer = "C=TW,O=Test Bank,CN=Test Root CA";
const char* const kCa2Issuer = "C=US,O=Other Org,CN=Other Root CA";

using testsupport::TzScope;

Der fromBase64(const char* text) {
  std::string compact;
  for (const char* p = text; p != nullptr && *p != '\0'; ++p)
    if (*p != '\r' && *p != '\n') compact.push_back(*p);
  Der out(compact.size() / 4 * 3 + 3);
  int n = EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char*>(compact.data()),
                          static_cast<int>(compact.size()));
  if (n < 0) return {};
  std::size_t pad = 0;
  if (!compact.empty() && compact.back() == '=') ++pad;
  if (compact.size() >= 2 && compact[compact.size() - 2] == '=') ++pad;
  out.resize(static_cast<std::size_t>(n) - pad);
  return out;
}

// No context taken from "MY" is still held by anyone.
::testing::AssertionResult noContextsHeld() {
  HCERTSTORE my = CertOpenSystemStoreA(0, "MY");
  if (CertCloseStore(my, CERT_CLOSE_STORE_CHECK_FLAG)) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "contexts of MY are still held (0x" << std::hex << GetLastError() << ")";
}

class Selection : public ::testing::Test {
 protected:
  void SetUp() override { storetest::clearMy(); }
  void TearDown() override { EXPECT_TRUE(noContextsHeld()); }

  void add(const std::string& label, const Der& der) {
    storetest::addToMy(der);
    labels_[der] = label;
    ders_[label] = der;
  }
  void addFixture(const std::string& name) { add(name, fixtures::get(name).der()); }
  Der made(const std::string& label, const storetest::CertSpec& spec) {
    Der der = storetest::makeCertificate(spec);
    add(label, der);
    return der;
  }
  std::string label(const Der& der) const {
    auto it = labels_.find(der);
    return it == labels_.end() ? "?" : it->second;
  }
  std::string selectedLabel(const CCertificateDBClient& client) const {
    return client.getCertificateText() == nullptr ? "(none)" : label(fromBase64(client.getCertificateText()));
  }

  // The certificates an operation qualifies: what its choice hook is shown
  // when several do, the one it selects when one does, none when it gives 4.
  // Expired certificates are not blocked here, so a sole one is selected.
  Labels qualified(const std::function<int(RecordingClient&)>& operation, int* codeOut = nullptr,
                   const std::function<void(RecordingClient&)>& setup = nullptr) {
    RecordingClient client;
    client.BlockExpiredCert = 0;
    if (setup) setup(client);
    int code = operation(client);
    if (codeOut != nullptr) *codeOut = code;
    Labels out;
    if (client.hookCalls > 0) {
      EXPECT_EQ(code, 28) << client.getErrorMessage();
      for (const Der& d : client.shown) out.insert(label(d));
    } else if (code == 0) {
      out.insert(selectedLabel(client));
    } else {
      EXPECT_EQ(code, 4) << client.getErrorMessage();
    }
    return out;
  }

  std::map<Der, std::string> labels_;
  std::map<std::string, Der> ders_;
};

TEST_F(Selection, EmptyStoreFindsNothingAndKeepsTheText) {
  RecordingClient client;
  const std::vector<std::function<int()>> operations = {
      [&] { return client.selectCertificate(0); },
      [&] { return client.selectCertificateBySubject("CN=Test User", 0); },
      [&] { return client.selectCertificateBySubject(MultipleCriteria{kCaIssuer}, 0); },
      [&] { return client.selectCertificateBySubjectCN("Test User", 0); },
      [&] { return client.selectCertificateBySubject_Text(",OU=Retail", 0); },
      [&] { return client.selectCertificateBySerialNum("1001"); },
      [&] { return client.selectCertificateBySerialNum(kCaIssuer, "1001"); },
  };
  // A failure before leaves its text; finding nothing does not write one.
  ASSERT_EQ(client.parsingMultipleCriteria("{}", nullptr, nullptr), 1);
  const std::string before = client.getErrorMessage();
  for (std::size_t i = 0; i < operations.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(operations[i](), 4);
    EXPECT_EQ(client.getErrorMessage(), before);
  }
  EXPECT_EQ(client.hookCalls, 0);
  EXPECT_EQ(client.getCertificateText(), nullptr);
  EXPECT_EQ(client.getSerialNumber(), nullptr);

  // A store whose certificates all fail the filters is as empty.
  addFixture("expired");
  addFixture("ku_enc");
  client.ShowExpiredCert = 0;
  EXPECT_EQ(client.selectCertificate(1), 4);
  EXPECT_EQ(client.getCertificateText(), nullptr);
}

// The validity filter drops what openssl verify reports as expired (10) or not
// yet valid (9), and only when the page hides such certificates.
TEST_F(Selection, ValidityFilterAgreesWithOpenSslVerify) {
  Labels valid, all;
  for (const char* name : {"user", "expired", "notyet", "utc_1600"}) {
    addFixture(name);
    all.insert(name);
    int error = storetest::verifyErrorFromOpenSsl(fixtures::get(name).certPem);
    ASSERT_TRUE(error == 0 || error == 9 || error == 10) << name << " " << error;
    if (error == 0) valid.insert(name);
  }
  ASSERT_EQ(valid, (Labels{"user", "utc_1600"}));
  auto all0 = [](RecordingClient& c) { return c.selectCertificate(0); };
  EXPECT_EQ(qualified(all0), all);
  EXPECT_EQ(qualified(all0, nullptr, [](RecordingClient& c) { c.ShowExpiredCert = 0; }), valid);
}

TEST_F(Selection, SoleCandidateOutsideItsValidity) {
  struct Case {
    const char* fixture;
    BYTE block, show;
    int code;
    const char* text;
  } cases[] = {
      {"expired", 1, 1, 8, "Certificate is Expired!"}, {"expired", 0, 1, 0, ""}, {"expired", 1, 0, 4, ""},
      {"notyet", 1, 1, 8, "Certificate is Expired!"},  {"notyet", 0, 1, 0, ""},  {"notyet", 0, 0, 4, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.fixture) + " block " + std::to_string(c.block) + " show " + std::to_string(c.show));
    storetest::clearMy();
    addFixture(c.fixture);
    const char* serial = std::string(c.fixture) == "expired" ? "100A" : "100b";
    const std::vector<std::function<int(CCertificateDBClient&)>> operations = {
        [](CCertificateDBClient& x) { return x.selectCertificate(0); },
        [](CCertificateDBClient& x) { return x.selectCertificateBySubject("OU=Retail", 0); },
        [&](CCertificateDBClient& x) { return x.selectCertificateBySerialNum(serial); },
        [&](CCertificateDBClient& x) { return x.selectCertificateBySerialNum(kCaIssuer, serial); },
    };
    for (std::size_t i = 0; i < operations.size(); ++i) {
      SCOPED_TRACE(i);
      CCertificateDBClient client("MY");
      client.BlockExpiredCert = c.block;
      client.ShowExpiredCert = c.show;
      int code = operations[i](client);
      EXPECT_EQ(code, c.code) << client.getErrorMessage();
      EXPECT_STREQ(client.getErrorMessage(), c.text);
      EXPECT_EQ(client.getCertificateText() != nullptr, c.code == 0);
    }
  }
}

// Key usage as openssl reads the extension: 1 keeps signature keys, 2
// encryption keys, every other request keeps all.
TEST_F(Selection, KeyUsageFilterAgreesWithOpenSsl) {
  const char* names[] = {"user",        "ku_none",         "ku_sig",           "ku_enc",   "ku_sig_enc",
                         "ku_enc_data", "ku_sig_enc_data", "ku_sig_enc_agree", "ku_nonrep"};
  Labels sign, encrypt, all;
  std::map<std::string, std::string> text;
  for (const char* name : names) {
    addFixture(name);
    all.insert(name);
    std::vector<std::string> bits = storetest::keyUsageFromOpenSsl(fixtures::get(name).certPem);
    auto has = [&](const char* bit) {
      for (const std::string& b : bits)
        if (b == bit) return true;
      return false;
    };
    bool ds = has("Digital Signature"), ke = has("Key Encipherment"), de = has("Data Encipherment"),
         ka = has("Key Agreement");
    int value = !ke ? (ds ? 1 : 0) : ((!ds || de || ka) ? 2 : 1);
    if (value == 1) sign.insert(name);
    if (value == 2) encrypt.insert(name);
    text[name] = value == 1 ? "Sign" : value == 2 ? "Encrypt" : "UnDefined";
  }
  ASSERT_EQ(sign, (Labels{"user", "ku_sig", "ku_sig_enc"}));
  ASSERT_EQ(encrypt, (Labels{"ku_enc", "ku_enc_data", "ku_sig_enc_data", "ku_sig_enc_agree"}));
  struct Case {
    int keyUsage;
    Labels expected;
  } cases[] = {{1, sign}, {2, encrypt}, {0, all}, {3, all}, {-1, all}, {7, all}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.keyUsage);
    EXPECT_EQ(qualified([&](RecordingClient& x) { return x.selectCertificate(c.keyUsage); }), c.expected);
    EXPECT_EQ(qualified([&](RecordingClient& x) { return x.selectCertificateBySubject("O=Test Bank", c.keyUsage); }),
              c.expected);
    EXPECT_EQ(
        qualified([&](RecordingClient& x) { return x.selectCertificateBySubject_Text(",OU=Retail", c.keyUsage); }),
        c.expected);
  }
  // The selected certificate's key-usage text.
  for (const char* name : names) {
    SCOPED_TRACE(name);
    CCertificateDBClient client("MY");
    ASSERT_EQ(client.getCertificateInfo(fixtures::get(name).base64().c_str()), 0) << client.getErrorMessage();
    EXPECT_EQ(str(client.getKeyUsage()), text[name]);
  }
}

// Subject and issuer criteria in the library's name form, checked against the
// names openssl prints for the same certificates.
TEST_F(Selection, SubjectAndIssuerCriteriaAgainstOpenSslNames) {
  for (const char* name : {"user", "ku_enc", "separators", "multi_ou", "expired"}) addFixture(name);
  storetest::CertSpec other;
  other.subject = {{"C", "TW"}, {"O", "Test Bank"}, {"OU", "Retail"}, {"CN", "Other Issued"}};
  other.issuer = "ca2";
  Der otherDer = made("other", other);
  std::string otherPem = storetest::writePem(otherDer, "other");

  // Each certificate's whole subject, as openssl prints it, selects it alone.
  for (const char* name : {"user", "ku_enc", "multi_ou", "expired"}) {
    SCOPED_TRACE(name);
    std::string subject = storetest::nameFromOpenSsl(fixtures::get(name).certPem, "subject", ",");
    EXPECT_EQ(qualified([&](RecordingClient& x) { return x.selectCertificateBySubject(subject.c_str(), 0); }),
              Labels{name});
  }
  std::string separators = storetest::nameFromOpenSsl(fixtures::get("separators").certPem, "subject", ";");
  EXPECT_EQ(qualified([&](RecordingClient& x) { return x.selectCertificateBySubject(separators.c_str(), 0); }),
            Labels{"separators"});
  std::string otherSubject = storetest::nameFromOpenSsl(otherPem, "subject", ",");
  EXPECT_EQ(qualified([&](RecordingClient& x) { return x.selectCertificateBySubject(otherSubject.c_str(), 0); }),
            Labels{"other"});

  const Labels bank = {"user", "ku_enc", "multi_ou", "expired", "other"};
  struct SubjectCase {
    std::string criterion;
    Labels expected;
  } subjects[] = {
      {"OU=Retail", bank},         {"C=TW,O=Test Bank", bank}, {"CN=Test User", {"user"}},
      {"CN=Test", {"user"}},       {"cn=test user", {}},       {"OU=Retail,CN=KU Enc", {"ku_enc"}},
      {"CN=KU Enc,OU=Retail", {}}, {"OU=Cards", {"multi_ou"}}, {"O=\"A=B+C\"", {"separators"}},
  };
  for (const SubjectCase& c : subjects) {
    SCOPED_TRACE(c.criterion);
    EXPECT_EQ(qualified([&](RecordingClient& x) { return x.selectCertificateBySubject(c.criterion.c_str(), 0); }),
              c.expected);
  }

  std::string caIssuer = storetest::nameFromOpenSsl(fixtures::get("user").certPem, "issuer", ",");
  std::string ca2Issuer = storetest::nameFromOpenSsl(otherPem, "issuer", ",");
  ASSERT_EQ(caIssuer, kCaIssuer);
  ASSERT_EQ(ca2Issuer, kCa2Issuer);
  const Labels byCa = {"user", "ku_enc", "multi_ou", "expired", "separators"};
  struct IssuerCase {
    std::string criteria;
    Labels expected;
  } issuers[] = {
      {caIssuer, byCa},
      {"{" + caIssuer + "}", byCa},
      {"{" + ca2Issuer + "}", {"other"}},
      {"{" + ca2Issuer + "}{" + caIssuer + "}", {"user", "ku_enc", "multi_ou", "expired", "separators", "other"}},
      {"{C=TW;O=Test Bank;CN=Test Root CA}", byCa},
      {"{O=Test Bank,CN=Test Root CA}", {}},
      {"{c=tw,o=test bank,cn=test root ca}", {}},
      {"{nothing}{" + ca2Issuer + "}{" + ca2Issuer + "}", {"other"}},
  };
  for (const IssuerCase& c : issuers) {
    SCOPED_TRACE(c.criteria);
    EXPECT_EQ(qualified([&](RecordingClient& x) {
                return x.selectCertificateBySubject(MultipleCriteria{c.criteria.c_str()}, 0);
              }),
              c.expected);
  }
}

// A criteria text of the wrong form fails before the store is read.
TEST_F(Selection, IssuerListOfTheWrongFormFailsFirst) {
  addFixture("user");
  for (const char* text : {"{a}{}", "", "{{a}}", "{a}{b"}) {
    SCOPED_TRACE(text);
    RecordingClient client;
    EXPECT_EQ(client.selectCertificateBySubject(MultipleCriteria{text}, 0), 1);
    EXPECT_STREQ(client.getErrorMessage(),
                 "CCertificateDBClient::parsingMultipleCriteria -> MultipleCriteria setting format error");
    EXPECT_EQ(client.getCertificateText(), nullptr);
  }
  RecordingClient client;
  EXPECT_EQ(client.selectCertificateBySubject(MultipleCriteria{kCaIssuer}, 0), 0);
  EXPECT_EQ(selectedLabel(client), "user");
}

TEST_F(Selection, CommonNameIsTheWholeDisplayName) {
  for (const char* name : {"user", "ku_enc", "separators", "zh_tw"}) addFixture(name);
  storetest::CertSpec noCn;
  noCn.subject = {{"C", "TW"}, {"O", "Test Bank"}, {"OU", "Unit Only"}};
  made("no_cn", noCn);
  struct Case {
    std::string cn;
    Labels expected;
  } cases[] = {
      {"Test User", {"user"}},
      {"test user", {}},
      {"Test", {}},
      {"Test User ", {}},
      {"Lee, Ann; Jr.", {"separators"}},
      {"Unit Only", {"no_cn"}},  // no common name: the organisational unit is the display name
      {"\xE7\x8E\x8B\xE5\xB0\x8F\xE6\x98\x8E", {"zh_tw"}},
  };
  storetest::LangScope utf8("en_US.UTF-8");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.cn);
    EXPECT_EQ(qualified([&](RecordingClient& x) { return x.selectCertificateBySubjectCN(c.cn.c_str(), 0); }),
              c.expected);
  }
}

// Names come in the user's ANSI code page: a Big5 page names a Big5 criterion.
TEST_F(Selection, CriteriaInTheAnsiCodePage) {
  addFixture("zh_tw");
  addFixture("user");
  storetest::LangScope big5("zh_TW.BIG5");
  std::string subjectUtf8 = storetest::nameFromOpenSsl(fixtures::get("zh_tw").certPem, "subject", ",");
  std::string subject = storetest::fromUtf8(subjectUtf8, "CP950");
  std::string cn = "\xA4\xFD\xA4\x70\xA9\xFA";  // the common name in Big5
  ASSERT_NE(subject.find("CN=" + cn), std::string::npos);
  EXPECT_EQ(qualified([&](RecordingClient& x) { return x.selectCertificateBySubject(subject.c_str(), 0); }),
            Labels{"zh_tw"});
  EXPECT_EQ(qualified([&](RecordingClient& x) { return x.selectCertificateBySubjectCN(cn.c_str(), 0); }),
            Labels{"zh_tw"});
  EXPECT_EQ(qualified([&](RecordingClient& x) { return x.selectCertificateBySubject(subjectUtf8.c_str(), 0); }),
            Labels{});
  CCertificateDBClient client("MY");
  ASSERT_EQ(client.selectCertificateBySubjectCN(cn.c_str(), 0), 0) << client.getErrorMessage();
  EXPECT_EQ(str(client.getSubject()),
            storetest::fromUtf8("C=TW,O=\xE8\x87\xBA\xE7\x81\xA3\xE6\xB8\xAC\xE8\xA9\xA6\xE9\x8A\x80\xE8\xA1\x8C,CN="
                                "\xE7\x8E\x8B\xE5\xB0\x8F\xE6\x98\x8E",
                                "CP950"));
}

TEST_F(Selection, SubjectTextNeedsADisplayNamePartAndASubjectPart) {
  for (const char* name : {"user", "ku_enc", "multi_ou"}) addFixture(name);
  struct Case {
    const char* text;
    Labels expected;
  } cases[] = {
      {"Test User,OU=Retail", {"user"}},
      {"Test User", {}},                               // one part selects nothing
      {",OU=Retail", {"user", "ku_enc", "multi_ou"}},  // empty first part: every display name
      {"KU,OU=Nothing,OU=Retail", {"ku_enc"}},         // any later part may match
      {"Multi,OU=Cards", {"multi_ou"}},
      {"User,OU=Cards", {}},
      {",,", {}},
      {"", {}},
      {"Test User,,OU=Retail,", {"user"}},  // empty later parts are dropped
      {"test user,OU=Retail", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(qualified([&](RecordingClient& x) { return x.selectCertificateBySubject_Text(c.text, 0); }), c.expected);
  }
}

// The token-kind and provider steps narrow every selection but the
// subject-text one; the system leaves both wide open.
TEST_F(Selection, TokenKindAndProviderSteps) {
  addFixture("user");
  auto narrowKind = [](RecordingClient& c) { c.requireTokenKind(2); };
  auto narrowProvider = [](RecordingClient& c) { c.allowProviders({"Some Token CSP"}); };
  for (const auto& narrow :
       {std::function<void(RecordingClient&)>(narrowKind), std::function<void(RecordingClient&)>(narrowProvider)}) {
    EXPECT_EQ(qualified([](RecordingClient& x) { return x.selectCertificate(0); }, nullptr, narrow), Labels{});
    EXPECT_EQ(
        qualified([](RecordingClient& x) { return x.selectCertificateBySubjectCN("Test User", 0); }, nullptr, narrow),
        Labels{});
    EXPECT_EQ(qualified([](RecordingClient& x) { return x.selectCertificateBySerialNum("1001"); }, nullptr, narrow),
              Labels{});
    EXPECT_EQ(qualified([](RecordingClient& x) { return x.selectCertificateBySubject_Text("Test User,OU=Retail", 0); },
                        nullptr, narrow),
              Labels{"user"});
  }
  // With the key's provider read, a key held by the software provider is kind 2.
  storetest::clearMy();
  storetest::importFixtureWithTool("user");
  labels_[fixtures::get("user").der()] = "user";
  auto readAndRequire2 = [](RecordingClient& c) {
    c.readKeyProvider(true);
    c.requireTokenKind(2);
    c.allowProviders({"Microsoft Enhanced Cryptographic Provider v1.0"});
  };
  EXPECT_EQ(qualified([](RecordingClient& x) { return x.selectCertificate(0); }, nullptr, readAndRequire2),
            Labels{"user"});
}

TEST_F(Selection, SerialNumberIgnoresLeadingZerosAndCase) {
  for (const char* name : {"user", "serial_01a2", "serial_high", "serial20"}) addFixture(name);
  storetest::CertSpec zero;
  zero.serial = {0x00};
  made("zero", zero);
  struct Case {
    const char* serial;
    const char* expected;  // null: 4
  } cases[] = {
      {"01A2", "serial_01a2"},
      {"1a2", "serial_01a2"},
      {"0001a2", "serial_01a2"},
      {"01a2", "serial_01a2"},
      {"0080", "serial_high"},
      {"80", "serial_high"},
      {"1001", "user"},
      {"01001", "user"},
      {"7f0102030405060708090a0b0c0d0e0f10111213", "serial20"},
      {"", "zero"},
      {"000", "zero"},
      {"1A", nullptr},
      {"1001 ", nullptr},
      {"A2", nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.serial);
    CCertificateDBClient client("MY");
    int code = client.selectCertificateBySerialNum(c.serial);
    if (c.expected == nullptr) {
      EXPECT_EQ(code, 4);
      EXPECT_EQ(client.getCertificateText(), nullptr);
    } else {
      EXPECT_EQ(code, 0) << client.getErrorMessage();
      EXPECT_EQ(selectedLabel(client), c.expected);
    }
  }
}

TEST_F(Selection, SerialNumberWithIssuer) {
  addFixture("user");
  storetest::CertSpec twin;  // same serial number, other issuer
  twin.serial = {0x10, 0x01};
  twin.issuer = "ca2";
  twin.subject = {{"C", "TW"}, {"O", "Test Bank"}, {"CN", "Twin"}};
  made("twin", twin);
  std::vector<Der> order = storetest::myInOrder();
  ASSERT_EQ(order.size(), 2u);

  CCertificateDBClient client("MY");
  ASSERT_EQ(client.selectCertificateBySerialNum("1001"), 0);
  EXPECT_EQ(selectedLabel(client), label(order[0]));  // the store's first
  ASSERT_EQ(client.selectCertificateBySerialNum(kCa2Issuer, "1001"), 0) << client.getErrorMessage();
  EXPECT_EQ(selectedLabel(client), "twin");
  ASSERT_EQ(client.selectCertificateBySerialNum(kCaIssuer, "001001"), 0) << client.getErrorMessage();
  EXPECT_EQ(selectedLabel(client), "user");
  EXPECT_EQ(client.selectCertificateBySerialNum("O=Test Bank", "1001"), 4);
  EXPECT_EQ(selectedLabel(client), "user");  // a failed selection keeps the last one
}

// The first certificate with the serial number decides: hidden while expired,
// it ends the search although a later one with that serial number is valid.
TEST_F(Selection, FirstSerialMatchDecides) {
  storetest::CertSpec spec;
  spec.serial = {0x30, 0x03};
  spec.subject = {{"CN", "Old"}};
  spec.notBeforeDays = -400;
  spec.notAfterDays = -35;
  made("old", spec);
  spec.subject = {{"CN", "New"}};
  spec.notBeforeDays = -30;
  spec.notAfterDays = 300;
  made("new", spec);
  std::vector<Der> order = storetest::myInOrder();
  ASSERT_EQ(order.size(), 2u);
  ASSERT_EQ(label(order[0]), "old") << "the store lists certificates in the order they were added";

  struct Case {
    BYTE show, block;
    int code;
    const char* selected;
  } cases[] = {{0, 1, 4, "(none)"}, {0, 0, 4, "(none)"}, {1, 1, 8, "(none)"}, {1, 0, 0, "old"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.show) + std::to_string(c.block));
    CCertificateDBClient client("MY");
    client.ShowExpiredCert = c.show;
    client.BlockExpiredCert = c.block;
    EXPECT_EQ(client.selectCertificateBySerialNum("3003"), c.code);
    EXPECT_EQ(selectedLabel(client), c.selected);
  }
  // The run over all candidates skips the hidden one and finds the valid one.
  CCertificateDBClient client("MY");
  client.ShowExpiredCert = 0;
  EXPECT_EQ(client.selectCertificate(0), 0);
  EXPECT_EQ(selectedLabel(client), "new");
}

TEST_F(Selection, ChoiceAmongSeveral) {
  addFixture("user");      // ends 2049-12-31
  addFixture("utc_1600");  // ends 2034-03-01
  addFixture("expired");
  std::vector<Der> order = storetest::myInOrder();
  ASSERT_EQ(order.size(), 3u);

  {  // the base class has no chooser: cancelled, and the text is left alone
    CCertificateDBClient client("MY");
    EXPECT_EQ(client.selectCertificate(0), 28);
    EXPECT_STREQ(client.getErrorMessage(), "");
    EXPECT_EQ(client.getCertificateText(), nullptr);
  }
  {  // the latest end of validity
    CCertificateDBClient client("MY");
    client.SelectLatestCert = 1;
    EXPECT_EQ(client.selectCertificate(0), 0) << client.getErrorMessage();
    EXPECT_EQ(selectedLabel(client), "user");
  }
  {  // the hook's choice, in the store's order; an expired choice is not blocked
    RecordingClient client;
    for (int i = 0; i < 3; ++i) {
      client.answer = i;
      EXPECT_EQ(client.selectCertificate(0), 0) << client.getErrorMessage();
      ASSERT_EQ(client.shown, order);
      EXPECT_EQ(selectedLabel(client), label(order[static_cast<std::size_t>(i)]));
    }
    EXPECT_EQ(client.hookCalls, 3);
  }
  {  // the hook's code is passed on; an index that names no candidate is a cancel
    RecordingClient client;
    client.answer = 0;
    client.answerCode = 23;
    EXPECT_EQ(client.selectCertificate(0), 23);
    client.answerCode = 0;
    for (int bad : {-1, 3, 99, -5}) {
      client.answer = bad;
      EXPECT_EQ(client.selectCertificate(0), 28) << bad;
    }
    EXPECT_EQ(client.getCertificateText(), nullptr);
  }
}

TEST_F(Selection, LatestAmongExpiredAndEqualEnds) {
  storetest::CertSpec spec;
  spec.notBeforeDays = -400;
  spec.serial = {0x40, 0x01};
  spec.subject = {{"CN", "Ended Long Ago"}};
  spec.notAfterDays = -40;
  made("long_ago", spec);
  spec.serial = {0x40, 0x02};
  spec.subject = {{"CN", "Ended Lately"}};
  spec.notAfterDays = -2;
  made("lately", spec);
  {  // both expired: the later-ending one, without the expiry block
    CCertificateDBClient client("MY");
    client.SelectLatestCert = 1;
    ASSERT_EQ(client.BlockExpiredCert, 1);
    EXPECT_EQ(client.selectCertificate(0), 0) << client.getErrorMessage();
    EXPECT_EQ(selectedLabel(client), "lately");
  }
  storetest::clearMy();
  spec.notAfter = "20400101000000Z";
  spec.notBeforeDays = -3;
  spec.serial = {0x40, 0x03};
  spec.subject = {{"CN", "Same End A"}};
  made("a", spec);
  spec.serial = {0x40, 0x04};
  spec.subject = {{"CN", "Same End B"}};
  made("b", spec);
  std::vector<Der> order = storetest::myInOrder();
  CCertificateDBClient client("MY");
  client.SelectLatestCert = 1;
  EXPECT_EQ(client.selectCertificate(0), 0);
  EXPECT_EQ(selectedLabel(client), label(order[0]));

  // Directly: equal ends give the first; nothing readable gives -1 with 0.
  PCCERT_CONTEXT list[2] = {nullptr, nullptr};
  int index = 7;
  EXPECT_EQ(client.getLatestCert(list, 2, &index), 0);
  EXPECT_EQ(index, -1);
}

TEST_F(Selection, SelectedFieldsDescribeTheCertificate) {
  addFixture("user");
  addFixture("rsa4096");
  TzScope utc("UTC");
  CCertificateDBClient client("MY");
  ASSERT_EQ(client.selectCertificateBySubjectCN("Test User", 0), 0) << client.getErrorMessage();
  EXPECT_EQ(fromBase64(client.getCertificateText()), fixtures::get("user").der());
  EXPECT_EQ(str(client.getSerialNumber()), "1001");
  EXPECT_EQ(str(client.getIssuer()), storetest::nameFromOpenSsl(fixtures::get("user").certPem, "issuer", ","));
  EXPECT_EQ(str(client.getSubject()), storetest::nameFromOpenSsl(fixtures::get("user").certPem, "subject", ","));
  EXPECT_EQ(str(client.getKeyUsage()), "Sign");
  EXPECT_EQ(str(client.getStartDate()), "20240101000000");
  EXPECT_EQ(str(client.getEndDate()), "20491231235959");
  EXPECT_EQ(client.getSelectedCertLength(), 2048);

  ASSERT_EQ(client.selectCertificateBySubjectCN("RSA 4096", 0), 0);
  EXPECT_EQ(client.getSelectedCertLength(), 4096);

  // Dates are local times.
  TzScope taipei("CST-8");
  ASSERT_EQ(client.selectCertificateBySubjectCN("Test User", 0), 0);
  EXPECT_EQ(str(client.getStartDate()), "20240101080000");
}

TEST_F(Selection, CheckCertificateExpired) {
  for (const char* name : {"user", "expired", "notyet"}) addFixture(name);
  CCertificateDBClient client("MY");
  ASSERT_EQ(client.getCertificateInfo(fixtures::get("user").base64().c_str()), 0);
  const std::string selected = str(client.getCertificateText());
  struct Case {
    std::string certificate;
    int code;
    const char* textStart;  // null: the text stays as it was
  } cases[] = {
      {fixtures::get("user").base64(), 0, nullptr},
      {fixtures::get("expired").base64(), 8, nullptr},
      {fixtures::get("notyet").base64(), 8, nullptr},
      {fixtures::get("ku_enc").base64(), 23,  // not in the user's store
       "CCertificateDBClient::checkCertificateExpired -> CMyCertContext::setCertContext -> error 0x80092004 durning "
       "CertFindCertificateInStore"},
      {"not a certificate", 3,
       "CCertificateDBClient::checkCertificateExpired -> CMyCertContext::setCertContext -> error"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.certificate.substr(0, 20));
    client.parsingMultipleCriteria("", nullptr, nullptr);  // a known text before
    const std::string before = client.getErrorMessage();
    client.BlockExpiredCert = 0;
    client.ShowExpiredCert = 0;  // neither switch plays a part
    EXPECT_EQ(client.checkCertificateExpired(c.certificate.c_str()), c.code);
    if (c.textStart == nullptr)
      EXPECT_EQ(client.getErrorMessage(), before);
    else
      EXPECT_EQ(std::string(client.getErrorMessage()).rfind(c.textStart, 0), 0u) << client.getErrorMessage();
  }
  EXPECT_EQ(client.getStoreHandle(), nullptr);  // the source is not opened
  EXPECT_EQ(str(client.getCertificateText()), selected);

  // In token mode the certificate need not be in the store.
  client.setPKCS11LibName("sometoken.dll");
  EXPECT_EQ(client.checkCertificateExpired(fixtures::get("ku_enc").base64().c_str()), 0);
  EXPECT_EQ(client.checkCertificateExpired(fixtures::get("notyet").base64().c_str()), 8);
  EXPECT_EQ(client.getStoreHandle(), nullptr);
}

TEST_F(Selection, GetCertificateInfoMakesTheCertificateSelected) {
  addFixture("expired");
  addFixture("user");
  CCertificateDBClient client("MY");
  ASSERT_EQ(client.getCertificateInfo(fixtures::get("expired").base64().c_str()), 0) << client.getErrorMessage();
  EXPECT_EQ(str(client.getSerialNumber()), "100A");
  EXPECT_EQ(fromBase64(client.getCertificateText()), fixtures::get("expired").der());
  EXPECT_EQ(client.getStoreHandle(), nullptr);

  // A certificate the store does not hold fails and leaves the selection.
  EXPECT_EQ(client.getCertificateInfo(fixtures::get("ku_enc").base64().c_str()), 23);
  EXPECT_EQ(
      std::string(client.getErrorMessage()).rfind("CCertificateDBClient::getCertificateInfo -> CMyCertContext::", 0),
      0u);
  EXPECT_EQ(str(client.getSerialNumber()), "100A");
  EXPECT_EQ(client.getCertificateInfo("!!"), 3);
  EXPECT_EQ(client.getCertificateInfo(nullptr), 1);
  EXPECT_EQ(str(client.getSerialNumber()), "100A");
  EXPECT_EQ(str(client.getKeyUsage()), "Sign");
}

TEST_F(Selection, TheSystemSource) {
  addFixture("user");
  CCertificateDBClient client("MY");
  EXPECT_EQ(client.closeCertStore(), 0);  // closed: nothing to do
  ASSERT_EQ(client.openCertStore(), 0);
  ASSERT_NE(client.getStoreHandle(), nullptr);
  EXPECT_EQ(client.openCertStore(), 0);  // an open store is closed first
  EXPECT_EQ(client.closeCertStore(), 0);
  EXPECT_EQ(client.getStoreHandle(), nullptr);

  // The selection opens the store and leaves it open.
  ASSERT_EQ(client.selectCertificate(0), 0);
  EXPECT_NE(client.getStoreHandle(), nullptr);

  // No name kept: "MY"; lower case names the same store.
  CCertificateDBClient unnamed(nullptr);
  EXPECT_EQ(unnamed.getStoreName(), nullptr);
  EXPECT_EQ(unnamed.selectCertificateBySerialNum("1001"), 0);
  CCertificateDBClient lower("my");
  EXPECT_EQ(lower.selectCertificateBySerialNum("1001"), 0);

  // A store that cannot be opened: 99 from the open and from the selection.
  CCertificateDBClient bad("bad/name");
  EXPECT_EQ(bad.openCertStore(), 99);
  EXPECT_EQ(std::string(bad.getErrorMessage()), "CCertificateDBClient::openCertStore -> error " +
                                                    std::to_string(static_cast<int>(E_INVALIDARG)) +
                                                    " during CertOpenSystemStore");
  EXPECT_EQ(bad.selectCertificate(0), 99);
  EXPECT_EQ(bad.getStoreHandle(), nullptr);
}

// The module name is kept whole, whatever its length, and an empty one goes
// back to the system store; neither opens nor closes the source.
TEST_F(Selection, ModuleNameIsKeptWhole) {
  addFixture("user");
  CCertificateDBClient client("MY");
  std::string longName = std::string(250, 'm') + ".dll";
  ASSERT_EQ(client.openCertStore(), 0);
  HCERTSTORE open = client.getStoreHandle();
  EXPECT_EQ(client.setPKCS11LibName(longName.c_str()), 0);
  EXPECT_TRUE(client.isTokenMode());
  EXPECT_EQ(str(client.getPKCS11LibName()), longName);
  EXPECT_EQ(client.getStoreHandle(), open);
  // Still the store it opened, until closed.
  EXPECT_EQ(client.selectCertificateBySerialNum(kCaIssuer, "1001"), 0) << client.getErrorMessage();
  EXPECT_EQ(client.closeCertStore(), 0);
  EXPECT_EQ(client.getStoreHandle(), nullptr);
  // Now the module is loaded, and its whole name reaches the loader.
  EXPECT_EQ(client.selectCertificate(0), 23);
  EXPECT_EQ(std::string(client.getErrorMessage()),
            "CRSASignatureClient::setPKCS11LibName -> CPKCS11TokenUtil::init -> error during Load dll:" + longName +
                " Failure.");
  EXPECT_EQ(client.setPKCS11LibName(""), 0);
  EXPECT_FALSE(client.isTokenMode());
  EXPECT_EQ(client.getPKCS11LibName(), nullptr);
  EXPECT_EQ(client.selectCertificate(0), 0) << client.getErrorMessage();
  EXPECT_EQ(client.setPKCS11LibName("x.dll"), 0);
  EXPECT_EQ(client.setPKCS11LibName(nullptr), 0);
  EXPECT_FALSE(client.isTokenMode());
}

}  // namespace

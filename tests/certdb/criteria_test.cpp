// The store client's criteria: the MultipleCriteria parser and the issuer and
// subject comparisons against the names CryptoAPI renders.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Fixtures.h"
#include "StoreSupport.h"
#include "signlib/CertificateDBClient.h"

using storetest::str;

namespace {

constexpr DWORD kEnc = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

struct Context {
  explicit Context(const std::vector<unsigned char>& der)
      : p(CertCreateCertificateContext(kEnc, der.data(), static_cast<DWORD>(der.size()))) {}
  ~Context() {
    if (p != nullptr) CertFreeCertificateContext(p);
  }
  PCCERT_CONTEXT p;
};

TEST(MultipleCriteria, ParsesGroupsLastSlotFirst) {
  struct Case {
    const char* text;
    int code;
    std::vector<std::string> entries;  // array order
  } cases[] = {
      {"CN=Alice", 0, {"CN=Alice"}},
      {"{a}{b}", 0, {"b", "a"}},
      {"a}{b", 0, {"b", "a"}},  // wrapped to {a}{b}
      {"{a}x{b}", 0, {"b", "a"}},
      {"{ a, b }{a}{a}", 0, {"a", "a", " a, b "}},  // verbatim, duplicates kept
      {"{C=TW,O=Test Bank,CN=Test Root CA}", 0, {"C=TW,O=Test Bank,CN=Test Root CA"}},
      {"", 1, {}},
      {"{}", 1, {}},
      {"{a}{}", 1, {}},
      {"{{a}}", 1, {}},
      {"{a}}", 1, {}},
      {"{a}{b", 1, {}},
      {"x{a}", 1, {}},  // wrapped to {x{a}}: nested
      {"}", 1, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    CCertificateDBClient client("MY");
    char** entries = reinterpret_cast<char**>(0x1);
    int count = -7;
    int code = client.parsingMultipleCriteria(c.text, &entries, &count);
    ASSERT_EQ(code, c.code) << client.getErrorMessage();
    if (code != 0) {
      EXPECT_STREQ(client.getErrorMessage(),
                   "CCertificateDBClient::parsingMultipleCriteria -> MultipleCriteria setting format error");
      EXPECT_EQ(entries, nullptr);
      EXPECT_EQ(count, -7);
      continue;
    }
    ASSERT_EQ(count, static_cast<int>(c.entries.size()));
    for (int i = 0; i < count; ++i) EXPECT_EQ(str(entries[i]), c.entries[i]) << i;
    EXPECT_EQ(client.freeMultipleCriteriaArray(entries, count), 0);
  }
}

// A subject criterion matches any part of the rendered subject, an issuer
// criterion only the whole rendered issuer; both are case-sensitive, and the
// separator of the criterion chooses the comma or semicolon rendering.
TEST(NameComparison, SubjectIsAPartIssuerIsTheWhole) {
  storetest::CertSpec spec;
  spec.subject = {{"C", "TW"}, {"O", "Bank"}, {"CN", "Alice"}};
  spec.issuer = "ca2";
  std::vector<unsigned char> alice = storetest::makeCertificate(spec);
  std::string alicePem = storetest::writePem(alice, "alice");
  // The issuer as OpenSSL prints it, in the library's own form.
  std::string ca2Issuer = storetest::nameFromOpenSsl(alicePem, "issuer", ",");
  ASSERT_EQ(ca2Issuer, "C=US,O=Other Org,CN=Other Root CA");

  struct Case {
    const char* fixture;  // null: alice
    bool issuer;
    std::string criterion;
    int matched;
  } cases[] = {
      {nullptr, false, "O=Bank,CN=Alice", 1},
      {nullptr, false, "C=TW,O=Bank,CN=Alice", 1},
      {nullptr, false, "C=TW;O=Bank", 1},  // semicolon form against the semicolon rendering
      {nullptr, false, "O=Bank;C=TW", 0},
      {nullptr, false, "o=bank", 0},
      {nullptr, false, "CN=Ali", 1},
      {nullptr, true, "O=Bank,CN=Alice", 0},
      {nullptr, true, ca2Issuer, 1},
      {nullptr, true, "C=US;O=Other Org;CN=Other Root CA", 1},
      {nullptr, true, "O=Other Org,CN=Other Root CA", 0},
      {nullptr, true, ca2Issuer + " ", 0},
      {nullptr, true, "c=us,o=other org,cn=other root ca", 0},
      {"user", false, storetest::nameFromOpenSsl(fixtures::get("user").certPem, "subject", ","), 1},
      {"user", true, storetest::nameFromOpenSsl(fixtures::get("user").certPem, "issuer", ","), 1},
      {"user", false, "OU=Retail", 1},
      {"user", true, "C=TW,O=Test Bank", 0},
      // The separators fixture: quoted values in the semicolon form.
      {"separators", false, storetest::nameFromOpenSsl(fixtures::get("separators").certPem, "subject", ";"), 1},
      {"separators", false, "CN=\"Lee, Ann; Jr.\"", 1},
      {"multi_ou", false, storetest::nameFromOpenSsl(fixtures::get("multi_ou").certPem, "subject", ","), 1},
      {"multi_ou", false, "OU=Retail,OU=Cards", 1},
      {"multi_ou", false, "OU=Cards,OU=Retail", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.fixture != nullptr ? c.fixture : "alice") + (c.issuer ? " issuer " : " subject ") +
                 c.criterion);
    Context cert(c.fixture != nullptr ? fixtures::get(c.fixture).der() : alice);
    ASSERT_NE(cert.p, nullptr);
    CCertificateDBClient client("MY");
    BYTE matched = 0xEE;
    int code = c.issuer ? client.compareIssuerString(cert.p, c.criterion.c_str(), &matched)
                        : client.compareSubjectString(cert.p, c.criterion.c_str(), &matched);
    EXPECT_EQ(code, 0) << client.getErrorMessage();
    EXPECT_EQ(matched, c.matched);
  }
}

// A name rendered as no characters matches nothing, not even the empty criterion.
TEST(NameComparison, EmptyNameMatchesNothing) {
  storetest::CertSpec spec;
  spec.subject = {};
  Context cert(storetest::makeCertificate(spec));
  ASSERT_NE(cert.p, nullptr);
  CCertificateDBClient client("MY");
  BYTE matched = 0xEE;
  EXPECT_EQ(client.compareSubjectString(cert.p, "", &matched), 0);
  EXPECT_EQ(matched, 0);
  matched = 0xEE;
  EXPECT_EQ(client.compareSubjectString(cert.p, "CN=", &matched), 0);
  EXPECT_EQ(matched, 0);

  matched = 0xEE;
  EXPECT_EQ(client.compareIssuerString(nullptr, "CN=A", &matched), 1);
  EXPECT_EQ(matched, 0);
  EXPECT_STREQ(client.getErrorMessage(), "CCertificateDBClient::compareIssuerString -> parameter error");
  EXPECT_EQ(client.compareSubjectString(cert.p, nullptr, &matched), 1);
}

TEST(Providers, EmptyListAcceptsAnyOtherwiseExactNames) {
  storetest::RecordingClient client;
  EXPECT_TRUE(client.isMatchedProvider("Anything"));
  EXPECT_TRUE(client.isMatchedProvider(""));
  client.allowProviders({"Microsoft Enhanced Cryptographic Provider v1.0", "Token CSP"});
  EXPECT_TRUE(client.isMatchedProvider("Token CSP"));
  EXPECT_TRUE(client.isMatchedProvider("Microsoft Enhanced Cryptographic Provider v1.0"));
  EXPECT_FALSE(client.isMatchedProvider("token csp"));
  EXPECT_FALSE(client.isMatchedProvider("Token CSP "));
  EXPECT_FALSE(client.isMatchedProvider(""));
  EXPECT_FALSE(client.isMatchedProvider(nullptr));
}

}  // namespace

// Token mode: the certificates of a SoftHSM2 token, written by pkcs11-tool and
// reached through the initialised-only forwarder, as the selection source.
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>

#include "Fixtures.h"
#include "StoreSupport.h"
#include "TokenHarness.h"
#include "signlib/CertificateDBClient.h"
#include "signlib/PKCS11TokenUtil.h"

using storetest::RecordingClient;
using storetest::str;
using Der = std::vector<unsigned char>;

namespace {
constexpr const char* kPin = "1234";
constexpr const char* kSoPin = "87654321";
const char* const kCaIssuer = "C=TW,O=Test Bank,CN=Test Root CA";

std::set<std::string> serialsOf(const std::vector<Der>& shown) {
  std::set<std::string> out;
  for (const Der& d : shown) {
    CMyCertContext ctx;
    PCCERT_CONTEXT c =
        CertCreateCertificateContext(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, d.data(), static_cast<DWORD>(d.size()));
    if (c != nullptr && ctx.setCertContext(c, false, false) == 0) out.insert(str(ctx.getSerialNumber()));
    if (c != nullptr) CertFreeCertificateContext(c);
  }
  return out;
}

// One token signature through the token client, as the signature client makes
// it: its own client, signed, then torn down (which finalises the module).
int signOnToken(const std::string& fixture) {
  CPKCS11TokenUtil signer;
  int code = signer.init(p11test::kForwarder);
  if (code != 0) return code;
  const std::string data = "transfer 100";
  unsigned char* der = nullptr;
  int length = 0;
  code = signer.signPKCS7(kPin, fixtures::get(fixture).base64().c_str(), "SHA1", "RSA",
                          reinterpret_cast<const unsigned char*>(data.data()), data.size(), &der, &length);
  OPENSSL_free(der);
  return code;
}

class TokenSource : public ::testing::Test {
 protected:
  void SetUp() override {
    storetest::clearMy();
    hsm_ = std::make_unique<p11test::SoftHsm>(::testing::UnitTest::GetInstance()->current_test_info()->name());
    hsm_->initToken("bank", kSoPin, kPin);
    p11test::installForwarder();
  }
  std::unique_ptr<p11test::SoftHsm> hsm_;
};

TEST_F(TokenSource, SelectsFromTheTokensCertificates) {
  hsm_->addIdentity("bank", kPin, "user", "01");
  hsm_->addIdentity("bank", kPin, "ku_enc", "02");
  hsm_->addIdentity("bank", kPin, "expired", "03", true);  // certificate only
  storetest::addFixtureToMy("rsa1024");                    // the store is not the source

  RecordingClient client;
  ASSERT_EQ(client.setPKCS11LibName(p11test::kForwarder), 0);
  EXPECT_EQ(client.getStoreHandle(), nullptr);
  EXPECT_EQ(client.selectCertificate(0), 28);
  EXPECT_EQ(client.getStoreHandle(), CCertificateDBClient::kTokenListHandle);
  EXPECT_EQ(serialsOf(client.shown), (std::set<std::string>{"1001", "1004", "100A"}));
  EXPECT_EQ(client.tokenClient().tokenCertificateCount(), 3u);

  client.ShowExpiredCert = 0;
  EXPECT_EQ(client.selectCertificate(0), 28);
  EXPECT_EQ(serialsOf(client.shown), (std::set<std::string>{"1001", "1004"}));
  ASSERT_EQ(client.selectCertificate(2), 0) << client.getErrorMessage();
  EXPECT_EQ(str(client.getSerialNumber()), "1004");
  EXPECT_EQ(str(client.getKeyUsage()), "Encrypt");

  // Every kind of selection reads the token's list.
  ASSERT_EQ(client.selectCertificateBySubjectCN("Test User", 0), 0) << client.getErrorMessage();
  EXPECT_EQ(str(client.getSubject()), "C=TW,O=Test Bank,OU=Retail,CN=Test User");
  EXPECT_EQ(client.getSelectedCertLength(), 2048);
  EXPECT_EQ(client.selectCertificateBySubjectCN("RSA 1024", 0), 4);
  client.ShowExpiredCert = 1;
  EXPECT_EQ(client.selectCertificateBySerialNum("100a"), 8);  // a sole expired one, blocked
  EXPECT_STREQ(client.getErrorMessage(), "Certificate is Expired!");
  ASSERT_EQ(client.selectCertificateBySerialNum(kCaIssuer, "01004"), 0) << client.getErrorMessage();
  EXPECT_EQ(str(client.getSerialNumber()), "1004");
  // A search that stopped early leaves the next walk starting from the top.
  EXPECT_EQ(client.selectCertificate(0), 28);
  EXPECT_EQ(client.shown.size(), 3u);
  client.ShowExpiredCert = 0;
  ASSERT_EQ(client.selectCertificateBySubject(
                MultipleCriteria{"{C=US,O=Other Org,CN=Other Root CA}{C=TW,O=Test Bank,CN=Test Root CA}"}, 1),
            0)
      << client.getErrorMessage();
  EXPECT_EQ(str(client.getSerialNumber()), "1001");
  ASSERT_EQ(client.selectCertificateBySubject_Text("Test,OU=Retail", 0), 0);
  EXPECT_EQ(str(client.getSerialNumber()), "1001");
  client.ShowExpiredCert = 1;
  client.SelectLatestCert = 1;
  ASSERT_EQ(client.selectCertificate(1), 0);  // the user's and the expired one
  EXPECT_EQ(str(client.getSerialNumber()), "1001");

  // A token certificate need not be in the user's store.
  EXPECT_EQ(client.checkCertificateExpired(fixtures::get("ku_enc").base64().c_str()), 0);
  ASSERT_EQ(client.getCertificateInfo(fixtures::get("expired").base64().c_str()), 0);
  EXPECT_EQ(str(client.getSerialNumber()), "100A");

  // Closing frees the list and always succeeds in token mode.
  EXPECT_EQ(client.closeCertStore(), 0);
  EXPECT_EQ(client.getStoreHandle(), nullptr);
  EXPECT_EQ(client.tokenClient().tokenCertificateCount(), 0u);
  EXPECT_EQ(client.closeCertStore(), 0);
}

TEST_F(TokenSource, TokenFailures) {
  {  // no certificate on the token
    CCertificateDBClient client("MY");
    client.setPKCS11LibName(p11test::kForwarder);
    EXPECT_EQ(client.selectCertificate(0), 4);
    EXPECT_STREQ(client.getErrorMessage(),
                 "CCertificateDBClient::openCertStore -> error 4 during PKCS# 11 openCertStore,errMsg:"
                 "CPKCS11TokenUtil::openCertStore -> certificate not found in token");
    EXPECT_EQ(client.getStoreHandle(), nullptr);
  }
  {  // no such module
    CCertificateDBClient client("MY");
    client.setPKCS11LibName("missing.dll");
    EXPECT_EQ(client.openCertStore(), 23);
    EXPECT_STREQ(client.getErrorMessage(),
                 "CRSASignatureClient::setPKCS11LibName -> CPKCS11TokenUtil::init -> error during Load dll:missing.dll "
                 "Failure.");
    EXPECT_EQ(client.selectCertificateBySerialNum("1001"), 23);
  }
}

// A token signature made in the same process finalises the module under the
// store client's feet; the next selection reads the token all the same.
TEST_F(TokenSource, SelectionAfterATokenSignature) {
  hsm_->addIdentity("bank", kPin, "user", "01");
  hsm_->addIdentity("bank", kPin, "ku_sig", "02");

  ASSERT_EQ(signOnToken("user"), 0);
  CCertificateDBClient client("MY");
  client.setPKCS11LibName(p11test::kForwarder);
  ASSERT_EQ(client.selectCertificateBySubjectCN("Test User", 0), 0) << client.getErrorMessage();
  const std::string first = str(client.getCertificateText());

  ASSERT_EQ(signOnToken("ku_sig"), 0);
  // Without closing, the list read before is still there.
  ASSERT_EQ(client.selectCertificateBySerialNum(kCaIssuer, "1003"), 0) << client.getErrorMessage();
  EXPECT_EQ(str(client.getSubject()), "C=TW,O=Test Bank,OU=Retail,CN=KU Sig");
  // Closed first, as the control does: the module is initialised again.
  ASSERT_EQ(client.closeCertStore(), 0);
  ASSERT_EQ(client.selectCertificateBySubjectCN("Test User", 0), 0) << client.getErrorMessage();
  EXPECT_EQ(str(client.getCertificateText()), first);
  ASSERT_EQ(signOnToken("user"), 0);
  ASSERT_EQ(client.closeCertStore(), 0);
  EXPECT_EQ(client.selectCertificateBySerialNum("1003"), 0) << client.getErrorMessage();
}

// The source is walked and closed in the mode it was opened in, whatever the
// mode switch says meanwhile; the switch takes effect at the next open.
TEST_F(TokenSource, ModeSwitchTakesEffectAtTheNextOpen) {
  hsm_->addIdentity("bank", kPin, "user", "01");
  storetest::addFixtureToMy("ku_enc");

  CCertificateDBClient client("MY");
  client.setPKCS11LibName(p11test::kForwarder);
  ASSERT_EQ(client.openCertStore(), 0);
  client.setPKCS11LibName("");  // back to the store, not yet in force
  ASSERT_EQ(client.selectCertificateBySerialNum(kCaIssuer, "1001"), 0) << client.getErrorMessage();
  EXPECT_EQ(client.selectCertificateBySerialNum("1004"), 4);
  EXPECT_EQ(client.closeCertStore(), 0);
  EXPECT_EQ(client.tokenClient().tokenCertificateCount(), 0u);
  ASSERT_EQ(client.selectCertificate(0), 0) << client.getErrorMessage();
  EXPECT_EQ(str(client.getSerialNumber()), "1004");

  // And from the store to the token: the store stays the source until closed.
  client.setPKCS11LibName(p11test::kForwarder);
  ASSERT_EQ(client.selectCertificateBySerialNum("1004"), 0) << client.getErrorMessage();
  EXPECT_EQ(client.closeCertStore(), 0);
  EXPECT_EQ(client.getStoreHandle(), nullptr);
  ASSERT_EQ(client.selectCertificate(0), 0) << client.getErrorMessage();
  EXPECT_EQ(str(client.getSerialNumber()), "1001");
  // An open while open closes the token list first.
  EXPECT_EQ(client.openCertStore(), 0);
  EXPECT_EQ(client.tokenClient().tokenCertificateCount(), 1u);
}

// Module names of any length the signature client takes, and a change of
// module reads the new module's token, not the one loaded before.
TEST_F(TokenSource, TheNamedModuleIsTheOneRead) {
  hsm_->addIdentity("bank", kPin, "user", "01");
  const std::string longName = std::string(240, 't') + "oken.dll";
  p11test::installModule(p11test::forwarderModulePath(), longName);
  p11test::FakeToken fake("faketoken.dll");
  fake.addIdentity("rsa1024", 0);

  CCertificateDBClient client("MY");
  client.setPKCS11LibName(longName.c_str());
  ASSERT_EQ(client.selectCertificate(0), 0) << client.getErrorMessage();
  EXPECT_EQ(str(client.getSerialNumber()), "1001");
  client.setPKCS11LibName("faketoken.dll");
  ASSERT_EQ(client.closeCertStore(), 0);
  ASSERT_EQ(client.selectCertificate(0), 0) << client.getErrorMessage();
  EXPECT_EQ(str(client.getSubject()), "C=TW,O=Test Bank,OU=Retail,CN=RSA 1024");
  client.setPKCS11LibName(longName.c_str());
  ASSERT_EQ(client.closeCertStore(), 0);
  ASSERT_EQ(client.selectCertificate(0), 0) << client.getErrorMessage();
  EXPECT_EQ(str(client.getSerialNumber()), "1001");
}

// The walk over the token's list, in the token's order: a search that stops
// early leaves the read position behind its match, the next walk starts from
// the top again, and an entry that is no certificate ends the run with 3.
TEST(TokenWalk, ReadPositionAndUnreadableEntries) {
  storetest::clearMy();
  p11test::FakeToken fake("walktoken.dll");
  fake.addIdentity("user", 0);
  fake.set("cert1.der", "this is no certificate");
  fake.addIdentity("ku_enc", 2, true);

  CCertificateDBClient client("MY");
  client.setPKCS11LibName("walktoken.dll");
  ASSERT_EQ(client.selectCertificateBySerialNum("1001"), 0) << client.getErrorMessage();
  EXPECT_EQ(client.tokenClient().tokenCertificateCount(), 3u);
  EXPECT_EQ(client.tokenClient().certificateReadPosition(), 1u);
  const std::string selected = str(client.getCertificateText());

  EXPECT_EQ(client.selectCertificateBySubjectCN("KU Enc", 0), 3);
  EXPECT_EQ(std::string(client.getErrorMessage())
                .rfind("CCertificateDBClient::selectCertificate -> CMyCertContext::setCertContext -> error ", 0),
            0u)
      << client.getErrorMessage();
  EXPECT_EQ(client.tokenClient().certificateReadPosition(), 2u);
  EXPECT_EQ(str(client.getCertificateText()), selected);  // a failed selection keeps the last one
  EXPECT_EQ(client.selectCertificateBySerialNum("1001"), 0);
  EXPECT_EQ(client.tokenClient().certificateReadPosition(), 1u);

  // Without the unreadable entry every walk runs to the end and starts over.
  fake.unset("cert1.der");
  ASSERT_EQ(client.closeCertStore(), 0);
  ASSERT_EQ(client.selectCertificateBySubjectCN("KU Enc", 0), 0) << client.getErrorMessage();
  EXPECT_EQ(str(client.getSerialNumber()), "1004");
  EXPECT_EQ(client.tokenClient().certificateReadPosition(), 0u);
  ASSERT_EQ(client.selectCertificateBySerialNum("1004"), 0);
  EXPECT_EQ(client.tokenClient().certificateReadPosition(), 2u);
}

}  // namespace

// Token signatures on a real PKCS#11 token (SoftHSM2), checked by OpenSSL as
// the relying party.
#include <gtest/gtest.h>

#include <openssl/crypto.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "Fixtures.h"
#include "TestRoot.h"
#include "TokenHarness.h"
#include "signlib/PKCS11TokenUtil.h"
#include "signlib/X509Certificate.h"

using p11test::SoftHsm;

namespace {
constexpr const char* kPin = "1234";
constexpr const char* kSoPin = "87654321";

struct Message {
  std::vector<unsigned char> der;
  int code = -1;
  std::string error;
};

Message sign(CPKCS11TokenUtil& token, const std::string& certificate, const std::string& data,
             const char* digest = "SHA1") {
  Message m;
  unsigned char* der = nullptr;
  int len = 0;
  m.code = token.signPKCS7(kPin, certificate.c_str(), digest, "RSA",
                           reinterpret_cast<const unsigned char*>(data.data()), data.size(), &der, &len);
  m.error = token.getErrorText();
  if (der != nullptr) m.der.assign(der, der + len);
  OPENSSL_free(der);
  return m;
}

std::string q(const std::string& s) { return "'" + s + "'"; }

// openssl cms -verify against the signer's certificate; returns the content
// OpenSSL recovered, or throws a test failure.
::testing::AssertionResult verifies(const Message& m, const std::string& fixture, const std::string& data) {
  std::string dir = testsupport::freshDir("verify");
  testsupport::writeFile(dir + "/m.der", std::string(m.der.begin(), m.der.end()));
  std::string out;
  int status = testsupport::run("openssl cms -verify -inform DER -binary -in " + q(dir + "/m.der") + " -CAfile " +
                                    q(fixtures::get(fixture).certPem) + " -partial_chain -purpose any -out " +
                                    q(dir + "/content") + " 2>&1",
                                &out);
  if (status != 0) return ::testing::AssertionFailure() << "openssl cms -verify failed: " << out;
  if (testsupport::readFile(dir + "/content") != data)
    return ::testing::AssertionFailure() << "recovered content differs from the signed data";
  return ::testing::AssertionSuccess();
}

struct Printed {
  std::string digestAlgorithm;  // of the signer info
  int signedAttributes = 0;
  int certificates = 0;
  std::string text;
};

Printed printed(const Message& m) {
  std::string dir = testsupport::freshDir("print");
  testsupport::writeFile(dir + "/m.der", std::string(m.der.begin(), m.der.end()));
  Printed p;
  testsupport::run("openssl cms -cmsout -print -inform DER -in " + q(dir + "/m.der"), &p.text);
  size_t pos = 0;
  while ((pos = p.text.find("d.certificate:", pos)) != std::string::npos) {
    ++p.certificates;
    ++pos;
  }
  size_t si = p.text.find("signerInfos:");
  size_t da = p.text.find("digestAlgorithm:", si);
  if (da != std::string::npos) {
    size_t alg = p.text.find("algorithm: ", da) + 11;
    p.digestAlgorithm = p.text.substr(alg, p.text.find(' ', alg) - alg);
  }
  size_t attrs = p.text.find("signedAttrs:", si);
  size_t end = p.text.find("signatureAlgorithm:", attrs);
  for (pos = attrs; attrs != std::string::npos && (pos = p.text.find("object: ", pos + 1)) < end;) ++p.signedAttributes;
  return p;
}

class SoftHsmSign : public ::testing::Test {
 protected:
  void SetUp() override {
    hsm_ = std::make_unique<SoftHsm>(::testing::UnitTest::GetInstance()->current_test_info()->name());
    hsm_->initToken("bank", kSoPin, kPin);
    p11test::installForwarder();
  }
  std::unique_ptr<SoftHsm> hsm_;
};
}  // namespace

// Every key size signs, the digest follows the key (SHA-256 for 2048 bits,
// SHA-1 otherwise, whatever was asked), three signed attributes and the
// signer's certificate alone are carried, and OpenSSL verifies the message.
TEST_F(SoftHsmSign, SignedDataVerifiesForEveryKeySize) {
  struct Case {
    const char* fixture;
    const char* asked;
    const char* expected;
  } cases[] = {
      {"rsa1024", "SHA256", "sha1"}, {"user", "SHA1", "sha256"},    {"user", "sha512", "sha256"},
      {"rsa3072", "SHA256", "sha1"}, {"rsa4096", "SHA256", "sha1"},
  };
  hsm_->addIdentity("bank", kPin, "rsa1024", "01");
  hsm_->addIdentity("bank", kPin, "user", "02");
  hsm_->addIdentity("bank", kPin, "rsa3072", "03");
  hsm_->addIdentity("bank", kPin, "rsa4096", "04");
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.fixture) + " " + c.asked);
    CPKCS11TokenUtil token;
    ASSERT_EQ(0, token.init(p11test::kForwarder)) << token.getErrorText();
    std::string data = std::string("pay 100 to account ") + c.fixture;
    Message m = sign(token, p11test::certificateBase64(c.fixture), data, c.asked);
    ASSERT_EQ(0, m.code) << m.error;
    EXPECT_TRUE(verifies(m, c.fixture, data));
    Printed p = printed(m);
    EXPECT_EQ(c.expected, p.digestAlgorithm) << p.text;
    EXPECT_EQ(3, p.signedAttributes) << p.text;
    EXPECT_EQ(1, p.certificates) << p.text;
    EXPECT_NE(std::string::npos, p.text.find("contentType")) << p.text;
    EXPECT_NE(std::string::npos, p.text.find("messageDigest")) << p.text;
    EXPECT_NE(std::string::npos, p.text.find("signingTime")) << p.text;
  }
}

// Whole files are signed: NUL bytes and bytes after them are content; empty
// content is accepted; no content at all is refused with 3.
TEST_F(SoftHsmSign, EveryByteIsSigned) {
  hsm_->addIdentity("bank", kPin, "user", "01");
  std::string withNul("head\0tail\r\n\xff", 12);
  for (const std::string& data : {withNul, std::string()}) {
    CPKCS11TokenUtil token;
    ASSERT_EQ(0, token.init(p11test::kForwarder)) << token.getErrorText();
    Message m = sign(token, p11test::certificateBase64("user"), data);
    ASSERT_EQ(0, m.code) << m.error;
    EXPECT_TRUE(verifies(m, "user", data));
  }
  CPKCS11TokenUtil token;
  ASSERT_EQ(0, token.init(p11test::kForwarder));
  unsigned char* der = reinterpret_cast<unsigned char*>(1);
  int len = 7;
  EXPECT_EQ(3,
            token.signPKCS7(kPin, p11test::certificateBase64("user").c_str(), "SHA1", "RSA", nullptr, 0, &der, &len));
  EXPECT_EQ(nullptr, der);
  EXPECT_EQ(0, len);
}

// A bundle of user and CA signs with the user's certificate and carries only it.
TEST_F(SoftHsmSign, BundleSignsWithTheUserCertificate) {
  hsm_->addIdentity("bank", kPin, "user", "01");
  for (const char* bundle : {"user_ca", "ca_user"}) {
    SCOPED_TRACE(bundle);
    CPKCS11TokenUtil token;
    ASSERT_EQ(0, token.init(p11test::kForwarder));
    Message m = sign(token, p11test::bundleBase64(bundle), "bundle data");
    ASSERT_EQ(0, m.code) << m.error;
    EXPECT_TRUE(verifies(m, "user", "bundle data"));
    Printed p = printed(m);
    EXPECT_EQ(1, p.certificates);
    EXPECT_NE(std::string::npos, p.text.find("Test User"));
    EXPECT_EQ(std::string::npos, p.text.find("subject: C=TW, O=Test Bank, CN=Test Root CA"));
  }
}

// PKCS#1 v1.5 is deterministic: the token's signature equals OpenSSL's.
TEST_F(SoftHsmSign, SignRsaEqualsOpenSsl) {
  hsm_->addIdentity("bank", kPin, "user", "01");
  hsm_->addIdentity("bank", kPin, "rsa1024", "02");
  std::string dir = testsupport::freshDir("dgst");
  std::string data = std::string("some data to sign\0with a NUL", 28);
  testsupport::writeFile(dir + "/data", data);
  struct Case {
    int kind;
    const char* dgst;
  } kinds[] = {{HASH_SHA1, "sha1"},     {HASH_MD5, "md5"},       {HASH_SHA256, "sha256"},
               {HASH_SHA384, "sha384"}, {HASH_SHA512, "sha512"}, {77, "sha1"}};
  for (const char* fixture : {"user", "rsa1024"}) {
    CPKCS11TokenUtil token;
    ASSERT_EQ(0, token.init(p11test::kForwarder));
    ASSERT_EQ(0, token.Login(kPin)) << token.getErrorText();
    CX509Certificate cert;
    ASSERT_EQ(0, cert.LoadX509Cert(p11test::certificateBase64(fixture).c_str()));
    CK_OBJECT_HANDLE key = 0;
    ASSERT_EQ(0, token.findPrivateKeyByCertEx(&cert, &key)) << token.getErrorText();
    for (const Case& c : kinds) {
      SCOPED_TRACE(std::string(fixture) + " " + c.dgst);
      token.setHashKind(c.kind);
      unsigned char sig[512];
      CK_ULONG sigLen = sizeof sig;
      ASSERT_EQ(0, token.signRSA(key, reinterpret_cast<const unsigned char*>(data.data()), data.size(), sig, &sigLen))
          << token.getErrorText();
      std::string expected;
      ASSERT_EQ(0, testsupport::run("openssl dgst -" + std::string(c.dgst) + " -sign " +
                                        q(fixtures::get(fixture).keyPem) + " " + q(dir + "/data"),
                                    &expected));
      EXPECT_EQ(expected, std::string(reinterpret_cast<char*>(sig), sigLen));
    }
  }
}

// What the token lacks: the certificate (4), a key with its modulus (13); a
// wrong PIN is 50 and nothing is signed.
TEST_F(SoftHsmSign, MissingObjectsAndWrongPin) {
  hsm_->addIdentity("bank", kPin, "user", "01", /*certOnly=*/true);
  hsm_->addKey("bank", kPin, fixtures::get("rsa1024").keyPem, "01");
  {
    CPKCS11TokenUtil token;
    ASSERT_EQ(0, token.init(p11test::kForwarder));
    Message m = sign(token, p11test::certificateBase64("user"), "x");
    EXPECT_EQ(13, m.code);
    EXPECT_STREQ("CPKCS11TokenUtil::findPrivateKeyByCertEx -> privateKey not found in token", m.error.c_str());
  }
  {
    CPKCS11TokenUtil token;
    ASSERT_EQ(0, token.init(p11test::kForwarder));
    Message m = sign(token, p11test::certificateBase64("rsa3072"), "x");
    EXPECT_EQ(4, m.code);
    EXPECT_STREQ("CPKCS11TokenUtil::findPrivateKeyByCertEx -> certificate not found in token", m.error.c_str());
  }
  {
    CPKCS11TokenUtil token;
    ASSERT_EQ(0, token.init(p11test::kForwarder));
    unsigned char* der = nullptr;
    int len = 0;
    EXPECT_EQ(50, token.signPKCS7("9999", p11test::certificateBase64("user").c_str(), "SHA1", "RSA",
                                  reinterpret_cast<const unsigned char*>("x"), 1, &der, &len));
    EXPECT_STREQ("CPKCS11TokenUtil::Login -> error 0xA0 during C_Login", token.getErrorText());
    EXPECT_EQ(nullptr, der);
  }
  {
    CPKCS11TokenUtil token;
    ASSERT_EQ(0, token.init(p11test::kForwarder));
    Message m = sign(token, "not a certificate", "x");
    EXPECT_EQ(17, m.code);
  }
}

// The token's certificates are listed as Base64 of their DER; the list
// survives a finalise by another client of the same module in the process:
// list with one client, sign with another, list again with the first.
TEST_F(SoftHsmSign, ClientsShareTheModuleAcrossFinalize) {
  hsm_->addIdentity("bank", kPin, "user", "01");
  hsm_->addIdentity("bank", kPin, "rsa1024", "02", /*certOnly=*/true);
  CPKCS11TokenUtil store;
  ASSERT_EQ(0, store.init(p11test::kForwarder)) << store.getErrorText();
  ASSERT_EQ(0, store.openCertStore()) << store.getErrorText();
  ASSERT_EQ(2u, store.tokenCertificateCount());
  std::vector<std::string> first;
  for (unsigned i = 0; i < store.tokenCertificateCount(); ++i) {
    CX509Certificate c;
    ASSERT_EQ(0, c.LoadX509Cert(store.tokenCertificate(i)));
    first.push_back(c.getSubject());
  }
  std::sort(first.begin(), first.end());
  EXPECT_NE(first[0], first[1]);

  for (int round = 0; round < 2; ++round) {
    {
      CPKCS11TokenUtil signer;
      ASSERT_EQ(0, signer.init(p11test::kForwarder)) << signer.getErrorText();
      Message m = sign(signer, p11test::certificateBase64("user"), "between two listings");
      ASSERT_EQ(0, m.code) << m.error;
      EXPECT_TRUE(verifies(m, "user", "between two listings"));
    }  // the signer's teardown finalises the module for the whole process
    if (round == 0) {
      // The store client opens its source again: init, then list.
      ASSERT_EQ(0, store.init(p11test::kForwarder)) << store.getErrorText();
    }
    // Second round: list straight away on the session the finalise ended.
    ASSERT_EQ(0, store.openCertStore()) << store.getErrorText();
    ASSERT_EQ(2u, store.tokenCertificateCount());
    std::vector<std::string> again;
    for (unsigned i = 0; i < 2; ++i) {
      CX509Certificate c;
      ASSERT_EQ(0, c.LoadX509Cert(store.tokenCertificate(i)));
      again.push_back(c.getSubject());
    }
    std::sort(again.begin(), again.end());  // the token keeps no order
    EXPECT_EQ(first, again);
  }
}

// SoftHSM2 itself always shows a further, uninitialised token: through its
// own library the client sees two tokens.
TEST_F(SoftHsmSign, SoftHsmDirectlyShowsTwoTokens) {
  CPKCS11TokenUtil token;
  EXPECT_EQ(63, token.init("libsofthsm2.so"));
  EXPECT_STREQ("CPKCS11TokenUtil::init5200 -> Too many token present!", token.getErrorText());
  EXPECT_EQ(2, token.tokenCount());
  EXPECT_FALSE(token.isSessionOpen());
  // Named in Windows form, the module still resolves to its file name.
  CPKCS11TokenUtil other;
  EXPECT_EQ(0, other.init("C:\\Windows\\System32\\SOFTTOKEN.DLL")) << other.getErrorText();
}

// Two initialised tokens behind the forwarder: 63, and no session.
TEST_F(SoftHsmSign, TwoInitialisedTokens) {
  hsm_->initToken("second", kSoPin, kPin);
  CPKCS11TokenUtil token;
  EXPECT_EQ(63, token.init(p11test::kForwarder));
  EXPECT_FALSE(token.isSessionOpen());
  int count = 0;
  EXPECT_EQ(0, token.getTokenCount(&count));
  EXPECT_EQ(2, count);
}

// The signature control's token path: the key found through the certificate
// object's CKA_ID with the login inside the search, SHA-1 always, on SoftHSM2
// (through the one-token forwarding module) and on the fake module, every
// envelope verified by openssl cms.
#include <string>

#include <gtest/gtest.h>

#include "FreshProcess.h"
#include "SigTestSupport.h"
#include "VariantClient.h"
#include "signlib/PKCS11TokenUtil.h"

using namespace sigtest;
using varianttest::ScriptedClient;

namespace {

struct Signed {
  int code = -1;
  std::string error;
  std::string der;
};

Signed signOn(const std::string& module, const std::string& fixture, const std::string& pin,
              const char* digest = "SHA256", const std::string& data = "pay 100 to 42") {
  ScriptedClient c;
  c.answers.push_back(pin);
  Signed s;
  EXPECT_EQ(c.setPKCS11LibName(module.c_str()), 0);
  EXPECT_EQ(c.setDataContentByString(data.c_str()), 0);
  s.code = c.signData(b64(fixture).c_str(), digest, "RSA");
  s.error = c.getErrorText();
  int length = 0;
  if (s.code == 0 && c.getSignedEnvelopeString(nullptr, &length) == 0) {
    std::string text(static_cast<size_t>(length) + 1, '\0');
    EXPECT_EQ(c.getSignedEnvelopeString(text.data(), &length), 0) << c.getErrorText();
    s.der = derOf(text.c_str());
  }
  // The PIN is always asked once the token answered.
  if (s.error.find("CPKCS11TokenUtil::init") == std::string::npos) {
    EXPECT_EQ(c.asked, 1);
  }
  return s;
}

// The SignerInfo's digest algorithm as openssl prints it.
std::string digestAlgorithm(const std::string& der) {
  std::string p = printed(der);
  size_t at = p.find("digestAlgorithm:");
  if (at == std::string::npos) return "";
  at = p.find("algorithm: ", at);
  size_t end = p.find(" (", at);
  return at == std::string::npos || end == std::string::npos ? "" : p.substr(at + 11, end - at - 11);
}

class SoftHsmPath : public ::testing::Test {
 protected:
  void SetUp() override {
    hsm_.initToken("sig", kSoPin, kPin);
    p11test::installForwarder();
  }
  p11test::SoftHsm hsm_{"variant"};
};

TEST_F(SoftHsmPath, SignsWithSha1AtAnyKeySize) {
  hsm_.addIdentity("sig", kPin, "rsa1024", "a1");
  hsm_.addIdentity("sig", kPin, "user", "a2");  // 2048 bits
  for (const char* fixture : {"rsa1024", "user"}) {
    SCOPED_TRACE(fixture);
    Signed s = signOn(p11test::kForwarder, fixture, kPin, "SHA256");
    ASSERT_EQ(s.code, 0) << s.error;
    EXPECT_TRUE(verifies(s.der, "pay 100 to 42"));
    // SHA-1 whatever the page asked.
    EXPECT_EQ(digestAlgorithm(s.der), "sha1");
  }
}

TEST_F(SoftHsmPath, KeySearchAndLoginFailures) {
  hsm_.addIdentity("sig", kPin, "user", "a1", /*certOnly=*/true);
  hsm_.addKey("sig", kPin, fixtures::get("user").keyPem, "b2");  // the key under another CKA_ID
  Signed other = signOn(p11test::kForwarder, "user", kPin);
  EXPECT_EQ(other.code, 13);
  EXPECT_EQ(other.error,
            "CPKCS7SignatureClient::signByPKCS11 -> CPKCS11TokenUtil::findPrivateKeyByCert -> "
            "privateKey not found in token");
  Signed wrongPin = signOn(p11test::kForwarder, "user", "9999");
  EXPECT_EQ(wrongPin.code, 21);
  EXPECT_NE(wrongPin.error.find("during C_Login"), std::string::npos);
  Signed noCert = signOn(p11test::kForwarder, "rsa1024", kPin);
  EXPECT_EQ(noCert.code, 4);
  // A bundle is not taken on this path.
  ScriptedClient c;
  c.answers.push_back(kPin);
  c.setPKCS11LibName(p11test::kForwarder);
  c.setDataContentByString("x");
  EXPECT_EQ(c.signData(p11test::bundleBase64("single").c_str(), "SHA1", "RSA"), 3);
}

// A key object labelled with the certificate's CKA_ID but holding another
// key signs on the token; that signature is refused at once, so the sign
// fails and no envelope is handed out, as text or as a file.
TEST_F(SoftHsmPath, WronglyLabelledKeyFailsTheSign) {
  hsm_.addIdentity("sig", kPin, "user", "a1", /*certOnly=*/true);
  hsm_.addKey("sig", kPin, fixtures::get("ku_sig").keyPem, "a1");
  ScriptedClient c;
  c.answers.push_back(kPin);
  ASSERT_EQ(c.setPKCS11LibName(p11test::kForwarder), 0);
  ASSERT_EQ(c.setDataContentByString("x"), 0);
  EXPECT_EQ(c.signData(b64("user").c_str(), "SHA1", "RSA"), 23);
  EXPECT_STREQ(c.getErrorText(),
               "CPKCS7SignatureClient::signByPKCS11 -> the signature does not verify with the signer certificate");
  int length = 0;
  EXPECT_EQ(c.getSignedEnvelopeString(nullptr, &length), 3);
  EXPECT_EQ(c.getResultText(), nullptr);
  std::string path = testsupport::freshDir("labelled") + "/envelope.der";
  EXPECT_EQ(c.writeSignedEnvelopeFile(path.c_str()), 3);
  EXPECT_TRUE(testsupport::readFile(path).empty());
}

// The probe of the insert-and-remove flow keeps the module initialised;
// the signature that follows in the same process accepts that, and signs.
// In a process of its own: the probe keeps its module, initialised, for the
// life of the process, and a module left initialised would not see the
// tokens of the tests after it.
TEST_F(SoftHsmPath, ProbeThenSignature) {
  hsm_.addIdentity("sig", kPin, "rsa1024", "a1");
  testsupport::inFreshProcess([] {
    EXPECT_EQ(loadPKCS11FunctionList(p11test::kForwarder), 0);
    CK_ULONG n = 0;
    EXPECT_EQ(getPKCS11SlotList(&n), 0);
    EXPECT_EQ(n, 1u);
    Signed s = signOn(p11test::kForwarder, "rsa1024", kPin);
    ASSERT_EQ(s.code, 0) << s.error;
    EXPECT_TRUE(verifies(s.der, "pay 100 to 42"));
    // The token client finalised the module at its end; the next probe
    // initialises it again.
    EXPECT_EQ(loadPKCS11FunctionList(p11test::kForwarder), 0);
    EXPECT_EQ(loadPKCS11FunctionList(nullptr), 1);
  });
}

TEST(FakeModulePath, FirstSlotOfTwoTokensAndCallSequence) {
  p11test::FakeToken fake("variantfake.dll");
  fake.set("tokens", "2");
  fake.addIdentity("rsa1024", 1);
  fake.addIdentity("user", 2);
  for (const char* fixture : {"rsa1024", "user"}) {
    SCOPED_TRACE(fixture);
    p11test::clearCallLog();
    Signed s = signOn("variantfake.dll", fixture, "1234");
    ASSERT_EQ(s.code, 0) << s.error;
    EXPECT_TRUE(verifies(s.der, "pay 100 to 42"));
    std::vector<std::string> names = fake.callNames();
    // init on the first slot, the search with the login inside it, SHA-1 RSA.
    std::vector<std::string> expected = {
        "C_GetFunctionList",   "C_Initialize",        "C_GetSlotList", "C_GetSlotList",
        "C_OpenSession",       "C_FindObjectsInit",   "C_FindObjects", "C_FindObjectsFinal",
        "C_GetAttributeValue", "C_GetAttributeValue", "C_Login",       "C_FindObjectsInit",
        "C_FindObjects",       "C_FindObjectsFinal",  "C_SignInit",    "C_Sign"};
    ASSERT_GE(names.size(), expected.size());
    EXPECT_EQ(std::vector<std::string>(names.begin(), names.begin() + expected.size()), expected);
    bool firstSlot = false, sha1 = false;
    for (const std::string& line : fake.calls()) {
      if (line.rfind("C_OpenSession", 0) == 0) firstSlot = line.find("slot=11") != std::string::npos;
      if (line.rfind("C_SignInit", 0) == 0) sha1 = line.find("mech=0x6") != std::string::npos;
    }
    EXPECT_TRUE(firstSlot);
    EXPECT_TRUE(sha1);
  }
  // A PIN the token refuses is 21 on this path; a locked one 52; a failing
  // C_Sign is 23 with no PIN mapping.
  EXPECT_EQ(signOn("variantfake.dll", "rsa1024", "0000").code, 21);
  fake.set("fail", "C_Sign=0xa0");
  EXPECT_EQ(signOn("variantfake.dll", "rsa1024", "1234").code, 23);
  fake.unset("fail");
  fake.set("locked", "1");
  EXPECT_EQ(signOn("variantfake.dll", "rsa1024", "1234").code, 52);
  fake.unset("locked");
  fake.set("tokens", "0");
  Signed none = signOn("variantfake.dll", "rsa1024", "1234");
  EXPECT_EQ(none.code, 13);
  EXPECT_EQ(none.error, "CPKCS7SignatureClient::signByPKCS11 -> CPKCS11TokenUtil::init -> No token present!");
}

// A key under 1024 bits: the signature is sized from the key and the length
// C_Sign returns is what goes into the envelope (never a fixed 128 bytes of
// which the tail is garbage), so the envelope verifies.
TEST(FakeModulePath, KeyUnder1024BitsSignsAWholeEnvelope) {
  p11test::FakeToken fake("smallkey.dll");
  std::string dir = testsupport::freshDir("smallkey");
  std::string out;
  ASSERT_EQ(testsupport::run("openssl req -x509 -newkey rsa:768 -nodes -keyout " + quote(dir + "/k.pem") +
                                 " -subj /CN=Small -days 2 -outform DER -out " + quote(dir + "/c.der") + " 2>&1",
                             &out),
            0)
      << out;
  fake.set("cert1.der", testsupport::readFile(dir + "/c.der"));
  fake.set("key1.pem", testsupport::readFile(dir + "/k.pem"));
  std::string der = testsupport::readFile(dir + "/c.der");
  char* text = base64Encode(reinterpret_cast<const unsigned char*>(der.data()), static_cast<int>(der.size()));
  ScriptedClient c;
  c.answers.push_back("1234");
  ASSERT_EQ(c.setPKCS11LibName("smallkey.dll"), 0);
  ASSERT_EQ(c.setDataContentByString("small"), 0);
  ASSERT_EQ(c.signData(text, "SHA1", "RSA"), 0) << c.getErrorText();
  std::free(text);
  int length = 0;
  ASSERT_EQ(c.getSignedEnvelopeString(nullptr, &length), 0) << c.getErrorText();
  std::string envelope(static_cast<size_t>(length) + 1, '\0');
  ASSERT_EQ(c.getSignedEnvelopeString(envelope.data(), &length), 0);
  testsupport::writeFile(dir + "/m.der", derOf(envelope.c_str()));
  ASSERT_EQ(testsupport::run("openssl cms -verify -noverify -inform DER -binary -in " + quote(dir + "/m.der") +
                                 " -out " + quote(dir + "/content") + " 2>&1",
                             &out),
            0)
      << out;
  EXPECT_EQ(testsupport::readFile(dir + "/content"), "small");
}

TEST(ModuleName, TheFieldHoldsOneHundredTwentySevenCharacters) {
  ScriptedClient c;
  EXPECT_STREQ(c.getProvider(), "MicroSoftCAPI");
  EXPECT_EQ(c.setPKCS11LibName("first.dll"), 0);
  const std::string fits(127, 'a'), tooLong(128, 'b');
  EXPECT_EQ(c.setPKCS11LibName(fits.c_str()), 0);
  EXPECT_EQ(c.getProvider(), fits);
  // A cut name would name another file: refused, the old name stays.
  EXPECT_EQ(c.setPKCS11LibName(tooLong.c_str()), 1);
  EXPECT_EQ(c.getProvider(), fits);
  EXPECT_EQ(c.setPKCS11LibName(""), 1);
  EXPECT_STREQ(c.getErrorText(),
               "CPKCS7SignatureClient::setPKCS11LibName -> pchPKCS11LibName can't be null or empty string");
  EXPECT_EQ(c.getProvider(), fits);
  EXPECT_EQ(c.setPKCS11LibName(nullptr), 1);
  EXPECT_EQ(c.getProvider(), fits);
}

}  // namespace

// The MD5-with-RSA value: byte for byte what openssl dgst -md5 -sign makes
// with the same key, for software keys and a key on a SoftHSM2 token.
#include <cctype>
#include <string>

#include <gtest/gtest.h>

#include "SigTestSupport.h"
#include "VariantClient.h"
#include "platform/crypt.h"
#include "signlib/MathUtils.h"

using namespace sigtest;
using varianttest::ScriptedClient;

namespace {

std::string hexUpper(const std::string& bytes) {
  static const char* d = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : bytes) {
    out.push_back(d[c >> 4]);
    out.push_back(d[c & 15]);
  }
  return out;
}

std::string unhex(const std::string& text) {
  std::string out;
  for (size_t i = 0; i + 1 < text.size(); i += 2)
    out.push_back(static_cast<char>(std::stoi(text.substr(i, 2), nullptr, 16)));
  return out;
}

// What openssl makes of the data with the fixture's key, and whether the
// value verifies with the certificate's public key.
std::string opensslValue(const std::string& fixture, const std::string& data) {
  std::string dir = testsupport::freshDir("md5");
  testsupport::writeFile(dir + "/data", data);
  std::string sig;
  EXPECT_EQ(testsupport::run(
                "openssl dgst -md5 -sign " + quote(fixtures::get(fixture).keyPem) + " " + quote(dir + "/data"), &sig),
            0);
  return hexUpper(sig);
}

bool opensslVerifies(const std::string& fixture, const std::string& data, const std::string& signature) {
  std::string dir = testsupport::freshDir("md5v");
  testsupport::writeFile(dir + "/data", data);
  testsupport::writeFile(dir + "/sig", signature);
  testsupport::run("openssl x509 -pubkey -noout -in " + quote(fixtures::get(fixture).certPem) + " > " +
                   quote(dir + "/pub"));
  return testsupport::run("openssl dgst -md5 -verify " + quote(dir + "/pub") + " -signature " + quote(dir + "/sig") +
                          " " + quote(dir + "/data") + " >/dev/null 2>&1") == 0;
}

TEST(Md5Value, SoftwareKeysAsOpensslSigns) {
  for (const char* fixture : {"rsa1024", "user"}) {
    importSoftware(fixture);
    for (const std::string& data : {std::string(), std::string("pay 100 to account 42")}) {
      SCOPED_TRACE(std::string(fixture) + " [" + data + "]");
      ScriptedClient c;
      ASSERT_EQ(c.setDataContentByString(data.c_str()), 0);
      ASSERT_EQ(c.MD5RSASignValue(b64(fixture).c_str()), 0) << c.getErrorText();
      std::string value = c.getResultText();
      EXPECT_EQ(value.size(), 2u * fixtures::get(fixture).bits / 8);  // 256 or 512 characters
      EXPECT_EQ(value, opensslValue(fixture, data));
      EXPECT_TRUE(opensslVerifies(fixture, data, unhex(value)));
      // Byte-reversed, as CryptoAPI hands the signature out, it does not verify.
      std::string raw = unhex(value);
      EXPECT_FALSE(opensslVerifies(fixture, data, std::string(raw.rbegin(), raw.rend())));
      EXPECT_EQ(c.asked, 0);  // a software key asks for no PIN
    }
  }
}

TEST(Md5Value, FailuresKeepOrDropTheResult) {
  importSoftware("rsa1024");
  ScriptedClient c;
  // No data content at all: code 3, nothing read.
  EXPECT_EQ(c.MD5RSASignValue(b64("rsa1024").c_str()), 3);
  EXPECT_EQ(c.getResultText(), nullptr);
  ASSERT_EQ(c.setDataContentByString("abc"), 0);
  ASSERT_EQ(c.MD5RSASignValue(b64("rsa1024").c_str()), 0);
  const std::string first = c.getResultText();
  // A certificate not in the store: the login's code; the value stays.
  EXPECT_EQ(c.MD5RSASignValue(b64("ku_enc").c_str()), 23);
  EXPECT_EQ(first, c.getResultText());
  EXPECT_EQ(c.MD5RSASignValue(nullptr), 1);
  // A deterministic key signs the same data to the same text.
  ASSERT_EQ(c.MD5RSASignValue(b64("rsa1024").c_str()), 0);
  EXPECT_EQ(first, c.getResultText());
}

// The software key file no longer holds the certificate's key: the key is
// refused when it is acquired, so nothing is signed and no value kept.
TEST(Md5Value, KeyOfAnotherCertificateIsRefused) {
  importSoftware("rsa3072");
  HCERTSTORE my = CertOpenSystemStoreA(0, "MY");
  std::string container;
  for (PCCERT_CONTEXT c = CertEnumCertificatesInStore(my, nullptr); c != nullptr;
       c = CertEnumCertificatesInStore(my, c)) {
    char name[64] = {};
    CertGetNameStringA(c, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, name, sizeof name);
    DWORD n = 0;
    if (std::string(name).find("3072") == std::string::npos ||
        !CertGetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &n))
      continue;
    std::vector<BYTE> buf(n);
    CertGetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, buf.data(), &n);
    for (const char16_t* w = reinterpret_cast<CRYPT_KEY_PROV_INFO*>(buf.data())->pwszContainerName; *w; ++w)
      container.push_back(static_cast<char>(*w));
  }
  CertCloseStore(my, 0);
  ASSERT_FALSE(container.empty());
  testsupport::writeFile(testsupport::platformRoot() + "/keys/" + container + ".key",
                         testsupport::readFile(fixtures::get("rsa4096").keyPem));
  ScriptedClient c;
  c.setDataContentByString("abc");
  EXPECT_EQ(c.MD5RSASignValue(b64("rsa3072").c_str()), 23);
  // Refused when the key is acquired, before anything is signed.
  EXPECT_NE(std::string(c.getErrorText()).find("error 0x80090015 during CryptAcquireCertificatePrivateKey"),
            std::string::npos)
      << c.getErrorText();
  EXPECT_EQ(c.getResultText(), nullptr);
}

TEST(Md5Value, TokenKeyThroughTheTokenProvider) {
  Token token("user");
  ScriptedClient c;
  c.EnableLoginAgency = 1;
  c.answers = {"0000", kPin, varianttest::kCancel};
  ASSERT_EQ(c.setDataContentByString("token data"), 0);
  // A wrong PIN fails the login (23: not in the wrong-password list), then
  // the value is signed on the token.
  EXPECT_EQ(c.MD5RSASignValue(b64("user").c_str()), 23);
  ASSERT_EQ(c.MD5RSASignValue(b64("user").c_str()), 0) << c.getErrorText();
  EXPECT_EQ(c.getResultText(), opensslValue("user", "token data"));
  EXPECT_EQ(c.MD5RSASignValue(b64("user").c_str()), 28);
}

TEST(Md5Value, LoginHandsOutTheProvider) {
  importSoftware("rsa1024");
  ScriptedClient c;
  HCRYPTPROV prov = 0;
  DWORD spec = 0;
  BOOL callerFree = FALSE;
  ASSERT_EQ(c.loginSmartCard(b64("rsa1024").c_str(), &prov, &spec, &callerFree), 0);
  EXPECT_NE(prov, 0u);
  EXPECT_EQ(spec, AT_KEYEXCHANGE);
  EXPECT_TRUE(callerFree);
  DWORD n = 0;
  EXPECT_TRUE(CryptGetProvParam(prov, PP_NAME, nullptr, &n, 0));  // still alive: ours to release
  EXPECT_TRUE(CryptReleaseContext(prov, 0));
  EXPECT_FALSE(CryptGetProvParam(prov, PP_NAME, nullptr, &n, 0));
  // A failing login hands nothing out.
  prov = 0;
  EXPECT_NE(c.loginSmartCard(b64("ku_enc").c_str(), &prov, &spec, &callerFree), 0);
  EXPECT_EQ(prov, 0u);
}

TEST(ByteHelpers, SwapAndHex) {
  const unsigned char in[] = {0x00, 0xFF, 0x1A};
  unsigned char out[3] = {};
  ASSERT_EQ(CMathUtils::SwapByte(in, 3, out), 0);
  EXPECT_EQ(out[0], 0x1A);
  EXPECT_EQ(out[2], 0x00);
  char text[6];
  size_t n = 99;
  ASSERT_EQ(Binary2Ascii(in, 3, text, &n), 0);
  EXPECT_EQ(std::string(text, n), "00FF1A");
  EXPECT_NE(CMathUtils::SwapByte(nullptr, 2, out), 0);
  EXPECT_STREQ(CMathUtils::getErrorText(), "CMathUtils::SwapByte -> Unknown error");
}

}  // namespace

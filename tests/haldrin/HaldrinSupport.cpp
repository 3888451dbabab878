#include "HaldrinSupport.h"

#include <filesystem>
#include <string>

#include "Fixtures.h"
#include "TestRoot.h"
#include "platform/kernel.h"
#include "platform/locale.h"

namespace fs = std::filesystem;

namespace haldrintest {

std::string haldrinPath() { return fs::canonical(HALDRIN_PATH).string(); }

void HaldrinTest::SetUp() {
  enterControlTest(haldrinPath());
}

void HaldrinTest::TearDown() {
  leaveControlTest(haldrinPath());
}

const BankKey& bankKey() {
  static BankKey key = [] {
    BankKey k;
    k.dir = testsupport::freshDir("bankkey");
    k.privatePem = k.dir + "/bank.pem";
    EXPECT_EQ(testsupport::run("openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:1024 -out " + k.privatePem +
                               " 2>/dev/null"),
              0);
    std::string out;
    EXPECT_EQ(testsupport::run("openssl pkey -in " + k.privatePem + " -pubout -outform DER | base64 -w0", &out), 0);
    k.publicBase64 = out;
    return k;
  }();
  return key;
}

bool bankDecrypt(const std::string& c, std::string* plain) {
  size_t bar = c.find('|');
  if (bar == std::string::npos) return false;
  const BankKey& k = bankKey();
  testsupport::writeFile(k.dir + "/text.b64", c.substr(0, bar) + "\n");
  testsupport::writeFile(k.dir + "/key.b64", c.substr(bar + 1) + "\n");
  std::string keyHex;
  if (testsupport::run("base64 -d " + k.dir + "/key.b64 | openssl pkeyutl -decrypt -inkey " + k.privatePem +
                           " -pkeyopt rsa_padding_mode:pkcs1 | od -An -tx1 | tr -d ' \\n'",
                       &keyHex) != 0 ||
      keyHex.size() != 32)
    return false;
  return testsupport::run("base64 -d " + k.dir + "/text.b64 | openssl enc -d -des-ede -nosalt -K " + keyHex, plain) ==
         0;
}

std::string md5RsaByOpenssl(const std::string& fixture, const std::string& data) {
  std::string dir = testsupport::freshDir("md5sign");
  testsupport::writeFile(dir + "/data", data);
  std::string hex;
  testsupport::run("openssl dgst -md5 -sign " + quote(fixtures::get(fixture).keyPem) + " " + quote(dir + "/data") +
                       " | od -An -tx1 | tr -d ' \\n' | tr a-f A-F",
                   &hex);
  return hex;
}

bool md5RsaVerifies(const std::string& fixture, const std::string& data, const std::string& hexSignature) {
  std::string dir = testsupport::freshDir("md5verify");
  testsupport::writeFile(dir + "/data", data);
  std::string bytes;
  for (size_t i = 0; i + 1 < hexSignature.size(); i += 2)
    bytes.push_back(static_cast<char>(std::stoi(hexSignature.substr(i, 2), nullptr, 16)));
  testsupport::writeFile(dir + "/sig.bin", bytes);
  if (testsupport::run("openssl x509 -in " + quote(fixtures::get(fixture).certPem) + " -pubkey -noout > " +
                       quote(dir + "/pub.pem")) != 0)
    return false;
  std::string out;
  return testsupport::run("openssl dgst -md5 -verify " + quote(dir + "/pub.pem") + " -signature " +
                              quote(dir + "/sig.bin") + " " + quote(dir + "/data") + " 2>&1",
                          &out) == 0;
}

}  // namespace haldrintest

#include "BankKey.h"

#include <gtest/gtest.h>

#include "TestRoot.h"

namespace testsupport {

const BankKey& bankKey() {
  static BankKey key = [] {
    BankKey k;
    k.dir = freshDir("bankkey");
    k.privatePem = k.dir + "/bank.pem";
    EXPECT_EQ(run("openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:1024 -out " + k.privatePem + " 2>/dev/null"),
              0);
    std::string out;
    EXPECT_EQ(run("openssl pkey -in " + k.privatePem + " -pubout -outform DER | base64 -w0", &out), 0);
    k.publicBase64 = out;
    return k;
  }();
  return key;
}

bool bankDecrypt(const std::string& c, std::string* plain) {
  size_t bar = c.find('|');
  if (bar == std::string::npos) return false;
  const BankKey& k = bankKey();
  writeFile(k.dir + "/text.b64", c.substr(0, bar) + "\n");
  writeFile(k.dir + "/key.b64", c.substr(bar + 1) + "\n");
  std::string keyHex;
  if (run("base64 -d " + k.dir + "/key.b64 | openssl pkeyutl -decrypt -inkey " + k.privatePem +
              " -pkeyopt rsa_padding_mode:pkcs1 | od -An -tx1 | tr -d ' \\n'",
          &keyHex) != 0 ||
      keyHex.size() != 32)
    return false;
  return run("base64 -d " + k.dir + "/text.b64 | openssl enc -d -des-ede -nosalt -K " + keyHex, plain) == 0;
}

}  // namespace testsupport

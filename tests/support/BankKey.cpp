#include "BankKey.h"

#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <cstdlib>

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

bool decryptCipherText(const std::string& privatePem, const std::string& c, std::string* plain) {
  size_t bar = c.find('|');
  if (bar == std::string::npos) return false;
  const std::string dir = freshDir("decrypt");
  writeFile(dir + "/text.b64", c.substr(0, bar) + "\n");
  writeFile(dir + "/key.b64", c.substr(bar + 1) + "\n");
  std::string keyHex;
  if (run("base64 -d " + dir + "/key.b64 | openssl pkeyutl -decrypt -inkey " + quote(privatePem) +
              " -pkeyopt rsa_padding_mode:pkcs1 | od -An -tx1 | tr -d ' \\n'",
          &keyHex) != 0 ||
      keyHex.size() != 32)
    return false;
  return run("base64 -d " + dir + "/text.b64 | openssl enc -d -des-ede -nosalt -K " + keyHex, plain) == 0;
}

bool bankDecrypt(const std::string& c, std::string* plain) { return decryptCipherText(bankKey().privatePem, c, plain); }

std::string rsaPublicKeyText(const std::vector<unsigned char>& modulus, const std::vector<unsigned char>& exponent) {
  OSSL_PARAM_BLD* bld = OSSL_PARAM_BLD_new();
  BIGNUM* n = BN_bin2bn(modulus.data(), static_cast<int>(modulus.size()), nullptr);
  BIGNUM* e = BN_bin2bn(exponent.data(), static_cast<int>(exponent.size()), nullptr);
  OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_N, n);
  OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_E, e);
  OSSL_PARAM* params = OSSL_PARAM_BLD_to_param(bld);
  EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr);
  EVP_PKEY* key = nullptr;
  EVP_PKEY_fromdata_init(ctx);
  EVP_PKEY_fromdata(ctx, &key, EVP_PKEY_PUBLIC_KEY, params);
  unsigned char* der = nullptr;
  int len = key != nullptr ? i2d_PUBKEY(key, &der) : 0;
  std::string out;
  if (len > 0) {
    out.assign(4 * ((static_cast<size_t>(len) + 2) / 3) + 1, '\0');
    out.resize(static_cast<size_t>(EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), der, len)));
  }
  OPENSSL_free(der);
  EVP_PKEY_free(key);
  EVP_PKEY_CTX_free(ctx);
  OSSL_PARAM_free(params);
  OSSL_PARAM_BLD_free(bld);
  BN_free(n);
  BN_free(e);
  return out;
}

std::string rsaPublicKeyText(const std::vector<unsigned char>& modulus, unsigned long exponent) {
  std::vector<unsigned char> e;
  for (; exponent != 0; exponent >>= 8) e.insert(e.begin(), static_cast<unsigned char>(exponent & 0xFF));
  return rsaPublicKeyText(modulus, e);
}

std::vector<unsigned char> rsaModulus(const std::string& privatePem) {
  std::vector<unsigned char> out;
  BIO* in = BIO_new_file(privatePem.c_str(), "r");
  EVP_PKEY* key = in != nullptr ? PEM_read_bio_PrivateKey(in, nullptr, nullptr, nullptr) : nullptr;
  BIO_free(in);
  BIGNUM* n = nullptr;
  if (key != nullptr && EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_RSA_N, &n) == 1) {
    out.resize(static_cast<size_t>(BN_num_bytes(n)));
    BN_bn2bin(n, out.data());
  }
  BN_free(n);
  EVP_PKEY_free(key);
  return out;
}

std::vector<unsigned char> bankModulus() { return rsaModulus(bankKey().privatePem); }

std::vector<unsigned char> twoPrimeModulus(int bits) {
  std::vector<unsigned char> out;
  BN_CTX* ctx = BN_CTX_new();
  BIGNUM* p = BN_new();
  BIGNUM* q = BN_new();
  BIGNUM* n = BN_new();
  // OpenSSL sets the top two bits of a prime it makes, so the product of a
  // prime of a bits and one of b bits has a + b bits; checked all the same.
  for (int tries = 0; tries < 100 && out.empty(); ++tries) {
    if (BN_generate_prime_ex(p, (bits + 1) / 2, 0, nullptr, nullptr, nullptr) != 1 ||
        BN_generate_prime_ex(q, bits / 2, 0, nullptr, nullptr, nullptr) != 1 || BN_mul(n, p, q, ctx) != 1)
      break;
    if (BN_num_bits(n) != bits || BN_cmp(p, q) == 0) continue;
    out.resize(static_cast<size_t>(BN_num_bytes(n)));
    BN_bn2bin(n, out.data());
  }
  BN_free(n);
  BN_free(q);
  BN_free(p);
  BN_CTX_free(ctx);
  return out;
}

std::string cachedRsaKey(int bits, const std::string& exponent) {
  const char* data = std::getenv("TEST_DATA_DIR");
  const std::string dir = std::string(data != nullptr && *data != '\0' ? data : ".") + "/rsakeys";
  const std::string name = "rsa" + std::to_string(bits) + "e" + exponent;
  // Binaries run side by side: one makes the key, the others wait for it.
  const std::string script = "set -e\nmkdir -p " + quote(dir) + "\ncd " + quote(dir) +
                             "\nexec 9>.lock\nflock 9\n[ -s " + name +
                             ".pem ] || { openssl genpkey -algorithm RSA "
                             "-pkeyopt rsa_keygen_bits:" +
                             std::to_string(bits) + " -pkeyopt rsa_keygen_pubexp:" + exponent + " -out " + name +
                             ".tmp 2>/dev/null && mv " + name + ".tmp " + name + ".pem; }\n";
  const std::string file = freshDir("rsakey-" + name) + "/make-key.sh";
  writeFile(file, script);
  EXPECT_EQ(run("bash " + quote(file)), 0) << name;
  return dir + "/" + name + ".pem";
}

std::string publicKeyTextOf(const std::string& privatePem) {
  std::string out;
  EXPECT_EQ(run("openssl pkey -in " + quote(privatePem) + " -pubout -outform DER | base64 -w0", &out), 0);
  return out;
}

std::vector<NamedKey> keysThatCannotProtect(const std::vector<unsigned char>& modulus) {
  const std::vector<unsigned char> n4096 = rsaModulus(cachedRsaKey(4096, "4294967297"));
  EXPECT_EQ(n4096.size(), 512u);
  // Built as DER, no key is made.
  std::vector<unsigned char> n16385(2049, 0xC3);
  n16385[0] = 0x01;
  n16385[2048] = 0xC5;
  std::vector<NamedKey> keys = {
      {"exponent 1", rsaPublicKeyText(modulus, 1)},
      {"exponent 0", rsaPublicKeyText(modulus, 0)},
      {"exponent 65536", rsaPublicKeyText(modulus, 65536)},
      {"216 bits", rsaPublicKeyText(twoPrimeModulus(216), 65537)},
      {"511 bits", rsaPublicKeyText(twoPrimeModulus(511), 65537)},
      {"4096 bits, e = n", rsaPublicKeyText(n4096, n4096)},
      {"4096 bits, e = 2^64+1", rsaPublicKeyText(n4096, {1, 0, 0, 0, 0, 0, 0, 0, 1})},
      {"16385 bits", rsaPublicKeyText(n16385, 65537)},
  };
  for (const NamedKey& k : keys) EXPECT_FALSE(k.key.empty()) << k.what;
  return keys;
}

}  // namespace testsupport

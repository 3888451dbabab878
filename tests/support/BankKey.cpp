#include "BankKey.h"

#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

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

std::string rsaPublicKeyText(const std::vector<unsigned char>& modulus, unsigned long exponent) {
  OSSL_PARAM_BLD* bld = OSSL_PARAM_BLD_new();
  BIGNUM* n = BN_bin2bn(modulus.data(), static_cast<int>(modulus.size()), nullptr);
  BIGNUM* e = BN_new();
  BN_set_word(e, exponent);
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

std::vector<unsigned char> bankModulus() {
  std::vector<unsigned char> out;
  BIO* in = BIO_new_file(bankKey().privatePem.c_str(), "r");
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

}  // namespace testsupport

#include "StoreKeys.h"

#include <filesystem>
#include <vector>

#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/pem.h>

#include "Fixtures.h"
#include "TestRoot.h"
#include "platform/kernel.h"

namespace testsupport {

namespace {
EVP_PKEY* readKey(const std::string& path) {
  BIO* in = BIO_new_file(path.c_str(), "r");
  EVP_PKEY* key = in != nullptr ? PEM_read_bio_PrivateKey(in, nullptr, nullptr, nullptr) : nullptr;
  BIO_free(in);
  return key;
}
}  // namespace

void replaceStoreKeyOf(const std::string& fixture, const std::string& keyPem) {
  EVP_PKEY* wanted = readKey(fixtures::get(fixture).keyPem);
  ASSERT_NE(wanted, nullptr) << fixture;
  std::string pem;
  ASSERT_EQ(run("openssl pkcs8 -topk8 -nocrypt -in " + quote(keyPem), &pem), 0);
  int replaced = 0;
  for (const auto& e : std::filesystem::directory_iterator(std::string(PlatformRoot()) + "/keys")) {
    if (e.path().extension() != ".key") continue;
    EVP_PKEY* held = readKey(e.path().string());
    const bool same = held != nullptr && EVP_PKEY_eq(held, wanted) == 1;
    EVP_PKEY_free(held);
    if (!same) continue;
    writeFile(e.path().string(), pem);
    ++replaced;
  }
  EVP_PKEY_free(wanted);
  ASSERT_GE(replaced, 1) << fixture;
}

void writeDamagedKey(const std::string& fixture, const std::string& path) {
  BIO* in = BIO_new_file(fixtures::get(fixture).keyPem.c_str(), "r");
  EVP_PKEY* key = PEM_read_bio_PrivateKey(in, nullptr, nullptr, nullptr);
  BIO_free(in);
  ASSERT_NE(key, nullptr);
  const char* names[] = {
      "n", "e", "d", "rsa-factor1", "rsa-factor2", "rsa-exponent1", "rsa-exponent2", "rsa-coefficient1"};
  OSSL_PARAM_BLD* bld = OSSL_PARAM_BLD_new();
  std::vector<BIGNUM*> values;
  for (const char* name : names) {
    BIGNUM* v = nullptr;
    ASSERT_EQ(EVP_PKEY_get_bn_param(key, name, &v), 1) << name;
    if (std::string(name) == "rsa-exponent1" || std::string(name) == "d") BN_add_word(v, 2);
    OSSL_PARAM_BLD_push_BN(bld, name, v);
    values.push_back(v);
  }
  OSSL_PARAM* params = OSSL_PARAM_BLD_to_param(bld);
  EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr);
  EVP_PKEY* bad = nullptr;
  ASSERT_EQ(EVP_PKEY_fromdata_init(ctx), 1);
  ASSERT_EQ(EVP_PKEY_fromdata(ctx, &bad, EVP_PKEY_KEYPAIR, params), 1);
  BIO* out = BIO_new_file(path.c_str(), "w");
  ASSERT_EQ(PEM_write_bio_PrivateKey(out, bad, nullptr, nullptr, 0, nullptr, nullptr), 1);
  BIO_free(out);
  EVP_PKEY_free(bad);
  EVP_PKEY_CTX_free(ctx);
  OSSL_PARAM_free(params);
  OSSL_PARAM_BLD_free(bld);
  for (BIGNUM* v : values) BN_free(v);
  EVP_PKEY_free(key);
}

}  // namespace testsupport

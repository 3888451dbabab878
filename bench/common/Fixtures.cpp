#include "Fixtures.h"

#include <benchmark/benchmark.h>
#include <openssl/bio.h>
#include <openssl/pkcs12.h>
#include <openssl/pkcs7.h>
#include <openssl/x509v3.h>
#include <stdlib.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/kernel.h"

namespace fs = std::filesystem;

namespace bench {

std::string makeRoot(const std::string& prefix) {
  std::string base = "/tmp/" + prefix + "-XXXXXX";
  if (mkdtemp(base.data()) == nullptr) return {};
  setenv("PLATFORM_ROOT", base.c_str(), 1);
  PlatformResetRoot();
  return base;
}

void removeRoot(const std::string& root) {
  if (root.empty()) return;
  std::error_code ec;
  fs::remove_all(root, ec);
}

bool sh(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()) == 0; }

std::string readAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

std::string quote(const std::string& s) {
  std::string out = "'";
  for (char c : s) {
    if (c == '\'')
      out += "'\\''";
    else
      out.push_back(c);
  }
  return out + "'";
}

Identity::~Identity() {
  X509_free(cert);
  EVP_PKEY_free(key);
}

bool Identity::make(const char* commonName, long serial) {
  key = EVP_RSA_gen(2048);
  if (key == nullptr) return false;
  X509* x = X509_new();
  X509_set_version(x, X509_VERSION_3);
  ASN1_INTEGER_set(X509_get_serialNumber(x), serial);
  X509_gmtime_adj(X509_getm_notBefore(x), -86400);
  X509_gmtime_adj(X509_getm_notAfter(x), 86400L * 365);
  X509_set_pubkey(x, key);
  X509_NAME* name = X509_get_subject_name(x);
  X509_NAME_add_entry_by_txt(name, "C", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("TW"), -1, -1, 0);
  X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("Bench Bank"), -1, -1, 0);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(commonName), -1, -1, 0);
  X509_set_issuer_name(x, name);
  X509V3_CTX ctx;
  X509V3_set_ctx(&ctx, x, x, nullptr, nullptr, 0);
  X509_EXTENSION* ku = X509V3_EXT_conf_nid(nullptr, &ctx, NID_key_usage, "critical,digitalSignature,nonRepudiation");
  X509_add_ext(x, ku, -1);
  X509_EXTENSION_free(ku);
  cert = x;
  return X509_sign(x, key, EVP_sha256()) > 0;
}

std::vector<unsigned char> Identity::pkcs12() const {
  PKCS12* p12 = PKCS12_create("bench", "bench", key, cert, nullptr, 0, 0, 0, 0, 0);
  unsigned char* der = nullptr;
  int n = p12 != nullptr ? i2d_PKCS12(p12, &der) : 0;
  PKCS12_free(p12);
  std::vector<unsigned char> out;
  if (n > 0) out.assign(der, der + n);
  OPENSSL_free(der);
  return out;
}

bool Identity::writePkcs12(const std::string& path) const {
  std::vector<unsigned char> der = pkcs12();
  if (der.empty()) return false;
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(der.data()), static_cast<std::streamsize>(der.size()));
  return static_cast<bool>(out.flush());
}

std::string Identity::certificateBase64() const {
  unsigned char* der = nullptr;
  int n = i2d_X509(cert, &der);
  if (n <= 0) return {};
  std::vector<unsigned char> b64(4 * ((n + 2) / 3) + 1);
  EVP_EncodeBlock(b64.data(), der, n);
  OPENSSL_free(der);
  return reinterpret_cast<char*>(b64.data());
}

bool pkcs7SignOnce(const Identity& signer, const std::string& data, int createFlags, int signerFlags, int finalFlags) {
  BIO* in = BIO_new_mem_buf(data.data(), static_cast<int>(data.size()));
  PKCS7* p7 = PKCS7_sign(nullptr, nullptr, nullptr, nullptr, createFlags);
  bool ok = in != nullptr && p7 != nullptr &&
            PKCS7_sign_add_signer(p7, signer.cert, signer.key, EVP_sha1(), signerFlags) != nullptr &&
            PKCS7_final(p7, in, finalFlags) == 1;
  unsigned char* der = nullptr;
  int n = ok ? i2d_PKCS7(p7, &der) : -1;
  benchmark::DoNotOptimize(n);
  OPENSSL_free(der);
  PKCS7_free(p7);
  BIO_free(in);
  return ok && n > 0;
}

}  // namespace bench

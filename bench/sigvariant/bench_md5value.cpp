// MD5RSASignValue with a 2048-bit software key in the user's store against
// EVP_DigestSign with MD5 and the same key, already loaded, over the same
// data. The value's side also finds the certificate in the store, acquires
// the key, reverses the signature, checks it against the certificate and
// writes the hexadecimal text; the RSA signature dominates both.
//
// BM_Interleaved runs the two alternately and measures each one's CPU time;
// "ratio: x" is the value's time over OpenSSL's; the goal is at most 1.2.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <openssl/evp.h>
#include <openssl/pkcs12.h>
#include <openssl/x509.h>

#include "Interleaved.h"
#include "signlib/Base64.h"
#include "signlib/PKCS7SignatureClient.h"
#include "platform/crypt.h"
#include "platform/kernel.h"

namespace fs = std::filesystem;

namespace {

struct Setup {
  std::string root;
  EVP_PKEY* key = nullptr;
  std::string certificateBase64;
  std::string data = std::string(4096, 'm');
};
Setup gSetup;

bool makeSetup() {
  std::string base = (fs::temp_directory_path() / "bench-md5value-XXXXXX").string();
  if (mkdtemp(base.data()) == nullptr) return false;
  gSetup.root = base;
  setenv("PLATFORM_ROOT", base.c_str(), 1);
  PlatformResetRoot();
  gSetup.key = EVP_RSA_gen(2048);
  X509* x = X509_new();
  X509_set_version(x, X509_VERSION_3);
  ASN1_INTEGER_set(X509_get_serialNumber(x), 0x3535);
  X509_NAME* name = X509_NAME_new();
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>("Bench MD5"), -1, -1, 0);
  X509_set_subject_name(x, name);
  X509_set_issuer_name(x, name);
  X509_NAME_free(name);
  X509_gmtime_adj(X509_getm_notBefore(x), 0);
  X509_gmtime_adj(X509_getm_notAfter(x), 3600L * 24 * 365);
  X509_set_pubkey(x, gSetup.key);
  if (gSetup.key == nullptr || X509_sign(x, gSetup.key, EVP_sha256()) <= 0) return false;
  PKCS12* p12 = PKCS12_create("bench", "bench", gSetup.key, x, nullptr, 0, 0, 0, 0, 0);
  X509_free(x);
  unsigned char* der = nullptr;
  int n = p12 != nullptr ? i2d_PKCS12(p12, &der) : 0;
  PKCS12_free(p12);
  if (n <= 0) return false;
  CRYPT_DATA_BLOB blob{static_cast<DWORD>(n), der};
  HCERTSTORE pfx = PFXImportCertStore(&blob, u"bench", CRYPT_EXPORTABLE | CRYPT_USER_KEYSET);
  OPENSSL_free(der);
  HCERTSTORE my = CertOpenSystemStoreA(0, "MY");
  PCCERT_CONTEXT c = pfx != nullptr ? CertEnumCertificatesInStore(pfx, nullptr) : nullptr;
  bool ok = c != nullptr && my != nullptr && CertAddCertificateContextToStore(my, c, CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
  if (ok) {
    char* text = base64Encode(c->pbCertEncoded, static_cast<int>(c->cbCertEncoded));
    gSetup.certificateBase64 = text != nullptr ? text : "";
    std::free(text);
  }
  if (c != nullptr) CertFreeCertificateContext(c);
  if (pfx != nullptr) CertCloseStore(pfx, 0);
  if (my != nullptr) CertCloseStore(my, 0);
  return ok && !gSetup.certificateBase64.empty();
}

CPKCS7SignatureClient& client() {
  static CPKCS7SignatureClient* c = [] {
    auto* made = new CPKCS7SignatureClient(SignVariant::signatureControl());
    made->setDataContentByString(gSetup.data.c_str());
    return made;
  }();
  return *c;
}

bool valueOnce(std::string* error) {
  if (client().MD5RSASignValue(gSetup.certificateBase64.c_str()) != 0) {
    *error = client().getErrorText();
    return false;
  }
  benchmark::DoNotOptimize(client().getResultText());
  return true;
}

bool openSslOnce() {
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  unsigned char signature[256];
  size_t length = sizeof signature;
  bool ok = ctx != nullptr && EVP_DigestSignInit(ctx, nullptr, EVP_md5(), nullptr, gSetup.key) == 1 &&
            EVP_DigestSign(ctx, signature, &length, reinterpret_cast<const unsigned char*>(gSetup.data.data()),
                           gSetup.data.size()) == 1;
  benchmark::DoNotOptimize(signature);
  EVP_MD_CTX_free(ctx);
  return ok;
}

void BM_OpenSSL(benchmark::State& state) {
  for (auto _ : state)
    if (!openSslOnce()) {
      state.SkipWithError("EVP_DigestSign failed");
      return;
    }
}

void BM_MD5RSASignValue(benchmark::State& state) {
  std::string error;
  for (auto _ : state)
    if (!valueOnce(&error)) {
      state.SkipWithError(error.c_str());
      return;
    }
}

void BM_Interleaved(benchmark::State& state) {
  bench::interleave(state, {"value_ms", [](std::string* error) { return valueOnce(error); }},
                    {"openssl_ms", [](std::string* error) {
                       if (openSslOnce()) return true;
                       *error = "EVP_DigestSign failed";
                       return false;
                     }});
}

BENCHMARK(BM_OpenSSL)->Unit(benchmark::kMicrosecond)->MinTime(1.0);
BENCHMARK(BM_MD5RSASignValue)->Unit(benchmark::kMicrosecond)->MinTime(1.0);
BENCHMARK(BM_Interleaved)->Unit(benchmark::kMicrosecond)->MinTime(3.0)->Repetitions(3)->ReportAggregatesOnly(true);

}  // namespace

int main(int argc, char** argv) {
  if (!makeSetup()) {
    std::fprintf(stderr, "could not make the signer key and certificate\n");
    return 1;
  }
  benchmark::Initialize(&argc, argv);
  bench::RatioReporter reporter([](double ratio) {
    std::printf("ratio: %.2f (MD5RSASignValue over EVP_DigestSign with MD5; goal: at most 1.2)\n", ratio);
  });
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  std::error_code ec;
  fs::remove_all(gSetup.root, ec);
  return 0;
}

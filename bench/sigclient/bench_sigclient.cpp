// One CryptoAPI signature of the signature client, `sign` plus the string
// getter's two calls (length, then text), with a 2048-bit software key in
// the user's store, against OpenSSL's own PKCS7_sign of the same data with
// the same key, already loaded, and the same options: SHA-1, no signed
// attributes, binary content attached, the signer's certificate carried.
//
// The client's side also finds the certificate in the store, acquires the
// key (twice, as the encoder is asked twice) and writes the Base64 text;
// the RSA signature dominates both.
//
// BM_Interleaved runs the two alternately in one loop, so that the machine's
// load falls on both alike, and measures each one's CPU time. Each benchmark
// runs once; "ratio: x" at the end is the client's time over OpenSSL's; the
// goal is at most 1.2.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pkcs12.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>

#include "signlib/Base64.h"
#include "signlib/PKCS7SignatureClient.h"
#include "platform/crypt.h"
#include "platform/kernel.h"

#include "Interleaved.h"

namespace fs = std::filesystem;

namespace {

struct Setup {
  std::string root;
  EVP_PKEY* key = nullptr;
  X509* cert = nullptr;
  std::string certificateBase64;
  std::string data = std::string(4096, 'd');
};
Setup gSetup;


// A throwaway platform root with the key and its certificate in "MY".
bool makeSetup() {
  std::string base = (fs::temp_directory_path() / "bench-sigclient-XXXXXX").string();
  if (mkdtemp(base.data()) == nullptr) return false;
  gSetup.root = base;
  setenv("PLATFORM_ROOT", base.c_str(), 1);
  PlatformResetRoot();

  gSetup.key = EVP_RSA_gen(2048);
  X509* x = X509_new();
  X509_set_version(x, X509_VERSION_3);
  ASN1_INTEGER_set(X509_get_serialNumber(x), 0x5151);
  X509_NAME* name = X509_NAME_new();
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>("Bench Signer"), -1, -1, 0);
  X509_set_subject_name(x, name);
  X509_set_issuer_name(x, name);
  X509_NAME_free(name);
  X509_gmtime_adj(X509_getm_notBefore(x), 0);
  X509_gmtime_adj(X509_getm_notAfter(x), 3600L * 24 * 365);
  X509_set_pubkey(x, gSetup.key);
  if (gSetup.key == nullptr || X509_sign(x, gSetup.key, EVP_sha256()) <= 0) return false;
  gSetup.cert = x;

  PKCS12* p12 = PKCS12_create("bench", "bench", gSetup.key, x, nullptr, 0, 0, 0, 0, 0);
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
  static CPKCS7SignatureClient* c = new CPKCS7SignatureClient();
  return *c;
}

// The control's sequence: data, sign, the text's length, the text.
bool clientOnce(std::string* error) {
  CPKCS7SignatureClient& c = client();
  int length = 0;
  if (c.setDataContentByString(gSetup.data.c_str()) != 0 ||
      c.sign(gSetup.certificateBase64.c_str(), "SHA1", "RSA") != 0 ||
      c.getSignedEnvelopeString(nullptr, &length) != 0) {
    *error = c.getErrorText();
    return false;
  }
  std::vector<char> text(static_cast<size_t>(length) + 1);
  if (c.getSignedEnvelopeString(text.data(), &length) != 0) {
    *error = c.getErrorText();
    return false;
  }
  benchmark::DoNotOptimize(text.data());
  return true;
}

bool openSslOnce() {
  const int flags = PKCS7_BINARY | PKCS7_NOATTR | PKCS7_PARTIAL;
  PKCS7* p7 = PKCS7_sign(nullptr, nullptr, nullptr, nullptr, flags);
  bool ok = p7 != nullptr && PKCS7_sign_add_signer(p7, gSetup.cert, gSetup.key, EVP_sha1(), flags) != nullptr;
  BIO* in = BIO_new_mem_buf(gSetup.data.data(), static_cast<int>(gSetup.data.size()));
  ok = ok && in != nullptr && PKCS7_final(p7, in, flags) == 1;
  unsigned char* der = nullptr;
  int n = ok ? i2d_PKCS7(p7, &der) : 0;
  benchmark::DoNotOptimize(der);
  OPENSSL_free(der);
  BIO_free(in);
  PKCS7_free(p7);
  return ok && n > 0;
}

void BM_OpenSSL(benchmark::State& state) {
  for (auto _ : state)
    if (!openSslOnce()) {
      state.SkipWithError("PKCS7_sign failed");
      return;
    }
}

void BM_SignatureClient(benchmark::State& state) {
  std::string error;
  for (auto _ : state)
    if (!clientOnce(&error)) {
      state.SkipWithError(error.c_str());
      return;
    }
}

void BM_Interleaved(benchmark::State& state) {
  bench::interleave(state, {"client_ms", [](std::string* error) { return clientOnce(error); }},
                    {"openssl_ms", [](std::string* error) {
                       if (openSslOnce()) return true;
                       *error = "PKCS7_sign failed";
                       return false;
                     }});
}

BENCHMARK(BM_OpenSSL)->Unit(benchmark::kMicrosecond)->MinTime(1.0);
BENCHMARK(BM_SignatureClient)->Unit(benchmark::kMicrosecond)->MinTime(1.0);
BENCHMARK(BM_Interleaved)->Unit(benchmark::kMicrosecond)->MinTime(3.0);

}  // namespace

int main(int argc, char** argv) {
  if (!makeSetup()) {
    std::fprintf(stderr, "could not make the signer key and certificate\n");
    return 1;
  }
  benchmark::Initialize(&argc, argv);
  bench::RatioReporter reporter([](double ratio) {
    std::printf("ratio: %.2f (signature client over OpenSSL PKCS7_sign; goal: at most 1.2)\n", ratio);
  });
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  std::error_code ec;
  fs::remove_all(gSetup.root, ec);
  return 0;
}

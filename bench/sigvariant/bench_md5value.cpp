// MD5RSASignValue with a 2048-bit software key in the user's store against
// EVP_DigestSign with MD5 and the same key, already loaded, over the same
// data. The value's side also finds the certificate in the store, acquires
// the key, reverses the signature, checks it against the certificate and
// writes the hexadecimal text; the RSA signature dominates both.
//
// BM_Interleaved runs the two alternately and measures each one's CPU time;
// "ratio: x" is the value's time over OpenSSL's; the goal is at most 1.2.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <openssl/evp.h>
#include <openssl/x509.h>

#include "Interleaved.h"
#include "SignerStore.h"
#include "signlib/PKCS7SignatureClient.h"

namespace {

bench::StoreSigner gSigner;  // made by main
const std::string gData(4096, 'm');

CPKCS7SignatureClient& client() {
  static CPKCS7SignatureClient* c = [] {
    auto* made = new CPKCS7SignatureClient(SignVariant::signatureControl());
    made->setDataContentByString(gData.c_str());
    return made;
  }();
  return *c;
}

bool valueOnce(std::string* error) {
  if (client().MD5RSASignValue(gSigner.certificateBase64.c_str()) != 0) {
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
  bool ok =
      ctx != nullptr && EVP_DigestSignInit(ctx, nullptr, EVP_md5(), nullptr, gSigner.identity.key) == 1 &&
      EVP_DigestSign(ctx, signature, &length, reinterpret_cast<const unsigned char*>(gData.data()), gData.size()) == 1;
  benchmark::DoNotOptimize(signature);
  EVP_MD_CTX_free(ctx);
  return ok;
}

bench::Side oursSide() { return {"value_ms", valueOnce}; }
bench::Side openSslSide() { return bench::plainSide("openssl_ms", openSslOnce, "EVP_DigestSign failed"); }

void BM_OpenSSL(benchmark::State& state) { bench::repeat(state, openSslSide()); }

void BM_MD5RSASignValue(benchmark::State& state) { bench::repeat(state, oursSide()); }

void BM_Interleaved(benchmark::State& state) { bench::interleave(state, oursSide(), openSslSide()); }

BENCHMARK(BM_OpenSSL)->Unit(benchmark::kMicrosecond)->MinTime(1.0);
BENCHMARK(BM_MD5RSASignValue)->Unit(benchmark::kMicrosecond)->MinTime(1.0);
BENCHMARK(BM_Interleaved)->Unit(benchmark::kMicrosecond)->MinTime(3.0)->Repetitions(3)->ReportAggregatesOnly(true);

}  // namespace

int main(int argc, char** argv) {
  return bench::runStoreBenchmarks(gSigner, "bench-md5value", "Bench MD5", 0x3535,
                                   "MD5RSASignValue over EVP_DigestSign with MD5", &argc, argv);
}

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

#include <cstdio>
#include <string>
#include <vector>

#include <openssl/pkcs7.h>

#include "signlib/PKCS7SignatureClient.h"

#include "Interleaved.h"
#include "SignerStore.h"

namespace {

bench::StoreSigner gSigner;  // made by main
const std::string gData(4096, 'd');

CPKCS7SignatureClient& client() {
  static CPKCS7SignatureClient* c = new CPKCS7SignatureClient();
  return *c;
}

// The control's sequence: data, sign, the text's length, the text.
bool clientOnce(std::string* error) {
  CPKCS7SignatureClient& c = client();
  int length = 0;
  if (c.setDataContentByString(gData.c_str()) != 0 || c.sign(gSigner.certificateBase64.c_str(), "SHA1", "RSA") != 0 ||
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
  return bench::pkcs7SignOnce(gSigner.identity, gData, flags, flags, flags);
}

bench::Side oursSide() { return {"client_ms", clientOnce}; }
bench::Side openSslSide() { return bench::plainSide("openssl_ms", openSslOnce, "PKCS7_sign failed"); }

void BM_OpenSSL(benchmark::State& state) { bench::repeat(state, openSslSide()); }

void BM_SignatureClient(benchmark::State& state) { bench::repeat(state, oursSide()); }

void BM_Interleaved(benchmark::State& state) { bench::interleave(state, oursSide(), openSslSide()); }

BENCHMARK(BM_OpenSSL)->Unit(benchmark::kMicrosecond)->MinTime(1.0);
BENCHMARK(BM_SignatureClient)->Unit(benchmark::kMicrosecond)->MinTime(1.0);
BENCHMARK(BM_Interleaved)->Unit(benchmark::kMicrosecond)->MinTime(3.0);

}  // namespace

int main(int argc, char** argv) {
  return bench::runStoreBenchmarks(gSigner, "bench-sigclient", "Bench Signer", 0x5151,
                                   "signature client over OpenSSL PKCS7_sign", &argc, argv);
}

// One whole token signature through CPKCS11TokenUtil::signPKCS7 on SoftHSM2,
// against the bare PKCS#11 sequence it makes, written out here call for call:
// load the module, initialise, open a session, log in (on a fresh session),
// find the certificate and the key, sign, log out, close, finalise, unload.
// Same module, same token, same 2048-bit key.
//
// Each iteration is one complete signature from an unloaded module, as the
// signature client makes it. The library's share on top of the bare sequence
// is the certificate decoding, the digest, the SignedData built with OpenSSL
// and its own bookkeeping; the token work (C_Initialize reading the token,
// C_Login deriving the PIN key, the RSA signature) dominates both sides.
//
// The token is made at start-up in a throwaway folder: SoftHSM2 with one
// initialised token, a fresh key and certificate written with pkcs11-tool, and
// the initialised-only forwarder of the tests as the module (SoftHSM2 alone
// always shows one more, uninitialised token).
//
// BM_Interleaved runs the two alternately in one loop, so that the machine's
// load falls on both alike, and measures each one's process CPU time (the
// token works in-process; user and system time both count). "overhead: x %"
// at the end is its median of (library time / bare time - 1) over five
// repetitions; the goal is at most 10 %. The two plain benchmarks show the
// wall times.
#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <unistd.h>

#include <openssl/crypto.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/kernel.h"
#include "signlib/PKCS11TokenUtil.h"
#include "signlib/X509Certificate.h"

#include "BareToken.h"
#include "Interleaved.h"
#include "SignerStore.h"

namespace {
constexpr const char* kPin = "1234";
constexpr const char* kModuleName = "benchtoken.dll";

bench::SoftHsmToken gToken;
const std::string gData(4096, 'd');

// One signature through the library, from an unloaded module.
bool libraryOnce(std::string* error) {
  return bench::tokenSignatureOnce(SignVariant::certificateControl(), gToken, kModuleName, kPin, "SHA256", gData,
                                   error);
}

bench::Side librarySide() { return {"lib_ms", libraryOnce}; }

void BM_SignPKCS7(benchmark::State& state) { bench::repeat(state, librarySide()); }

// The bare sequence: the very PKCS#11 calls the library makes for one
// signature (its init, Login, key search, signature and teardown), in the same
// order, with nothing around them. It signs as many bytes as the library hands
// the token (the DER of the three signed attributes, about 100 bytes).
bool bareOnce() {
  static std::vector<unsigned char> toSign(105, 0x31);
  bench::BareToken t;
  if (!t.load(gToken.modulePath)) return false;
  // Open a session on the one token.
  bool ok = t.openSession();
  // Log in on a fresh session.
  t.closeSession();
  ok = ok && t.openSession() && t.login(kPin, 4);
  // Find the certificate, then the key by its modulus.
  CK_SESSION_INFO info;
  ok = ok && t.f->C_GetSessionInfo(t.session, &info) == CKR_OK;
  CK_OBJECT_CLASS certClass = CKO_CERTIFICATE, keyClass = CKO_PRIVATE_KEY;
  CK_ATTRIBUTE certTemplate[] = {{CKA_CLASS, &certClass, sizeof certClass},
                                 {CKA_VALUE, gToken.certificateDer.data(), gToken.certificateDer.size()}};
  CK_ATTRIBUTE keyTemplate[] = {{CKA_CLASS, &keyClass, sizeof keyClass},
                                {CKA_MODULUS, gToken.modulus.data(), gToken.modulus.size()}};
  CK_OBJECT_HANDLE cert = 0, key = 0;
  ok = ok && t.findOne(certTemplate, &cert) && t.findOne(keyTemplate, &key);
  // Sign, and tear down.
  ok = ok && t.sign(CKM_SHA256_RSA_PKCS, key, toSign);
  t.unload();
  return ok;
}

bench::Side bareSide() { return bench::plainSide("bare_ms", bareOnce, "bare sequence failed"); }

void BM_BarePKCS11(benchmark::State& state) { bench::repeat(state, bareSide()); }

// Both, one after the other in every iteration (the order alternating), so
// that a change in the machine's load falls on both alike. Reports each one's
// CPU time per signature and the library's overhead.
void BM_Interleaved(benchmark::State& state) { bench::interleave(state, librarySide(), bareSide()); }

BENCHMARK(BM_BarePKCS11)->Unit(benchmark::kMillisecond)->MinTime(2.0)->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(BM_SignPKCS7)->Unit(benchmark::kMillisecond)->MinTime(2.0)->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(BM_Interleaved)->Unit(benchmark::kMillisecond)->MinTime(4.0)->Repetitions(5)->ReportAggregatesOnly(true);

}  // namespace

int main(int argc, char** argv) {
  return bench::runTokenBenchmarks(gToken, "bench-pkcs11", BENCH_FORWARDER_MODULE, kModuleName, &argc, argv);
}

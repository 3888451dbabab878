// The signature control's token signature (its token client on SoftHSM2,
// from an unloaded module) against the bare PKCS#11 sequence it makes,
// written out call for call: load, initialise, open a session on the first
// slot, find the certificate, read its CKA_ID, log in, find the key by that
// CKA_ID, sign with CKM_SHA1_RSA_PKCS, log out, close, finalise, unload. Same
// module, token and 2048-bit key. The token is made at start-up in a
// throwaway folder, reached through the tests' initialised-only forwarder.
//
// "overhead: x %" is the median of (library / bare - 1) of the interleaved
// CPU times; the goal is at most 10 %.
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

// One signature through the signature control's token client, from an
// unloaded module: its init on the first slot, the key found by the
// certificate object's CKA_ID with the login inside the search, SHA-1.
bool libraryOnce(std::string* error) {
  return bench::tokenSignatureOnce(SignVariant::signatureControl(), gToken, kModuleName, kPin, "SHA1", gData, error);
}

bench::Side librarySide() { return {"lib_ms", libraryOnce}; }

// The bare sequence: the very PKCS#11 calls that path makes, in order.
bool bareOnce() {
  static std::vector<unsigned char> toSign(105, 0x31);
  bench::BareToken t;
  if (!t.load(gToken.modulePath)) return false;
  bool ok = t.openSession();
  CK_OBJECT_CLASS certClass = CKO_CERTIFICATE, keyClass = CKO_PRIVATE_KEY;
  CK_ATTRIBUTE certTemplate[] = {{CKA_CLASS, &certClass, sizeof certClass},
                                 {CKA_VALUE, gToken.certificateDer.data(), gToken.certificateDer.size()}};
  CK_OBJECT_HANDLE cert = 0, key = 0;
  ok = ok && t.findOne(certTemplate, &cert);
  unsigned char id[64];
  CK_ATTRIBUTE idQuery = {CKA_ID, nullptr, 0};
  ok = ok && t.f->C_GetAttributeValue(t.session, cert, &idQuery, 1) == CKR_OK && idQuery.ulValueLen <= sizeof id;
  idQuery.pValue = id;
  ok = ok && t.f->C_GetAttributeValue(t.session, cert, &idQuery, 1) == CKR_OK && t.login(kPin, 4);
  CK_ATTRIBUTE keyTemplate[] = {{CKA_CLASS, &keyClass, sizeof keyClass}, {CKA_ID, id, idQuery.ulValueLen}};
  ok = ok && t.findOne(keyTemplate, &key) && t.sign(CKM_SHA1_RSA_PKCS, key, toSign);
  t.unload();
  return ok;
}

bench::Side bareSide() { return bench::plainSide("bare_ms", bareOnce, "bare sequence failed"); }

void BM_BarePKCS11(benchmark::State& state) { bench::repeat(state, bareSide()); }

void BM_SignatureControlToken(benchmark::State& state) { bench::repeat(state, librarySide()); }

void BM_Interleaved(benchmark::State& state) { bench::interleave(state, librarySide(), bareSide()); }

BENCHMARK(BM_BarePKCS11)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_SignatureControlToken)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_Interleaved)->Unit(benchmark::kMillisecond)->MinTime(4.0)->Repetitions(5)->ReportAggregatesOnly(true);

}  // namespace

int main(int argc, char** argv) {
  return bench::runTokenBenchmarks(gToken, "bench-sigtoken", BENCH_FORWARDER_MODULE, kModuleName, &argc, argv);
}

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
  CPKCS11TokenUtil token(SignVariant::signatureControl());
  unsigned char* der = nullptr;
  int length = 0;
  if (token.init(kModuleName) != 0 ||
      token.signPKCS7(kPin, gToken.certificateBase64.c_str(), "SHA1", "RSA",
                      reinterpret_cast<const unsigned char*>(gData.data()), gData.size(), &der, &length) != 0) {
    *error = token.getErrorText();
    return false;
  }
  benchmark::DoNotOptimize(der);
  OPENSSL_free(der);
  return true;
}

bench::Side librarySide() { return {"lib_ms", libraryOnce}; }

// The bare sequence: the very PKCS#11 calls that path makes, in order.
bool bareOnce() {
  static std::vector<unsigned char> toSign(105, 0x31);
  const CK_FLAGS flags = CKF_SERIAL_SESSION | CKF_RW_SESSION;
  void* lib = dlopen(gToken.modulePath.c_str(), RTLD_NOW | RTLD_LOCAL);
  auto getList = lib != nullptr ? reinterpret_cast<CK_C_GetFunctionList>(dlsym(lib, "C_GetFunctionList")) : nullptr;
  CK_FUNCTION_LIST_PTR f = nullptr;
  if (getList == nullptr || getList(&f) != CKR_OK || f->C_Initialize(nullptr) != CKR_OK) return false;
  CK_ULONG count = 0;
  CK_SLOT_ID slot = 0;
  CK_SESSION_HANDLE session = 0;
  bool ok = f->C_GetSlotList(CK_TRUE, nullptr, &count) == CKR_OK && count == 1 &&
            f->C_GetSlotList(CK_TRUE, &slot, &count) == CKR_OK &&
            f->C_OpenSession(slot, flags, nullptr, nullptr, &session) == CKR_OK;
  CK_OBJECT_CLASS certClass = CKO_CERTIFICATE, keyClass = CKO_PRIVATE_KEY;
  CK_ATTRIBUTE certTemplate[] = {{CKA_CLASS, &certClass, sizeof certClass},
                                 {CKA_VALUE, gToken.certificateDer.data(), gToken.certificateDer.size()}};
  CK_OBJECT_HANDLE cert = 0, key = 0;
  CK_ULONG found = 0;
  ok = ok && f->C_FindObjectsInit(session, certTemplate, 2) == CKR_OK &&
       f->C_FindObjects(session, &cert, 1, &found) == CKR_OK && f->C_FindObjectsFinal(session) == CKR_OK && found == 1;
  unsigned char id[64];
  CK_ATTRIBUTE idQuery = {CKA_ID, nullptr, 0};
  ok = ok && f->C_GetAttributeValue(session, cert, &idQuery, 1) == CKR_OK && idQuery.ulValueLen <= sizeof id;
  idQuery.pValue = id;
  ok = ok && f->C_GetAttributeValue(session, cert, &idQuery, 1) == CKR_OK &&
       f->C_Login(session, CKU_USER, reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(kPin)), 4) == CKR_OK;
  CK_ATTRIBUTE keyTemplate[] = {{CKA_CLASS, &keyClass, sizeof keyClass}, {CKA_ID, id, idQuery.ulValueLen}};
  ok = ok && f->C_FindObjectsInit(session, keyTemplate, 2) == CKR_OK &&
       f->C_FindObjects(session, &key, 1, &found) == CKR_OK && f->C_FindObjectsFinal(session) == CKR_OK && found == 1;
  CK_MECHANISM mechanism = {CKM_SHA1_RSA_PKCS, nullptr, 0};
  unsigned char signature[256];
  CK_ULONG signatureLength = sizeof signature;
  ok = ok && f->C_SignInit(session, &mechanism, key) == CKR_OK &&
       f->C_Sign(session, toSign.data(), toSign.size(), signature, &signatureLength) == CKR_OK;
  benchmark::DoNotOptimize(signature);
  f->C_Logout(session);
  f->C_CloseSession(session);
  f->C_Finalize(nullptr);
  dlclose(lib);
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
  if (!gToken.make("bench-sigtoken", BENCH_FORWARDER_MODULE, kModuleName)) {
    std::fprintf(stderr, "could not make the SoftHSM2 token (softhsm2-util, pkcs11-tool, openssl needed)\n");
    return 1;
  }
  bench::runWithRatio(&argc, argv, [](double ratio) {
    std::printf("overhead: %.1f %% (median of the interleaved runs; goal: at most 10 %%)\n", (ratio - 1.0) * 100.0);
  });
  bench::removeRoot(gToken.root);
  return 0;
}

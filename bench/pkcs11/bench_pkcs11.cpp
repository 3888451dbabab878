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

#include "Interleaved.h"
#include "SignerStore.h"

namespace {
constexpr const char* kPin = "1234";
constexpr const char* kModuleName = "benchtoken.dll";

bench::SoftHsmToken gToken;
const std::string gData(4096, 'd');

// One signature through the library, from an unloaded module.
bool libraryOnce(std::string* error) {
  CPKCS11TokenUtil token;
  unsigned char* der = nullptr;
  int length = 0;
  if (token.init(kModuleName) != 0 ||
      token.signPKCS7(kPin, gToken.certificateBase64.c_str(), "SHA256", "RSA",
                      reinterpret_cast<const unsigned char*>(gData.data()), gData.size(), &der, &length) != 0) {
    *error = token.getErrorText();
    return false;
  }
  benchmark::DoNotOptimize(der);
  OPENSSL_free(der);
  return true;
}

bench::Side librarySide() { return {"lib_ms", libraryOnce}; }

void BM_SignPKCS7(benchmark::State& state) { bench::repeat(state, librarySide()); }

// The bare sequence: the very PKCS#11 calls the library makes for one
// signature (its init, Login, key search, signature and teardown), in the same
// order, with nothing around them. It signs as many bytes as the library hands
// the token (the DER of the three signed attributes, about 100 bytes).
bool bareOnce() {
  static std::vector<unsigned char> toSign(105, 0x31);
  const CK_FLAGS flags = CKF_SERIAL_SESSION | CKF_RW_SESSION;
  {
    void* lib = dlopen(gToken.modulePath.c_str(), RTLD_NOW | RTLD_LOCAL);
    auto getList = lib != nullptr ? reinterpret_cast<CK_C_GetFunctionList>(dlsym(lib, "C_GetFunctionList")) : nullptr;
    CK_FUNCTION_LIST_PTR f = nullptr;
    if (getList == nullptr || getList(&f) != CKR_OK || f->C_Initialize(nullptr) != CKR_OK) return false;
    // Open a session on the one token.
    CK_ULONG count = 0;
    CK_SLOT_ID slot = 0;
    CK_SESSION_HANDLE session = 0;
    bool ok = f->C_GetSlotList(CK_TRUE, nullptr, &count) == CKR_OK && count == 1 &&
              f->C_GetSlotList(CK_TRUE, &slot, &count) == CKR_OK &&
              f->C_OpenSession(slot, flags, nullptr, nullptr, &session) == CKR_OK;
    // Log in on a fresh session.
    f->C_Logout(session);
    f->C_CloseSession(session);
    ok = ok && f->C_GetSlotList(CK_TRUE, nullptr, &count) == CKR_OK && count == 1 &&
         f->C_GetSlotList(CK_TRUE, &slot, &count) == CKR_OK &&
         f->C_OpenSession(slot, flags, nullptr, nullptr, &session) == CKR_OK &&
         f->C_Login(session, CKU_USER, reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(kPin)), 4) == CKR_OK;
    // Find the certificate, then the key by its modulus.
    CK_SESSION_INFO info;
    ok = ok && f->C_GetSessionInfo(session, &info) == CKR_OK;
    CK_OBJECT_CLASS certClass = CKO_CERTIFICATE, keyClass = CKO_PRIVATE_KEY;
    CK_ATTRIBUTE certTemplate[] = {{CKA_CLASS, &certClass, sizeof certClass},
                                   {CKA_VALUE, gToken.certificateDer.data(), gToken.certificateDer.size()}};
    CK_ATTRIBUTE keyTemplate[] = {{CKA_CLASS, &keyClass, sizeof keyClass},
                                  {CKA_MODULUS, gToken.modulus.data(), gToken.modulus.size()}};
    CK_OBJECT_HANDLE cert = 0, key = 0;
    CK_ULONG found = 0;
    ok = ok && f->C_FindObjectsInit(session, certTemplate, 2) == CKR_OK &&
         f->C_FindObjects(session, &cert, 1, &found) == CKR_OK && f->C_FindObjectsFinal(session) == CKR_OK &&
         found == 1;
    ok = ok && f->C_FindObjectsInit(session, keyTemplate, 2) == CKR_OK &&
         f->C_FindObjects(session, &key, 1, &found) == CKR_OK && f->C_FindObjectsFinal(session) == CKR_OK && found == 1;
    // Sign.
    CK_MECHANISM mechanism = {CKM_SHA256_RSA_PKCS, nullptr, 0};
    unsigned char signature[256];
    CK_ULONG signatureLength = sizeof signature;
    ok = ok && f->C_SignInit(session, &mechanism, key) == CKR_OK &&
         f->C_Sign(session, toSign.data(), toSign.size(), signature, &signatureLength) == CKR_OK;
    benchmark::DoNotOptimize(signature);
    // Tear down.
    f->C_Logout(session);
    f->C_CloseSession(session);
    f->C_Finalize(nullptr);
    dlclose(lib);
    return ok;
  }
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
  if (!gToken.make("bench-pkcs11", BENCH_FORWARDER_MODULE, kModuleName)) {
    std::fprintf(stderr, "could not make the SoftHSM2 token (softhsm2-util, pkcs11-tool, openssl needed)\n");
    return 1;
  }
  bench::runWithRatio(&argc, argv, [](double ratio) {
    std::printf("overhead: %.1f %% (median of the interleaved runs; goal: at most 10 %%)\n", (ratio - 1.0) * 100.0);
  });
  bench::removeRoot(gToken.root);
  return 0;
}

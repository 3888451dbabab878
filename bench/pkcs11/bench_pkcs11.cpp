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
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "signlib/PKCS11TokenUtil.h"
#include "signlib/X509Certificate.h"
#include "platform/kernel.h"

#include "Interleaved.h"

namespace fs = std::filesystem;

namespace {
constexpr const char* kPin = "1234";
constexpr const char* kModuleName = "benchtoken.dll";

struct Token {
  std::string root;
  std::string modulePath;
  std::string certificateBase64;
  std::vector<unsigned char> certificateDer;
  std::vector<unsigned char> modulus;
  std::string data = std::string(4096, 'd');
};
Token gToken;

std::string readAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

bool sh(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()) == 0; }

bool makeToken() {
  char base[] = "/tmp/bench-pkcs11-XXXXXX";
  if (mkdtemp(base) == nullptr) return false;
  gToken.root = base;
  setenv("PLATFORM_ROOT", base, 1);
  PlatformResetRoot();
  fs::create_directories(gToken.root + "/modules");
  fs::create_directories(gToken.root + "/tokens");
  gToken.modulePath = gToken.root + "/modules/" + kModuleName;
  fs::copy_file(BENCH_FORWARDER_MODULE, gToken.modulePath);
  std::string conf = gToken.root + "/softhsm2.conf";
  std::ofstream(conf) << "directories.tokendir = " << gToken.root << "/tokens\nobjectstore.backend = file\n"
                      << "log.level = ERROR\n";
  setenv("SOFTHSM2_CONF", conf.c_str(), 1);
  std::string r = gToken.root;
  std::string tool = "pkcs11-tool --module /usr/lib/softhsm/libsofthsm2.so --token-label bench --login --pin 1234 ";
  if (!sh("softhsm2-util --init-token --free --label bench --so-pin 87654321 --pin 1234") ||
      !sh("openssl req -x509 -newkey rsa:2048 -nodes -keyout " + r + "/key.pem -out " + r +
          "/cert.pem -subj /CN=Bench -days 2") ||
      !sh("openssl x509 -in " + r + "/cert.pem -outform DER -out " + r + "/cert.der") ||
      !sh(tool + "--write-object " + r + "/key.pem --type privkey --id 01") ||
      !sh(tool + "--write-object " + r + "/cert.der --type cert --id 01")) {
    return false;
  }
  std::string der = readAll(r + "/cert.der");
  gToken.certificateDer.assign(der.begin(), der.end());
  CX509Certificate cert;
  if (cert.LoadCertificate(gToken.certificateDer.data(), static_cast<int>(der.size())) != 0) return false;
  gToken.certificateBase64 = cert.getB64X509Cert();
  gToken.modulus.assign(cert.getModulus(), cert.getModulus() + cert.getModulusLen());
  return true;
}

// One signature through the library, from an unloaded module.
bool libraryOnce(std::string* error) {
  CPKCS11TokenUtil token;
  unsigned char* der = nullptr;
  int length = 0;
  if (token.init(kModuleName) != 0 ||
      token.signPKCS7(kPin, gToken.certificateBase64.c_str(), "SHA256", "RSA",
                      reinterpret_cast<const unsigned char*>(gToken.data.data()), gToken.data.size(), &der,
                      &length) != 0) {
    *error = token.getErrorText();
    return false;
  }
  benchmark::DoNotOptimize(der);
  OPENSSL_free(der);
  return true;
}

void BM_SignPKCS7(benchmark::State& state) {
  std::string error;
  for (auto _ : state) {
    if (!libraryOnce(&error)) {
      state.SkipWithError(error.c_str());
      break;
    }
  }
}

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
         f->C_FindObjects(session, &key, 1, &found) == CKR_OK && f->C_FindObjectsFinal(session) == CKR_OK &&
         found == 1;
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

void BM_BarePKCS11(benchmark::State& state) {
  for (auto _ : state) {
    if (!bareOnce()) {
      state.SkipWithError("bare sequence failed");
      break;
    }
  }
}


// Both, one after the other in every iteration (the order alternating), so
// that a change in the machine's load falls on both alike. Reports each one's
// CPU time per signature and the library's overhead.
void BM_Interleaved(benchmark::State& state) {
  bench::interleave(state, {"lib_ms", [](std::string* error) { return libraryOnce(error); }},
                    {"bare_ms", [](std::string* error) {
                       if (bareOnce()) return true;
                       *error = "bare sequence failed";
                       return false;
                     }});
}

BENCHMARK(BM_BarePKCS11)->Unit(benchmark::kMillisecond)->MinTime(2.0)->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(BM_SignPKCS7)->Unit(benchmark::kMillisecond)->MinTime(2.0)->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(BM_Interleaved)->Unit(benchmark::kMillisecond)->MinTime(4.0)->Repetitions(5)->ReportAggregatesOnly(true);

}  // namespace

int main(int argc, char** argv) {
  if (!makeToken()) {
    std::fprintf(stderr, "could not make the SoftHSM2 token (softhsm2-util, pkcs11-tool, openssl needed)\n");
    return 1;
  }
  benchmark::Initialize(&argc, argv);
  bench::RatioReporter reporter([](double ratio) {
    std::printf("overhead: %.1f %% (median of the interleaved runs; goal: at most 10 %%)\n", (ratio - 1.0) * 100.0);
  });
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  std::error_code ec;
  fs::remove_all(gToken.root, ec);
  return 0;
}

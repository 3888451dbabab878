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
  char base[] = "/tmp/bench-sigtoken-XXXXXX";
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

// One signature through the signature control's token client, from an
// unloaded module: its init on the first slot, the key found by the
// certificate object's CKA_ID with the login inside the search, SHA-1.
bool libraryOnce(std::string* error) {
  CPKCS11TokenUtil token(SignVariant::signatureControl());
  unsigned char* der = nullptr;
  int length = 0;
  if (token.init(kModuleName) != 0 ||
      token.signPKCS7(kPin, gToken.certificateBase64.c_str(), "SHA1", "RSA",
                      reinterpret_cast<const unsigned char*>(gToken.data.data()), gToken.data.size(), &der,
                      &length) != 0) {
    *error = token.getErrorText();
    return false;
  }
  benchmark::DoNotOptimize(der);
  OPENSSL_free(der);
  return true;
}

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
       f->C_FindObjects(session, &cert, 1, &found) == CKR_OK && f->C_FindObjectsFinal(session) == CKR_OK &&
       found == 1;
  unsigned char id[64];
  CK_ATTRIBUTE idQuery = {CKA_ID, nullptr, 0};
  ok = ok && f->C_GetAttributeValue(session, cert, &idQuery, 1) == CKR_OK && idQuery.ulValueLen <= sizeof id;
  idQuery.pValue = id;
  ok = ok && f->C_GetAttributeValue(session, cert, &idQuery, 1) == CKR_OK &&
       f->C_Login(session, CKU_USER, reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(kPin)), 4) == CKR_OK;
  CK_ATTRIBUTE keyTemplate[] = {{CKA_CLASS, &keyClass, sizeof keyClass}, {CKA_ID, id, idQuery.ulValueLen}};
  ok = ok && f->C_FindObjectsInit(session, keyTemplate, 2) == CKR_OK &&
       f->C_FindObjects(session, &key, 1, &found) == CKR_OK && f->C_FindObjectsFinal(session) == CKR_OK &&
       found == 1;
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

void BM_BarePKCS11(benchmark::State& state) {
  for (auto _ : state) {
    if (!bareOnce()) {
      state.SkipWithError("bare sequence failed");
      break;
    }
  }
}

void BM_SignatureControlToken(benchmark::State& state) {
  std::string error;
  for (auto _ : state) {
    if (!libraryOnce(&error)) {
      state.SkipWithError(error.c_str());
      break;
    }
  }
}

void BM_Interleaved(benchmark::State& state) {
  bench::interleave(state, {"lib_ms", [](std::string* error) { return libraryOnce(error); }},
                    {"bare_ms", [](std::string* error) {
                       if (bareOnce()) return true;
                       *error = "bare sequence failed";
                       return false;
                     }});
}

BENCHMARK(BM_BarePKCS11)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_SignatureControlToken)->Unit(benchmark::kMillisecond)->MinTime(2.0);
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

// A page's signature through the signature control, against OpenSSL.
//
// BM_Haldrin is what a bank page's script does for one signature, through
// IDispatch::Invoke on a registered HaldrinCtrl placed on http://localhost/:
// setDataContentByString, sign (SHA1, RSA) and getSignedEnvelopByString, with
// a 2048-bit software key in the user's "MY" store. BM_OpenSSL is PKCS7_sign
// of the same data with the same key and certificate (SHA-1, the signer
// certificate and signed attributes included, as the control's envelope
// has them), encoded to DER.
//
// The platform root is a throwaway folder: the key and certificate are made
// here with OpenSSL, imported as a PKCS#12 with the certstore tool, and the
// control is registered with regsvr (both from this program's folder).
//
// BM_Interleaved runs the two alternately and measures each one's process CPU
// time; "ratio" at the end is the median over its repetitions of the
// control's time over OpenSSL's. The goal is at most 1.15.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/com.h"
#include "platform/kernel.h"
#include "haldrin_h.h"

#include "Interleaved.h"

namespace fs = std::filesystem;

namespace {

struct Setup {
  std::string root;
  EVP_PKEY* key = nullptr;
  X509* cert = nullptr;
  std::u16string certificateBase64;
  std::u16string data;
  std::string dataBytes;
  IDispatch* control = nullptr;
  IOleClientSite* site = nullptr;
  DISPID setData = 0, sign = 0, envelope = 0;
};
Setup gSetup;

std::string quote(const std::string& s) {
  std::string out = "'";
  for (char c : s) {
    if (c == '\'') out += "'\\''";
    else out.push_back(c);
  }
  return out + "'";
}

std::u16string widen(const std::string& s) { return std::u16string(s.begin(), s.end()); }

bool makeIdentity(const std::string& p12Path) {
  gSetup.key = EVP_RSA_gen(2048);
  if (gSetup.key == nullptr) return false;
  X509* x = X509_new();
  X509_set_version(x, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(x), 0x5151);
  X509_gmtime_adj(X509_getm_notBefore(x), -86400);
  X509_gmtime_adj(X509_getm_notAfter(x), 86400L * 365);
  X509_set_pubkey(x, gSetup.key);
  X509_NAME* name = X509_get_subject_name(x);
  X509_NAME_add_entry_by_txt(name, "C", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("TW"), -1, -1, 0);
  X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("Bench Bank"), -1, -1, 0);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("Bench User"), -1, -1, 0);
  X509_set_issuer_name(x, name);
  X509V3_CTX ctx;
  X509V3_set_ctx(&ctx, x, x, nullptr, nullptr, 0);
  X509_EXTENSION* ku = X509V3_EXT_conf_nid(nullptr, &ctx, NID_key_usage, "critical,digitalSignature,nonRepudiation");
  X509_add_ext(x, ku, -1);
  X509_EXTENSION_free(ku);
  if (X509_sign(x, gSetup.key, EVP_sha256()) <= 0) return false;
  gSetup.cert = x;

  unsigned char* der = nullptr;
  int n = i2d_X509(x, &der);
  std::vector<unsigned char> b64(4 * ((n + 2) / 3) + 1);
  EVP_EncodeBlock(b64.data(), der, n);
  OPENSSL_free(der);
  gSetup.certificateBase64 = widen(reinterpret_cast<char*>(b64.data()));

  PKCS12* p12 = PKCS12_create("bench", "bench", gSetup.key, x, nullptr, 0, 0, 0, 0, 0);
  if (p12 == nullptr) return false;
  BIO* out = BIO_new_file(p12Path.c_str(), "wb");
  bool ok = out != nullptr && i2d_PKCS12_bio(out, p12) == 1;
  BIO_free(out);
  PKCS12_free(p12);
  return ok;
}

bool setUp() {
  char tmpl[] = "/tmp/haldrin-bench-XXXXXX";
  if (mkdtemp(tmpl) == nullptr) return false;
  gSetup.root = tmpl;
  setenv("PLATFORM_ROOT", tmpl, 1);
  setenv("LANG", "C.UTF-8", 1);
  std::string bin = fs::read_symlink("/proc/self/exe").parent_path().string();
  std::string lib = fs::path(bin).parent_path().string() + "/lib/Haldrin.so";

  std::string p12 = gSetup.root + "/bench.p12";
  if (!makeIdentity(p12)) return false;
  if (std::system((quote(bin + "/certstore") + " import --store MY --pfx " + quote(p12) + " --password bench").c_str()) != 0)
    return false;
  if (std::system((quote(bin + "/regsvr") + " " + quote(lib)).c_str()) != 0) return false;

  // A transfer order of about a kilobyte, as pages sign them.
  for (int i = 0; gSetup.dataBytes.size() < 1024; ++i)
    gSetup.dataBytes += "transfer " + std::to_string(i) + ": NT$1,000 to 0123-456-789;";
  gSetup.data = widen(gSetup.dataBytes);

  if (CoInitialize(nullptr) != S_OK) return false;
  CLSID clsid{};
  if (CLSIDFromProgID(u"Haldrin.HaldrinSignat", &clsid) != S_OK) return false;
  if (CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch, reinterpret_cast<void**>(&gSetup.control)) !=
      S_OK)
    return false;
  if (PlatformCreateClientSite(u"http://localhost/", 0, &gSetup.site) != S_OK) return false;
  IOleObject* ole = nullptr;
  if (gSetup.control->QueryInterface(IID_IOleObject, reinterpret_cast<void**>(&ole)) != S_OK) return false;
  ole->SetClientSite(gSetup.site);
  ole->Release();
  struct {
    const char16_t* name;
    DISPID* id;
  } names[] = {{u"setDataContentByString", &gSetup.setData}, {u"sign", &gSetup.sign},
               {u"getSignedEnvelopByString", &gSetup.envelope}};
  for (auto& n : names) {
    LPOLESTR p = const_cast<LPOLESTR>(n.name);
    if (gSetup.control->GetIDsOfNames(IID_NULL, &p, 1, 0, n.id) != S_OK) return false;
  }
  return true;
}

void tearDown() {
  IOleObject* ole = nullptr;
  if (gSetup.control != nullptr && gSetup.control->QueryInterface(IID_IOleObject, reinterpret_cast<void**>(&ole)) == S_OK) {
    ole->SetClientSite(nullptr);
    ole->Release();
  }
  if (gSetup.site != nullptr) gSetup.site->Release();
  if (gSetup.control != nullptr) gSetup.control->Release();
  CoUninitialize();
  X509_free(gSetup.cert);
  EVP_PKEY_free(gSetup.key);
  std::error_code ec;
  fs::remove_all(gSetup.root, ec);
}

// One call as a script engine makes it: the arguments reversed, the result
// in a VARIANT.
HRESULT invoke(DISPID id, std::vector<VARIANT> args, VARIANT* result) {
  std::vector<VARIANT> reversed(args.rbegin(), args.rend());
  DISPPARAMS params{reversed.empty() ? nullptr : reversed.data(), nullptr, static_cast<UINT>(reversed.size()), 0};
  EXCEPINFO excep{};
  UINT argErr = 0;
  HRESULT hr = gSetup.control->Invoke(id, IID_NULL, 0, DISPATCH_METHOD | DISPATCH_PROPERTYGET, &params, result, &excep,
                                      &argErr);
  for (auto& a : args) VariantClear(&a);
  return hr;
}

VARIANT bstr(const std::u16string& s) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_BSTR;
  v.bstrVal = SysAllocStringLen(s.data(), static_cast<UINT>(s.size()));
  return v;
}

bool haldrinOnce(std::string* error) {
  VARIANT r;
  VariantInit(&r);
  if (invoke(gSetup.setData, {bstr(gSetup.data)}, &r) != S_OK || r.lVal != 0) {
    *error = "setDataContentByString failed";
    return false;
  }
  VariantClear(&r);
  if (invoke(gSetup.sign, {bstr(gSetup.certificateBase64), bstr(u"SHA1"), bstr(u"RSA")}, &r) != S_OK || r.lVal != 0) {
    *error = "sign failed: " + std::to_string(r.lVal);
    return false;
  }
  VariantClear(&r);
  if (invoke(gSetup.envelope, {}, &r) != S_OK || r.vt != VT_BSTR || r.bstrVal == nullptr) {
    *error = "getSignedEnvelopByString failed";
    return false;
  }
  benchmark::DoNotOptimize(SysStringLen(r.bstrVal));
  VariantClear(&r);
  return true;
}

bool opensslOnce() {
  BIO* in = BIO_new_mem_buf(gSetup.dataBytes.data(), static_cast<int>(gSetup.dataBytes.size()));
  PKCS7* p7 = PKCS7_sign(nullptr, nullptr, nullptr, nullptr, PKCS7_PARTIAL | PKCS7_BINARY);
  bool ok = p7 != nullptr && PKCS7_sign_add_signer(p7, gSetup.cert, gSetup.key, EVP_sha1(), PKCS7_BINARY | PKCS7_NOSMIMECAP) != nullptr &&
            PKCS7_final(p7, in, PKCS7_BINARY) == 1;
  unsigned char* der = nullptr;
  int n = ok ? i2d_PKCS7(p7, &der) : -1;
  benchmark::DoNotOptimize(n);
  OPENSSL_free(der);
  PKCS7_free(p7);
  BIO_free(in);
  return ok && n > 0;
}

void BM_Haldrin(benchmark::State& state) {
  std::string error;
  for (auto _ : state)
    if (!haldrinOnce(&error)) {
      state.SkipWithError(error.c_str());
      return;
    }
}

void BM_OpenSSL(benchmark::State& state) {
  for (auto _ : state)
    if (!opensslOnce()) {
      state.SkipWithError("PKCS7_sign failed");
      return;
    }
}


void BM_Interleaved(benchmark::State& state) {
  bench::interleave(state, {"haldrin_ms", [](std::string* error) { return haldrinOnce(error); }},
                    {"openssl_ms", [](std::string* error) {
                       if (opensslOnce()) return true;
                       *error = "PKCS7_sign failed";
                       return false;
                     }});
}

BENCHMARK(BM_Haldrin)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(BM_OpenSSL)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(BM_Interleaved)->Unit(benchmark::kMillisecond)->MinTime(2.0)->Repetitions(3)->ReportAggregatesOnly(true);

}  // namespace

int main(int argc, char** argv) {
  if (!setUp()) {
    std::fprintf(stderr, "could not set up the signing page (certstore, regsvr and Haldrin.so are needed)\n");
    tearDown();
    return 1;
  }
  benchmark::Initialize(&argc, argv);
  bench::RatioReporter reporter([](double ratio) {
    std::printf("ratio: %.2f (control over PKCS7_sign, CPU time, median; goal: at most 1.15)\n", ratio);
  });
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  tearDown();
  return 0;
}

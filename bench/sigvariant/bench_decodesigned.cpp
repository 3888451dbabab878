// decodeSignedData of a SignedData made by openssl (4 KB content, a 2048-bit
// signer, its certificate and the CA's) against d2i_CMS_bio and reading the
// same fields with OpenSSL: the type, the content, each certificate's DER and
// each signer's issuer, serial, algorithms, signature and signed attributes.
//
// "ratio: x" is the library's CPU time over OpenSSL's; the goal is at most 2.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include <openssl/cms.h>
#include <openssl/x509.h>

#include "Interleaved.h"
#include "signlib/PKCS7MsgUtils.h"

namespace fs = std::filesystem;

namespace {

std::string gRoot;
std::string gMessage;

bool sh(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()) == 0; }

bool makeMessage() {
  std::string base = (fs::temp_directory_path() / "bench-decode-XXXXXX").string();
  if (mkdtemp(base.data()) == nullptr) return false;
  gRoot = base;
  const std::string r = gRoot;
  std::ofstream(r + "/data") << std::string(4096, 'c');
  if (!sh("openssl req -x509 -newkey rsa:2048 -nodes -keyout " + r + "/ca.key -out " + r +
          "/ca.pem -subj /CN=CA -days 2") ||
      !sh("openssl req -x509 -newkey rsa:2048 -nodes -keyout " + r + "/s.key -out " + r +
          "/s.pem -subj /CN=S -days 2") ||
      !sh("openssl cms -sign -nodetach -binary -outform DER -in " + r + "/data -signer " + r + "/s.pem -inkey " + r +
          "/s.key -certfile " + r + "/ca.pem -out " + r + "/m.der"))
    return false;
  std::ifstream in(r + "/m.der", std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  gMessage = ss.str();
  return !gMessage.empty();
}

bool libraryOnce(std::string* error) {
  CPKCS7MsgUtils m;
  if (m.decodeSignedData(reinterpret_cast<const unsigned char*>(gMessage.data()), gMessage.size()) != 0) {
    *error = m.getErrorText();
    return false;
  }
  benchmark::DoNotOptimize(m.getSignerInfo(0));
  return true;
}

bool openSslOnce() {
  BIO* bio = BIO_new_mem_buf(gMessage.data(), static_cast<int>(gMessage.size()));
  CMS_ContentInfo* cms = d2i_CMS_bio(bio, nullptr);
  BIO_free(bio);
  if (cms == nullptr) return false;
  bool ok = OBJ_obj2nid(CMS_get0_type(cms)) == NID_pkcs7_signed;
  ASN1_OCTET_STRING** content = CMS_get0_content(cms);
  ok = ok && content != nullptr && *content != nullptr;
  std::string copy(reinterpret_cast<const char*>(ASN1_STRING_get0_data(*content)), ASN1_STRING_length(*content));
  benchmark::DoNotOptimize(copy.data());
  STACK_OF(X509)* certs = CMS_get1_certs(cms);
  for (int i = 0; i < sk_X509_num(certs); ++i) {
    unsigned char* der = nullptr;
    int n = i2d_X509(sk_X509_value(certs, i), &der);
    benchmark::DoNotOptimize(n);
    OPENSSL_free(der);
  }
  sk_X509_pop_free(certs, X509_free);
  STACK_OF(CMS_SignerInfo)* infos = CMS_get0_SignerInfos(cms);
  for (int i = 0; i < sk_CMS_SignerInfo_num(infos); ++i) {
    CMS_SignerInfo* si = sk_CMS_SignerInfo_value(infos, i);
    ASN1_OCTET_STRING* keyid = nullptr;
    X509_NAME* issuer = nullptr;
    ASN1_INTEGER* serial = nullptr;
    CMS_SignerInfo_get0_signer_id(si, &keyid, &issuer, &serial);
    unsigned char* der = nullptr;
    int n = issuer != nullptr ? i2d_X509_NAME(issuer, &der) : 0;
    OPENSSL_free(der);
    X509_ALGOR *dig = nullptr, *sig = nullptr;
    CMS_SignerInfo_get0_algs(si, nullptr, nullptr, &dig, &sig);
    char oid[80];
    OBJ_obj2txt(oid, sizeof oid, dig->algorithm, 1);
    benchmark::DoNotOptimize(CMS_SignerInfo_get0_signature(si));
    for (int a = 0; a < CMS_signed_get_attr_count(si); ++a) {
      X509_ATTRIBUTE* attr = CMS_signed_get_attr(si, a);
      unsigned char* value = nullptr;
      int vn = i2d_ASN1_TYPE(X509_ATTRIBUTE_get0_type(attr, 0), &value);
      benchmark::DoNotOptimize(vn);
      OPENSSL_free(value);
    }
    benchmark::DoNotOptimize(n);
  }
  CMS_ContentInfo_free(cms);
  return ok;
}

void BM_OpenSSL(benchmark::State& state) {
  for (auto _ : state)
    if (!openSslOnce()) {
      state.SkipWithError("d2i_CMS_bio failed");
      return;
    }
}

void BM_DecodeSignedData(benchmark::State& state) {
  std::string error;
  for (auto _ : state)
    if (!libraryOnce(&error)) {
      state.SkipWithError(error.c_str());
      return;
    }
}

void BM_Interleaved(benchmark::State& state) {
  bench::interleave(state, {"lib_ms", [](std::string* error) { return libraryOnce(error); }},
                    {"openssl_ms", [](std::string* error) {
                       if (openSslOnce()) return true;
                       *error = "d2i_CMS_bio failed";
                       return false;
                     }});
}

BENCHMARK(BM_OpenSSL)->Unit(benchmark::kMicrosecond)->MinTime(1.0);
BENCHMARK(BM_DecodeSignedData)->Unit(benchmark::kMicrosecond)->MinTime(1.0);
BENCHMARK(BM_Interleaved)->Unit(benchmark::kMicrosecond)->MinTime(2.0)->Repetitions(3)->ReportAggregatesOnly(true);

}  // namespace

int main(int argc, char** argv) {
  if (!makeMessage()) {
    std::fprintf(stderr, "could not make the message with openssl\n");
    return 1;
  }
  benchmark::Initialize(&argc, argv);
  bench::RatioReporter reporter([](double ratio) {
    std::printf("ratio: %.2f (decodeSignedData over d2i_CMS_bio and the same fields; goal: at most 2)\n", ratio);
  });
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  std::error_code ec;
  fs::remove_all(gRoot, ec);
  return 0;
}

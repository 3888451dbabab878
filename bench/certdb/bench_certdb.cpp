// A selection over a user's store with many certificates, against OpenSSL
// parsing the same certificates.
//
// Two stores, of 1,000 and 10,000 certificates (2048-bit RSA keys, the usual
// bank subject, digital signature), each with one certificate whose common
// name is "Target User". BM_SelectBySubjectCN closes the store and selects by
// that common name, as the certificate control does for every selection: the
// store is opened, every certificate is walked, a candidate context is filled
// for each (which finds the same certificate in "MY" again) and the one match
// is copied into the selected fields. BM_ParseD2I decodes the same
// certificates with d2i_X509, the bare cost of reading them.
//
// The certificates are made at start-up, signed by a throwaway P-256 CA, and
// written as the store's own files (one "<SHA-1>.cert" per certificate) under
// a throwaway platform root per store.
//
// BM_SelectByIssuerList selects by an issuer list of N criteria, none of
// which is the store's issuer (every certificate is compared with every
// criterion, the worst case a page can ask for): 100 and 1,000 criteria over
// 1,000 certificates, and 100 criteria over 10,000.
//
// At the end: each store's selection time against its parsing time (goal: at
// most 3 times), and the 10,000 store's selection time against the 1,000
// store's (goal: at most 12 times); for the issuer list, ten times the
// criteria and ten times the certificates (goal: each at most 12 times).
#include <benchmark/benchmark.h>

#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/sha.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "platform/kernel.h"
#include "signlib/CertificateDBClient.h"

namespace fs = std::filesystem;

namespace {
constexpr const char* kTarget = "Target User";

struct Store {
  std::string root;
  std::vector<std::vector<unsigned char>> ders;
};
std::map<int, Store> gStores;

std::vector<unsigned char> makeCertificate(EVP_PKEY* caKey, X509_NAME* caName, EVP_PKEY* subjectKey, long serial,
                                           const std::string& cn) {
  X509* x = X509_new();
  X509_set_version(x, X509_VERSION_3);
  ASN1_INTEGER_set(X509_get_serialNumber(x), serial);
  X509_NAME* name = X509_NAME_new();
  auto add = [&](const char* field, const std::string& value) {
    X509_NAME_add_entry_by_txt(name, field, MBSTRING_UTF8, reinterpret_cast<const unsigned char*>(value.data()),
                               static_cast<int>(value.size()), -1, 0);
  };
  add("C", "TW");
  add("O", "Test Bank");
  add("OU", "Retail");
  add("CN", cn);
  X509_set_subject_name(x, name);
  X509_NAME_free(name);
  X509_set_issuer_name(x, caName);
  ASN1_TIME_set_string_X509(X509_getm_notBefore(x), "20240101000000Z");
  ASN1_TIME_set_string_X509(X509_getm_notAfter(x), "20491231235959Z");
  X509_set_pubkey(x, subjectKey);
  X509V3_CTX ctx;
  X509V3_set_ctx(&ctx, nullptr, x, nullptr, nullptr, 0);
  X509_EXTENSION* ku = X509V3_EXT_conf_nid(nullptr, &ctx, NID_key_usage, "critical,digitalSignature");
  X509_add_ext(x, ku, -1);
  X509_EXTENSION_free(ku);
  X509_sign(x, caKey, EVP_sha256());
  unsigned char* der = nullptr;
  int n = i2d_X509(x, &der);
  X509_free(x);
  std::vector<unsigned char> out(der, der + n);
  OPENSSL_free(der);
  return out;
}

std::string base64(const std::vector<unsigned char>& der) {
  std::string out(4 * ((der.size() + 2) / 3) + 1, '\0');
  int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), der.data(), static_cast<int>(der.size()));
  out.resize(static_cast<std::size_t>(n));
  return out;
}

std::string sha1Hex(const std::vector<unsigned char>& der) {
  unsigned char md[SHA_DIGEST_LENGTH];
  SHA1(der.data(), der.size(), md);
  static const char kDigits[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char b : md) {
    out.push_back(kDigits[b >> 4]);
    out.push_back(kDigits[b & 15]);
  }
  return out;
}

bool makeStores() {
  EVP_PKEY* caKey = EVP_EC_gen("P-256");
  EVP_PKEY* subjectKey = EVP_RSA_gen(2048);
  if (caKey == nullptr || subjectKey == nullptr) return false;
  X509_NAME* caName = X509_NAME_new();
  X509_NAME_add_entry_by_txt(caName, "CN", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>("Bench CA"), -1, -1,
                             0);
  for (int size : {1000, 10000}) {
    char base[] = "/tmp/bench-certdb-XXXXXX";
    if (mkdtemp(base) == nullptr) return false;
    Store& store = gStores[size];
    store.root = base;
    fs::path dir = fs::path(base) / "stores" / "MY";
    fs::create_directories(dir);
    for (int i = 0; i < size; ++i) {
      std::string cn = i == size / 2 ? kTarget : "User " + std::to_string(i);
      store.ders.push_back(makeCertificate(caKey, caName, subjectKey, 0x10000 + i, cn));
      const std::vector<unsigned char>& der = store.ders.back();
      std::ofstream(dir / (sha1Hex(der) + ".cert")) << "# certificate store entry\ncertificate=" << base64(der)
                                                    << "\nadded=" << (133000000000000000LL + i) << "\n";
    }
  }
  X509_NAME_free(caName);
  EVP_PKEY_free(caKey);
  EVP_PKEY_free(subjectKey);
  return true;
}

void useStore(int size) {
  setenv("PLATFORM_ROOT", gStores[size].root.c_str(), 1);
  PlatformResetRoot();
}

void BM_SelectBySubjectCN(benchmark::State& state) {
  const int size = static_cast<int>(state.range(0));
  useStore(size);
  CCertificateDBClient client("MY");
  for (auto _ : state) {
    client.closeCertStore();
    int code = client.selectCertificateBySubjectCN(kTarget, 0);
    if (code != 0) {
      state.SkipWithError(client.getErrorMessage());
      break;
    }
  }
  state.counters["per_cert"] = benchmark::Counter(
      static_cast<double>(size), benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void BM_SelectByIssuerList(benchmark::State& state) {
  const int size = static_cast<int>(state.range(0));
  const int criteria = static_cast<int>(state.range(1));
  useStore(size);
  std::string list;
  for (int i = 0; i < criteria; ++i) list += "{C=TW,O=Other Bank " + std::to_string(i) + ",CN=Bench CA}";
  CCertificateDBClient client("MY");
  for (auto _ : state) {
    client.closeCertStore();
    int code = client.selectCertificateBySubject(MultipleCriteria{list.c_str()}, 0);
    if (code != 4) {  // no certificate has any of these issuers
      state.SkipWithError(client.getErrorMessage());
      break;
    }
  }
}

void BM_ParseD2I(benchmark::State& state) {
  const Store& store = gStores[static_cast<int>(state.range(0))];
  for (auto _ : state) {
    for (const std::vector<unsigned char>& der : store.ders) {
      const unsigned char* p = der.data();
      X509* x = d2i_X509(nullptr, &p, static_cast<long>(der.size()));
      benchmark::DoNotOptimize(x);
      X509_free(x);
    }
  }
  state.counters["per_cert"] =
      benchmark::Counter(static_cast<double>(store.ders.size()),
                         benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

BENCHMARK(BM_SelectBySubjectCN)
    ->Arg(1000)
    ->Arg(10000)
    ->Unit(benchmark::kMillisecond)
    ->MinTime(1.0)
    ->Repetitions(3)
    ->ReportAggregatesOnly(true);
BENCHMARK(BM_SelectByIssuerList)
    ->Args({1000, 100})
    ->Args({1000, 1000})
    ->Args({10000, 100})
    ->Unit(benchmark::kMillisecond)
    ->MinTime(1.0)
    ->Repetitions(3)
    ->ReportAggregatesOnly(true);
BENCHMARK(BM_ParseD2I)
    ->Arg(1000)
    ->Arg(10000)
    ->Unit(benchmark::kMillisecond)
    ->MinTime(1.0)
    ->Repetitions(3)
    ->ReportAggregatesOnly(true);

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  RatioReporter() : ConsoleReporter(OO_Tabular) {}
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& r : runs) {
      if (r.run_type != Run::RT_Aggregate || r.aggregate_name != "median" || r.error_occurred) continue;
      const std::string& fn = r.run_name.function_name;
      int size = std::atoi(r.run_name.args.c_str());
      if (fn == "BM_SelectBySubjectCN") select_[size] = r.GetAdjustedCPUTime();
      if (fn == "BM_ParseD2I") parse_[size] = r.GetAdjustedCPUTime();
      if (fn == "BM_SelectByIssuerList") issuers_[r.run_name.args] = r.GetAdjustedCPUTime();
    }
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    for (int size : {1000, 10000}) {
      if (select_.count(size) && parse_.count(size))
        std::printf("store of %5d: selection %.2f ms, d2i_X509 %.2f ms, ratio %.2f (goal: at most 3)\n", size,
                    select_[size], parse_[size], select_[size] / parse_[size]);
    }
    if (select_.count(1000) && select_.count(10000))
      std::printf("growth 1,000 -> 10,000: %.2f times (goal: at most 12)\n", select_[10000] / select_[1000]);
    auto issuers = [&](const char* args) { return issuers_.count(args) ? issuers_[args] : 0.0; };
    if (issuers("1000/100") > 0 && issuers("1000/1000") > 0)
      std::printf("issuer list, criteria 100 -> 1,000: %.2f times (goal: at most 12)\n",
                  issuers("1000/1000") / issuers("1000/100"));
    if (issuers("1000/100") > 0 && issuers("10000/100") > 0)
      std::printf("issuer list, certificates 1,000 -> 10,000: %.2f times (goal: at most 12)\n",
                  issuers("10000/100") / issuers("1000/100"));
  }

 private:
  std::map<int, double> select_, parse_;
  std::map<std::string, double> issuers_;
};
}  // namespace

int main(int argc, char** argv) {
  if (!makeStores()) {
    std::fprintf(stderr, "could not make the certificate stores\n");
    return 1;
  }
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  for (const auto& [size, store] : gStores) fs::remove_all(store.root);
  return 0;
}

// The library's Base64 against OpenSSL's EVP_EncodeBlock / EVP_DecodeBlock,
// side by side, on 1 KiB and 1 MiB of random bytes.
//
// How the comparison is kept fair:
// - Encoding: both sides get the same input bytes. The library also writes a
//   CR LF after every 76 characters (about 2.6 % more output) and allocates its
//   result on every call (malloc + free are inside the timed loop), while
//   EVP_EncodeBlock writes one unbroken line into a buffer the caller made
//   once. Every difference works against the library.
// - Decoding: EVP_DecodeBlock rejects line breaks inside its input, so it gets
//   the same data as one unbroken line; the library decodes its own CR LF text,
//   the form it actually meets, which it must scan for strays (and it again
//   allocates per call). "Lib_NoBreaks" shows the library on the unbroken line
//   for reference. The ratios printed at the end compare Lib (CR LF text)
//   with EVP.
//
// "ratio X: r" is EVP time / library time, so r >= 1 means the library is at
// least as fast.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "signlib/Base64.h"

namespace {

std::vector<unsigned char> randomBytes(size_t n) {
  std::mt19937 gen(12345);
  std::vector<unsigned char> v(n);
  for (auto& b : v) b = static_cast<unsigned char>(gen());
  return v;
}

std::string evpText(const std::vector<unsigned char>& bytes) {
  std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), bytes.data(), static_cast<int>(bytes.size()));
  out.resize(static_cast<size_t>(n));
  return out;
}

std::string libText(const std::vector<unsigned char>& bytes) {
  char* t = base64Encode(bytes.data(), static_cast<int>(bytes.size()));
  std::string s(t);
  std::free(t);
  return s;
}

void BM_Encode_Lib(benchmark::State& state) {
  auto in = randomBytes(static_cast<size_t>(state.range(0)));
  for (auto _ : state) {
    char* t = base64Encode(in.data(), static_cast<int>(in.size()));
    benchmark::DoNotOptimize(t);
    std::free(t);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void BM_Encode_EVP(benchmark::State& state) {
  auto in = randomBytes(static_cast<size_t>(state.range(0)));
  std::vector<unsigned char> out(4 * ((in.size() + 2) / 3) + 1);
  for (auto _ : state) {
    int n = EVP_EncodeBlock(out.data(), in.data(), static_cast<int>(in.size()));
    benchmark::DoNotOptimize(n);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void decodeLib(benchmark::State& state, const std::string& text) {
  for (auto _ : state) {
    int n = static_cast<int>(text.size());
    unsigned char* b = base64Decode(text.c_str(), &n);
    benchmark::DoNotOptimize(b);
    std::free(b);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void BM_Decode_Lib(benchmark::State& state) {
  decodeLib(state, libText(randomBytes(static_cast<size_t>(state.range(0)))));
}

void BM_Decode_Lib_NoBreaks(benchmark::State& state) {
  decodeLib(state, evpText(randomBytes(static_cast<size_t>(state.range(0)))));
}

void BM_Decode_EVP(benchmark::State& state) {
  std::string text = evpText(randomBytes(static_cast<size_t>(state.range(0))));
  std::vector<unsigned char> out(text.size());
  for (auto _ : state) {
    int n =
        EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
    benchmark::DoNotOptimize(n);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

constexpr int64_t kKiB = 1024;
constexpr int64_t kMiB = 1024 * 1024;

BENCHMARK(BM_Encode_Lib)->Arg(kKiB)->Arg(kMiB);
BENCHMARK(BM_Encode_EVP)->Arg(kKiB)->Arg(kMiB);
BENCHMARK(BM_Decode_Lib)->Arg(kKiB)->Arg(kMiB);
BENCHMARK(BM_Decode_Lib_NoBreaks)->Arg(kKiB)->Arg(kMiB);
BENCHMARK(BM_Decode_EVP)->Arg(kKiB)->Arg(kMiB);

// Console output as usual, then one ratio line per operation and size.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& r : runs)
      if (r.run_type == Run::RT_Iteration && !r.error_occurred) times_[r.benchmark_name()] = r.GetAdjustedCPUTime();
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    const struct {
      const char* label;
      const char* lib;
      const char* evp;
    } pairs[] = {
        {"encode 1KiB", "BM_Encode_Lib/1024", "BM_Encode_EVP/1024"},
        {"encode 1MiB", "BM_Encode_Lib/1048576", "BM_Encode_EVP/1048576"},
        {"decode 1KiB", "BM_Decode_Lib/1024", "BM_Decode_EVP/1024"},
        {"decode 1MiB", "BM_Decode_Lib/1048576", "BM_Decode_EVP/1048576"},
    };
    for (const auto& p : pairs) {
      auto lib = times_.find(p.lib);
      auto evp = times_.find(p.evp);
      if (lib == times_.end() || evp == times_.end() || lib->second <= 0) continue;
      std::printf("ratio %s: %.2f\n", p.label, evp->second / lib->second);
    }
    std::fflush(stdout);
  }

 private:
  std::map<std::string, double> times_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}

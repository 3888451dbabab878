// Two sides of a comparison timed in one loop.
//
// interleave() runs both sides in every iteration, one after the other with
// the order alternating, so that a change in the machine's load falls on
// both alike, and measures each one's process CPU time (user and system, so
// in-process token or kernel work counts). It sets a counter per side (its
// milliseconds per run) and "ratio", ours over the reference. Timed by wall
// time, the sides' counters and "ratio" are wall time, and "<side>_cpu_ms"
// and "cpu_ratio" give the CPU time beside them.
// RatioReporter prints the usual console output and then the closing lines
// made from the ratios: the median's when a benchmark is repeated.
#pragma once

#include <benchmark/benchmark.h>

#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace bench {

// Process CPU time in milliseconds.
double cpuMs();

struct Side {
  std::string counter;  // its counter, e.g. "openssl_ms"
  // One run; false on failure, with *error saying what failed.
  std::function<bool(std::string* error)> once;
};

enum class Timing { Cpu, WallAndCpu };

void interleave(benchmark::State& state, const Side& ours, const Side& reference, Timing timing = Timing::Cpu);

// A side whose run only says whether it worked; `failure` is its error then.
Side plainSide(std::string counter, std::function<bool()> once, std::string failure);

// One side alone, once per iteration; the first failure ends the benchmark
// with its error.
void repeat(benchmark::State& state, const Side& side);

// Runs the registered benchmarks (flags from the command line) with a
// RatioReporter whose closing line `line` prints from BM_Interleaved's ratio.
void runWithRatio(int* argc, char** argv, std::function<void(double ratio)> line);

// The counters of each benchmark that reported a "ratio", by function name.
using Ratios = std::map<std::string, benchmark::UserCounters>;

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  // `line` prints the closing line from the ratio of benchmark `function`.
  explicit RatioReporter(std::function<void(double ratio)> line, std::string function = "BM_Interleaved");
  // `lines` prints the closing lines from every benchmark's counters.
  explicit RatioReporter(std::function<void(const Ratios& found)> lines);
  void ReportRuns(const std::vector<Run>& runs) override;
  void Finalize() override;

 private:
  std::function<void(const Ratios&)> lines_;
  Ratios found_;
  std::set<std::string> fromMedian_;
};

}  // namespace bench

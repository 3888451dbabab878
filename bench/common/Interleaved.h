// Two sides of a comparison timed in one loop.
//
// interleave() runs both sides in every iteration, one after the other with
// the order alternating, so that a change in the machine's load falls on
// both alike, and measures each one's process CPU time (user and system, so
// in-process token or kernel work counts). It sets a counter per side (its
// milliseconds per run) and "ratio", ours over the reference.
// RatioReporter prints the usual console output and then one line made from
// that ratio: the median's when the benchmark is repeated.
#pragma once

#include <benchmark/benchmark.h>

#include <functional>
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

void interleave(benchmark::State& state, const Side& ours, const Side& reference);

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  // `line` prints the closing line from the ratio of benchmark `function`.
  explicit RatioReporter(std::function<void(double ratio)> line, std::string function = "BM_Interleaved");
  void ReportRuns(const std::vector<Run>& runs) override;
  void Finalize() override;

 private:
  std::function<void(double)> line_;
  std::string function_;
  bool found_ = false;
  bool fromMedian_ = false;
  double ratio_ = 0;
};

}  // namespace bench

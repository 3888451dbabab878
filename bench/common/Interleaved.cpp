#include "Interleaved.h"

#include <time.h>

namespace bench {

double cpuMs() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

void interleave(benchmark::State& state, const Side& ours, const Side& reference) {
  double oursMs = 0, referenceMs = 0;
  long n = 0;
  std::string error;
  for (auto _ : state) {
    for (int k = 0; k < 2; ++k) {
      bool oursNow = (n % 2 == 0) == (k == 0);
      const Side& side = oursNow ? ours : reference;
      double t0 = cpuMs();
      bool ok = side.once(&error);
      (oursNow ? oursMs : referenceMs) += cpuMs() - t0;
      if (!ok) {
        state.SkipWithError(error.empty() ? (side.counter + ": a run failed").c_str() : error.c_str());
        return;
      }
    }
    ++n;
  }
  state.counters[ours.counter] = oursMs / static_cast<double>(n);
  state.counters[reference.counter] = referenceMs / static_cast<double>(n);
  state.counters["ratio"] = oursMs / referenceMs;
}

RatioReporter::RatioReporter(std::function<void(double ratio)> line, std::string function)
    : line_(std::move(line)), function_(std::move(function)) {}

void RatioReporter::ReportRuns(const std::vector<Run>& runs) {
  ConsoleReporter::ReportRuns(runs);
  for (const Run& r : runs) {
    if (r.error_occurred || r.run_name.function_name != function_) continue;
    auto it = r.counters.find("ratio");
    if (it == r.counters.end()) continue;
    bool median = r.run_type == Run::RT_Aggregate && r.aggregate_name == "median";
    bool single = r.run_type == Run::RT_Iteration && !fromMedian_;
    if (!median && !single) continue;
    ratio_ = it->second.value;
    found_ = true;
    fromMedian_ = fromMedian_ || median;
  }
}

void RatioReporter::Finalize() {
  ConsoleReporter::Finalize();
  if (found_) line_(ratio_);
}

}  // namespace bench

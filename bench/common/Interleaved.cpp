#include "Interleaved.h"

#include <time.h>

namespace bench {

double cpuMs() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

namespace {
double wallMs() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}
}  // namespace

void interleave(benchmark::State& state, const Side& ours, const Side& reference, Timing timing) {
  bool wall = timing == Timing::WallAndCpu;
  double oursMs = 0, referenceMs = 0, oursCpu = 0, referenceCpu = 0;
  long n = 0;
  std::string error;
  for (auto _ : state) {
    for (int k = 0; k < 2; ++k) {
      bool oursNow = (n % 2 == 0) == (k == 0);
      const Side& side = oursNow ? ours : reference;
      double w0 = wall ? wallMs() : 0, c0 = cpuMs();
      bool ok = side.once(&error);
      double cpu = cpuMs() - c0;
      (oursNow ? oursMs : referenceMs) += wall ? wallMs() - w0 : cpu;
      (oursNow ? oursCpu : referenceCpu) += cpu;
      if (!ok) {
        state.SkipWithError(error.empty() ? (side.counter + ": a run failed").c_str() : error.c_str());
        return;
      }
    }
    ++n;
  }
  double runs = static_cast<double>(n);
  state.counters[ours.counter] = oursMs / runs;
  state.counters[reference.counter] = referenceMs / runs;
  state.counters["ratio"] = oursMs / referenceMs;
  if (wall) {
    auto cpuName = [](const std::string& c) {
      return c.size() > 3 && c.compare(c.size() - 3, 3, "_ms") == 0 ? c.substr(0, c.size() - 3) + "_cpu_ms"
                                                                    : c + "_cpu";
    };
    state.counters[cpuName(ours.counter)] = oursCpu / runs;
    state.counters[cpuName(reference.counter)] = referenceCpu / runs;
    state.counters["cpu_ratio"] = oursCpu / referenceCpu;
  }
}

Side plainSide(std::string counter, std::function<bool()> once, std::string failure) {
  return {std::move(counter), [once = std::move(once), failure = std::move(failure)](std::string* error) {
            if (once()) return true;
            *error = failure;
            return false;
          }};
}

void repeat(benchmark::State& state, const Side& side) {
  std::string error;
  for (auto _ : state)
    if (!side.once(&error)) {
      state.SkipWithError(error.empty() ? (side.counter + ": a run failed").c_str() : error.c_str());
      return;
    }
}

RatioReporter::RatioReporter(std::function<void(double ratio)> line, std::string function)
    : lines_([line = std::move(line), function = std::move(function)](const Ratios& found) {
        auto it = found.find(function);
        if (it != found.end()) line(it->second.at("ratio").value);
      }) {}

void runWithRatio(int* argc, char** argv, std::function<void(double ratio)> line) {
  benchmark::Initialize(argc, argv);
  RatioReporter reporter(std::move(line));
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
}

RatioReporter::RatioReporter(std::function<void(const Ratios& found)> lines) : lines_(std::move(lines)) {}

void RatioReporter::ReportRuns(const std::vector<Run>& runs) {
  ConsoleReporter::ReportRuns(runs);
  for (const Run& r : runs) {
    if (r.error_occurred || r.counters.find("ratio") == r.counters.end()) continue;
    const std::string& name = r.run_name.function_name;
    bool median = r.run_type == Run::RT_Aggregate && r.aggregate_name == "median";
    bool single = r.run_type == Run::RT_Iteration && fromMedian_.count(name) == 0;
    if (!median && !single) continue;
    found_[name] = r.counters;
    if (median) fromMedian_.insert(name);
  }
}

void RatioReporter::Finalize() {
  ConsoleReporter::Finalize();
  if (!found_.empty()) lines_(found_);
}

}  // namespace bench

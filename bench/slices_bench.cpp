// What a second slice buys: the data path of datapath_bench (the real agent library, random
// writes read back, 4 KiB blocks, 8 per command, queue depth 32 per slice) on one drive as one
// slice against the same drive as two slices, on the simulated drive and on a file in /dev/shm,
// in this process. Each iteration runs one, two, two, one slices, so that drift of a shared
// machine falls on both sides alike. Rates are written + verified bytes per wall second after a
// 1 s warm-up: two slices are meant to use two cores, which CPU time would not show.
//
// Counters: one_MBps, two_MBps, ratio (two slices over one; the target is 1.8 on two free
// cores). BENCH_SECONDS (default 2) sets the measured part of each run.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "BenchSupport.h"

namespace {

constexpr double kWarmupSeconds = 1.0;

double benchSeconds() {
  const char* env = std::getenv("BENCH_SECONDS");
  const double seconds = env ? std::atof(env) : 0.0;
  return seconds > 0 ? seconds : 2.0;
}

// Bytes per wall second in steady state; 0 when the run failed. `file`: the device's path, empty
// for the simulated drive.
double rate(const std::string& file, uint32_t slices, std::string& error) {
  const std::string text = bench::simTestText(
      "duration = \"" + std::to_string(static_cast<int>((kWarmupSeconds + benchSeconds()) * 1000)) + "ms\"",
      (256ull << 20) / 4096, 4096, 32, 8, 4096);
  const bench::RunResult run = bench::runTestTextWarmEdited(text, 7, kWarmupSeconds, [&](varnox::TestPlan& plan) {
    plan.drives[0].slices = slices;
    if (!file.empty()) plan.drives[0].device.kind = file;
  });
  const double steadySeconds = run.seconds - kWarmupSeconds;
  if (!run.ok || steadySeconds <= 0) {
    error = run.error;
    return 0;
  }
  return static_cast<double>(run.steadyBytes) / steadySeconds;
}

void BM_TwoSlices(benchmark::State& state) {
  const bool onFile = state.range(0) != 0;
  const std::string file =
      onFile ? "/dev/shm/varnox-slices-bench-" + std::to_string(::getpid()) + ".img" : std::string();
  for (auto _ : state) {
    double one = 0, two = 0;
    std::string error;
    for (uint32_t slices : {1u, 2u, 2u, 1u}) {
      const double r = rate(file, slices, error);
      if (r == 0) {
        if (onFile) std::filesystem::remove(file);
        state.SkipWithError(("run failed: " + error).c_str());
        return;
      }
      (slices == 2 ? two : one) += r / 2;
    }
    state.counters["one_MBps"] = one / 1e6;
    state.counters["two_MBps"] = two / 1e6;
    state.counters["ratio"] = two / one;
  }
  if (onFile) std::filesystem::remove(file);
}
// 0: the simulated drive; 1: a file in /dev/shm (tmpfs).
BENCHMARK(BM_TwoSlices)
    ->ArgNames({"file"})
    ->Arg(0)
    ->Arg(1)
    ->Iterations(1)
    ->Repetitions(1)
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();

// What recording every command's latency costs the data path: the run of datapath_bench (the
// real agent library on the simulated drive, random writes read back at queue depth 32) with
// latency recording and the command timeout on, as every run has them, against the same run with
// both off, in this process. Each iteration runs off, on, on, off, so that drift of a shared
// machine falls on both sides alike. Rates are written + verified bytes per CPU second of the
// whole process in steady state (after a 2 s warm-up).
//
// Counters: on_MBps, off_MBps, cost_pct (how much slower with recording, in percent of the rate
// without). BENCH_SECONDS (default 3) sets the measured part of each run.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>

#include "BenchSupport.h"

namespace {

constexpr double kWarmupSeconds = 2.0;

double benchSeconds() {
  const char* env = std::getenv("BENCH_SECONDS");
  const double seconds = env ? std::atof(env) : 0.0;
  return seconds > 0 ? seconds : 3.0;
}

// Bytes per CPU second in steady state; 0 when the run failed.
double rate(uint32_t blockSize, uint32_t xfer, bool recording, std::string& error) {
  const std::string text = bench::simTestText(
      "duration = \"" + std::to_string(static_cast<int>((kWarmupSeconds + benchSeconds()) * 1000)) + "ms\"",
      (64ull << 20) / blockSize, blockSize, 32, xfer, 4096);
  const bench::RunResult run = bench::runTestTextWarmEdited(text, 7, kWarmupSeconds, [recording](varnox::TestPlan& plan) {
    plan.recordLatency = recording;
    plan.commandTimeoutSeconds = recording ? 30 : 0;
  });
  if (!run.ok || run.steadyCpuSeconds <= 0) {
    error = run.error;
    return 0;
  }
  return static_cast<double>(run.steadyBytes) / run.steadyCpuSeconds;
}

void BM_LatencyCost(benchmark::State& state) {
  const auto blockSize = static_cast<uint32_t>(state.range(0));
  const auto xfer = static_cast<uint32_t>(state.range(1));
  for (auto _ : state) {
    double on = 0, off = 0;
    std::string error;
    for (bool recording : {false, true, true, false}) {
      const double r = rate(blockSize, xfer, recording, error);
      if (r == 0) {
        state.SkipWithError(("run failed: " + error).c_str());
        return;
      }
      (recording ? on : off) += r / 2;
    }
    state.counters["on_MBps"] = on / 1e6;
    state.counters["off_MBps"] = off / 1e6;
    state.counters["cost_pct"] = (1 - on / off) * 100;
  }
}
// The smallest commands pay the most per byte.
BENCHMARK(BM_LatencyCost)
    ->ArgNames({"bs", "xfer"})
    ->Args({512, 8})
    ->Args({4096, 8})
    ->Iterations(1)
    ->Repetitions(3)
    ->DisplayAggregatesOnly(true)
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();

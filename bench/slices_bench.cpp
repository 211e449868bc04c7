// What a second slice buys: the data path of datapath_bench (the real agent library, random
// writes read back, 4 KiB blocks, 8 per command) on one drive as one slice at queue depth 32
// against the same drive as two slices at 16 each (the same commands in flight), on the
// simulated drive and on a file in /dev/shm, in this process. Each iteration runs one, two, two,
// one slices, so that drift of a shared machine falls on both sides alike. Rates are written +
// verified bytes per wall second after a 1 s warm-up: two slices are meant to use two cores,
// which CPU time would not show. The CPU time per block (the whole process's, kernel included)
// shows what scaling costs whatever else the machine runs: on a busy machine two slices cannot
// get two cores, but if they do not contend their CPU time per block stays that of one.
//
// Counters: one_MBps, two_MBps, ratio (two slices over one; the target is 1.8 on two free
// cores), one_cpu_ns, two_cpu_ns (CPU ns per written or verified block), cpu_ratio (two over
// one; 1 means no cost for the second slice), one_cpus, two_cpus (CPU seconds per wall second:
// two slices can only reach twice the rate where the machine gives them twice the CPU),
// load_before, load_after (the 1-minute load average of the machine around the iteration: above
// about 0.5 the wall-clock ratio is not the scaling's alone). BENCH_SECONDS (default 2) sets the
// measured part of each run.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "BenchSupport.h"

namespace {

constexpr double kWarmupSeconds = 1.0;
constexpr uint32_t kTotalQueueDepth = 32;
constexpr uint32_t kBlockBytes = 4096;

double loadAverage() {
  std::ifstream in("/proc/loadavg");
  double load = -1;
  in >> load;
  return load;
}

struct Rate {
  double bytesPerSecond = 0;  // 0: the run failed
  double cpuNsPerBlock = 0;
  double cpusUsed = 0;  // CPU seconds per wall second: what the machine gave the run
};

double benchSeconds() {
  const char* env = std::getenv("BENCH_SECONDS");
  const double seconds = env ? std::atof(env) : 0.0;
  return seconds > 0 ? seconds : 2.0;
}

// Bytes per wall second and CPU per block in steady state. `file`: the device's path, empty for
// the simulated drive.
Rate rate(const std::string& file, uint32_t slices, std::string& error) {
  const std::string text = bench::simTestText(
      "duration = \"" + std::to_string(static_cast<int>((kWarmupSeconds + benchSeconds()) * 1000)) + "ms\"",
      (256ull << 20) / kBlockBytes, kBlockBytes, kTotalQueueDepth / slices, 8, 4096);
  const bench::RunResult run =
      bench::runTestTextWarmEdited(text, 7, kWarmupSeconds, [&](varnox::TestPlan& plan) {
        plan.drives[0].slices = slices;
        if (!file.empty()) plan.drives[0].device.kind = file;
      });
  const double steadySeconds = run.seconds - kWarmupSeconds;
  if (!run.ok || steadySeconds <= 0 || run.steadyBytes == 0) {
    error = run.ok ? "nothing moved after the warm-up" : run.error;
    return {};
  }
  return {static_cast<double>(run.steadyBytes) / steadySeconds,
          run.steadyCpuSeconds * 1e9 / (static_cast<double>(run.steadyBytes) / kBlockBytes),
          run.steadyCpuSeconds / steadySeconds};
}

void BM_TwoSlices(benchmark::State& state) {
  const bool onFile = state.range(0) != 0;
  const std::string file =
      onFile ? "/dev/shm/varnox-slices-bench-" + std::to_string(::getpid()) + ".img" : std::string();
  for (auto _ : state) {
    Rate one, two;
    std::string error;
    const double loadBefore = loadAverage();
    for (uint32_t slices : {1u, 2u, 2u, 1u}) {
      const Rate r = rate(file, slices, error);
      if (r.bytesPerSecond == 0) {
        if (onFile) std::filesystem::remove(file);
        state.SkipWithError(("run failed: " + error).c_str());
        return;
      }
      Rate& side = slices == 2 ? two : one;
      side.bytesPerSecond += r.bytesPerSecond / 2;
      side.cpuNsPerBlock += r.cpuNsPerBlock / 2;
      side.cpusUsed += r.cpusUsed / 2;
    }
    state.counters["one_MBps"] = one.bytesPerSecond / 1e6;
    state.counters["two_MBps"] = two.bytesPerSecond / 1e6;
    state.counters["ratio"] = two.bytesPerSecond / one.bytesPerSecond;
    state.counters["one_cpu_ns"] = one.cpuNsPerBlock;
    state.counters["two_cpu_ns"] = two.cpuNsPerBlock;
    state.counters["cpu_ratio"] = two.cpuNsPerBlock / one.cpuNsPerBlock;
    state.counters["one_cpus"] = one.cpusUsed;
    state.counters["two_cpus"] = two.cpusUsed;
    state.counters["load_before"] = loadBefore;
    state.counters["load_after"] = loadAverage();
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

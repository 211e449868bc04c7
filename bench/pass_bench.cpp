// Cost of one agent `execute` pass and how it grows with the LBA history. The real agent runs
// through the host on the simulated drive with one-block commands (next to no data to move),
// while the history also tracks a background of N LBAs spread evenly over the drive, each
// holding a write that still awaits its read-back, as a long queue of outstanding read-backs
// would. The agent's table is wrapped so that setup adds the background and every execute is
// timed; the rest of the pass (the flow's command steps, the drive) is not counted.
//
// Counters: ns_per_pass (mean over the passes after the first; passes longer than 100 us, i.e.
// the thread was preempted on a shared machine, are left out and counted in preempted),
// allocs_per_pass (heap allocations inside execute), and in BM_PassGrowth the cost of a pass
// with 1,000,000 background LBAs relative to one with 1,000, measured in this process.
//
// BENCH_PASSES (default 200000) sets the passes of each run.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>

#include "BenchSupport.h"
#include "drive/DriveData.h"
#include "entry/Entry.h"

namespace {

using varnox::AgentTable;
using varnox::DriveThread;

constexpr uint64_t kCapacityBlocks = 4ull << 20;  // 2 GiB of 512-byte blocks
constexpr double kPreemptedNanos = 100'000;

uint64_t benchPasses() {
  const char* env = std::getenv("BENCH_PASSES");
  const long long passes = env ? std::atoll(env) : 0;
  return passes > 0 ? static_cast<uint64_t>(passes) : 200'000;
}

// The wrapped agent's state: the slots are plain functions, so it lives here.
struct PassTimer {
  AgentTable real{};
  uint64_t backgroundLbas = 0;
  uint64_t passes = 0;
  uint64_t timedPasses = 0;
  uint64_t preempted = 0;
  double nanos = 0;
  uint64_t allocations = 0;
};
PassTimer timer;

int timedSetup(DriveThread* thread, void* config, void* driveRecord) {
  const int status = timer.real.setupTest(thread, config, driveRecord);
  if (status != 0) return status;
  auto& drive = *static_cast<cardamor::DriveData*>(driveRecord);
  // Command id 1 for the background, so that every write of the run is newer than it.
  const uint64_t spacing = kCapacityBlocks / timer.backgroundLbas;
  for (uint64_t i = 0; i < timer.backgroundLbas; ++i) {
    const int added = drive.atomicContext.writeIssued(1, i * spacing + spacing / 2,
                                                      cardamor::AtomicContext::INVALID_BUCKET, false, 0, 0);
    if (added != 0) return added;
  }
  drive.nextCmdId = std::max<uint64_t>(drive.nextCmdId, 2);
  return 0;
}

int timedExecute(DriveThread* thread, void* config, void* drive) {
  const uint64_t allocationsBefore = bench::heapAllocations.load(std::memory_order_relaxed);
  const auto start = std::chrono::steady_clock::now();
  const int status = timer.real.execute(thread, config, drive);
  const double nanos = std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count();
  // The first pass runs the deferred setup (bucket table, trace): not a steady-state pass.
  if (timer.passes++ > 0) {
    if (nanos > kPreemptedNanos) {
      ++timer.preempted;
    } else {
      timer.nanos += nanos;
      ++timer.timedPasses;
      timer.allocations += bench::heapAllocations.load(std::memory_order_relaxed) - allocationsBefore;
    }
  }
  return status;
}

std::string testText(uint64_t passes) {
  return bench::simTestText("passes = " + std::to_string(passes), kCapacityBlocks, 512, 32, 1, 1024);
}

struct PassCost {
  bool ok = false;
  std::string error;
  double nanosPerPass = 0;
  double allocationsPerPass = 0;
  uint64_t preempted = 0;
};

PassCost measure(uint64_t backgroundLbas) {
  timer = PassTimer{};
  cardamor::initAgent(&timer.real);
  timer.backgroundLbas = backgroundLbas;
  AgentTable wrapped = timer.real;
  wrapped.setupTest = &timedSetup;
  wrapped.execute = &timedExecute;
  const bench::RunResult run = bench::runTestText(testText(benchPasses()), 7, std::make_pair(std::string("cardamor"), wrapped));
  PassCost cost;
  cost.ok = run.ok && timer.timedPasses > 0;
  cost.error = run.error;
  if (!cost.ok) return cost;
  cost.nanosPerPass = timer.nanos / static_cast<double>(timer.timedPasses);
  cost.allocationsPerPass = static_cast<double>(timer.allocations) / static_cast<double>(timer.timedPasses);
  cost.preempted = timer.preempted;
  return cost;
}

void BM_PassCost(benchmark::State& state) {
  for (auto _ : state) {
    const PassCost cost = measure(static_cast<uint64_t>(state.range(0)));
    if (!cost.ok) {
      state.SkipWithError(("run failed: " + cost.error).c_str());
      return;
    }
    state.counters["ns_per_pass"] = cost.nanosPerPass;
    state.counters["allocs_per_pass"] = cost.allocationsPerPass;
    state.counters["preempted"] = static_cast<double>(cost.preempted);
  }
}
BENCHMARK(BM_PassCost)->ArgName("lbas")->Arg(1'000)->Arg(1'000'000)->Iterations(1)->Unit(benchmark::kMillisecond);

// Small, large, small again: the ratio takes the mean of the two small runs so that drift in
// the machine's load falls on both sides.
void BM_PassGrowth(benchmark::State& state) {
  for (auto _ : state) {
    const PassCost small1 = measure(1'000);
    const PassCost large = measure(1'000'000);
    const PassCost small2 = measure(1'000);
    if (!small1.ok || !large.ok || !small2.ok) {
      state.SkipWithError("run failed");
      return;
    }
    state.counters["cost_ratio_1M_vs_1k"] = large.nanosPerPass / ((small1.nanosPerPass + small2.nanosPerPass) / 2);
  }
}
BENCHMARK(BM_PassGrowth)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();

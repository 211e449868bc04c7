// Data path on the simulated drive: bytes written plus bytes verified per wall second when the
// real agent library runs through the host as `varnox run` runs it (random writes of a fixed
// transfer length, read back at queue depth 32), against a floor measured in this process: the
// same kind of commands pushed through the least work any verifying tester must do (copy the
// write data from a table of pre-generated blocks into a write buffer, copy it into the medium,
// later copy it out again and compare it with the table), on a medium mapped as the simulated
// drive maps its own.
//
// Rates are bytes per CPU second (every thread of the process for ours, the one thread of the
// floor), so that other work on a shared machine does not enter the ratio; ours_wall_MBps is
// the same run per wall second. Counters: ours_MBps, ours_wall_MBps, floor_MBps, ratio (ours /
// floor), ratio_tagged (ours / the same floor with a buffer pair per tag of the queue, which is
// what the agent holds: at 4 KiB x 256 they are 64 MiB, beyond the cache), ns_per_block and
// floor_ns_per_block (CPU nanoseconds per block written and read back
// verified: one block's whole trip) and allocs_per_block (heap allocations anywhere in the
// process during the run, per block written or read).
//
// Ours is measured in steady state: the warm-up is left out (the medium's first touches, the
// pools growing): at least 2 s, and until the drive has written twelve times its capacity, after
// which a page of the medium is still untouched with a chance of e^-12 (writes land at random;
// at 4 KiB x 256 on a loaded machine 2 s covered far less, and first touches made a fifth of the
// measured time). The floor's medium is touched in full before its clock starts.
// BENCH_SECONDS (default 3) sets the measured part of each run; each case runs three times and
// prints the mean, median, standard deviation and coefficient of variation of every counter.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "sim/BlockStore.h"

namespace {

constexpr double kWarmupSeconds = 2.0;
constexpr uint64_t kWarmupCapacities = 12;
// The test's own limit, far beyond any warm-up: the run is stopped once its steady part is long enough.
constexpr double kRunLimitSeconds = 120.0;

// Small enough that the warm-up touches nearly every page of the medium at random, large enough
// that the written ranges waiting for their read-back seldom overlap.
uint64_t capacityBytes(uint32_t xfer) { return xfer >= 64 ? 256ull << 20 : 64ull << 20; }
constexpr uint32_t kBucketCount = 4096;
constexpr uint32_t kQueueDepth = 32;

double benchSeconds() {
  const char* env = std::getenv("BENCH_SECONDS");
  const double seconds = env ? std::atof(env) : 0.0;
  return seconds > 0 ? seconds : 3.0;
}

std::string testText(uint32_t blockSize, uint32_t xfer, double seconds) {
  return bench::simTestText("duration = \"" + std::to_string(static_cast<int>(seconds * 1000)) + "ms\"",
                            capacityBytes(xfer) / blockSize, blockSize, kQueueDepth, xfer, kBucketCount);
}

// The floor: the same transfer length, block size and bucket table, random buckets and LBAs,
// and a medium of the simulated drive's own kind and size, touched in full before the clock
// starts (ours is measured after its warm-up). Like ours, it reads a command back after the
// 64 commands written since (the agent's "Min Queue Size" below), so the read finds the data
// where a drive would have it, not in the cache the write just filled. Returns bytes per CPU
// second over at least `bytes` bytes, or 0 when the medium cannot be mapped. `bufferPairs` write
// and read buffers are used in turn: 1 keeps them in the cache; kQueueDepth is what a tester
// with that many commands in flight must hold, one pair per tag, as ours does.
double floorRate(uint32_t blockSize, uint32_t xfer, uint64_t bytes, uint32_t bufferPairs) {
  constexpr size_t kReadBackDistance = 64;
  const size_t commandBytes = size_t{xfer} * blockSize;
  std::vector<uint8_t> table(size_t{kBucketCount + xfer} * blockSize);
  std::mt19937_64 random(7);
  for (size_t i = 0; i < table.size(); i += 8) {
    const uint64_t word = random();
    std::memcpy(&table[i], &word, 8);
  }
  const uint64_t capacityBlocks = capacityBytes(xfer) / blockSize;
  varnox::sim::BlockStore medium;
  std::string error;
  if (!medium.open(capacityBlocks, blockSize, error)) return 0;
  std::memset(medium.block(0), 0x5a, capacityBytes(xfer));
  std::vector<std::vector<uint8_t>> writeBuffers(bufferPairs, std::vector<uint8_t>(commandBytes));
  std::vector<std::vector<uint8_t>> readBuffers(bufferPairs, std::vector<uint8_t>(commandBytes));
  uint32_t pair = 0;
  // Commands written and not yet read back, oldest first in ring order. Their ranges do not
  // overlap, so every read-back finds exactly what its write stored.
  struct Written {
    uint64_t lba;
    const uint8_t* source;
  };
  std::vector<Written> ring;
  ring.reserve(kReadBackDistance);
  const uint64_t slots = capacityBlocks / xfer;
  std::vector<bool> busy(slots, false);

  uint64_t moved = 0;
  size_t oldest = 0;
  const double start = bench::cpuSeconds(CLOCK_THREAD_CPUTIME_ID);
  while (moved < bytes) {
    const uint64_t draw = random();
    uint64_t slot = (draw >> 32) % slots;
    while (busy[slot]) slot = (slot + 1) % slots;
    busy[slot] = true;
    const Written write{slot * xfer, &table[size_t{static_cast<uint32_t>(draw) % kBucketCount} * blockSize]};
    pair = (pair + 1) % bufferPairs;
    uint8_t* const writeBuffer = writeBuffers[pair].data();
    std::memcpy(writeBuffer, write.source, commandBytes);
    std::memcpy(medium.block(write.lba), writeBuffer, commandBytes);
    moved += commandBytes;
    if (ring.size() < kReadBackDistance) {
      ring.push_back(write);
      continue;
    }
    const Written read = ring[oldest];
    ring[oldest] = write;
    oldest = (oldest + 1) % kReadBackDistance;
    uint8_t* const readBuffer = readBuffers[pair].data();
    std::memcpy(readBuffer, medium.block(read.lba), commandBytes);
    if (std::memcmp(readBuffer, read.source, commandBytes) != 0) std::abort();
    busy[read.lba / xfer] = false;
    benchmark::ClobberMemory();
    moved += commandBytes;
  }
  return static_cast<double>(moved) / (bench::cpuSeconds(CLOCK_THREAD_CPUTIME_ID) - start);
}

void BM_DataPath(benchmark::State& state) {
  const auto blockSize = static_cast<uint32_t>(state.range(0));
  const auto xfer = static_cast<uint32_t>(state.range(1));
  for (auto _ : state) {
    bench::Warmup warmup(kWarmupSeconds);
    warmup.writtenBytes = kWarmupCapacities * capacityBytes(xfer);
    warmup.steadySeconds = benchSeconds();
    const bench::RunResult ours =
        bench::runTestTextWarm(testText(blockSize, xfer, kRunLimitSeconds), 7, warmup);
    if (!ours.ok || ours.steadyBytes == 0) {
      state.SkipWithError(("run failed: " + ours.error).c_str());
      return;
    }
    if (!ours.warmed) {
      state.SkipWithError("the run ended before its warm-up did");
      return;
    }
    const double oursRate = static_cast<double>(ours.steadyBytes) / ours.steadyCpuSeconds;
    const double floor = floorRate(blockSize, xfer, ours.steadyBytes, 1);
    const double taggedFloor = floorRate(blockSize, xfer, ours.steadyBytes, kQueueDepth);
    state.counters["ours_MBps"] = oursRate / 1e6;
    state.counters["ours_wall_MBps"] = static_cast<double>(ours.bytesMoved) / ours.seconds / 1e6;  // whole run
    state.counters["floor_MBps"] = floor / 1e6;
    state.counters["ratio"] = floor > 0 ? oursRate / floor : 0.0;
    state.counters["ratio_tagged"] = taggedFloor > 0 ? oursRate / taggedFloor : 0.0;
    // Every block of the steady state is counted twice in its bytes: once written, once verified.
    const double tripBytes = 2.0 * blockSize;
    state.counters["ns_per_block"] = tripBytes / oursRate * 1e9;
    state.counters["floor_ns_per_block"] = floor > 0 ? tripBytes / floor * 1e9 : 0.0;
    state.counters["allocs_per_block"] =
        static_cast<double>(ours.allocations) / (static_cast<double>(ours.steadyBytes) / blockSize);
  }
}
BENCHMARK(BM_DataPath)
    ->ArgNames({"bs", "xfer"})
    ->Args({512, 8})
    ->Args({512, 256})
    ->Args({4096, 8})
    ->Args({4096, 256})
    ->Iterations(1)
    // Runs on a shared machine differ by a fifth or more; the median of three is what to quote.
    ->Repetitions(3)
    ->DisplayAggregatesOnly(true)
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();

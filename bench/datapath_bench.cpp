// Data path on the simulated drive: bytes written plus bytes verified per wall second when the
// real agent library runs through the host as `varnox run` runs it (random writes of a fixed
// transfer length, read back at queue depth 32), against a floor measured in this process: the
// same kind of commands pushed through the least work any verifying tester must do (copy the
// write data from a table of pre-generated blocks into a write buffer, copy it into the medium,
// copy it out again, compare it with the table), on a medium mapped as the simulated drive maps
// its own.
//
// Rates are bytes per CPU second (every thread of the process for ours, the one thread of the
// floor), so that other work on a shared machine does not enter the ratio; ours_wall_MBps is
// the same run per wall second. Counters: ours_MBps, ours_wall_MBps, floor_MBps, ratio (ours /
// floor) and allocs_per_block (heap allocations anywhere in the process during the run, per
// block written or read).
//
// BENCH_SECONDS (default 3) sets the length of each run.
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

constexpr uint64_t kCapacityBytes = 256ull << 20;
constexpr uint32_t kBucketCount = 4096;
constexpr uint32_t kQueueDepth = 32;

double benchSeconds() {
  const char* env = std::getenv("BENCH_SECONDS");
  const double seconds = env ? std::atof(env) : 0.0;
  return seconds > 0 ? seconds : 3.0;
}

std::string testText(uint32_t blockSize, uint32_t xfer, double seconds) {
  char text[1536];
  std::snprintf(text, sizeof(text),
                "[test]\n"
                "duration = \"%dms\"\n"
                "[[drive]]\n"
                "name = \"D0\"\n"
                "device = \"sim\"\n"
                "capacity = %llu\n"
                "block_size = %u\n"
                "queue_depth = %u\n"
                "completions = \"in-order\"\n"
                "[[flow]]\nagent = \"lba\"\nmin_xfer = %u\nmax_xfer = %u\n"
                "[[flow]]\nagent = \"cardamor\"\n"
                "[[flow]]\ncommand = \"write\"\ncondition = \"write\"\n"
                "[[flow]]\ncommand = \"read\"\ncondition = \"read\"\n"
                "[[flow]]\ncommand = \"getstatus\"\n"
                "[cardamor]\n"
                "\"Write Condition\" = \"write\"\n"
                "\"Read Condition\" = \"read\"\n"
                "\"Min Queue Size\" = 64\n"
                "\"Max Queue Size\" = 256\n"
                "\"Bucket Count\" = %u\n",
                static_cast<int>(seconds * 1000), static_cast<unsigned long long>(kCapacityBytes / blockSize),
                blockSize, kQueueDepth, xfer, xfer, kBucketCount);
  return text;
}

// The floor: the same transfer length, block size and bucket table, random buckets and LBAs,
// and the simulated drive's own medium (same mapping, so first touches cost the same page
// faults). Each command's bytes are written and verified at once. Returns bytes per CPU second
// over at least `bytes` bytes, or 0 when the medium cannot be mapped.
double floorRate(uint32_t blockSize, uint32_t xfer, uint64_t bytes) {
  const size_t commandBytes = size_t{xfer} * blockSize;
  std::vector<uint8_t> table(size_t{kBucketCount + xfer} * blockSize);
  std::mt19937_64 random(7);
  for (size_t i = 0; i < table.size(); i += 8) {
    const uint64_t word = random();
    std::memcpy(&table[i], &word, 8);
  }
  const uint64_t capacityBlocks = kCapacityBytes / blockSize;
  varnox::sim::BlockStore medium;
  std::string error;
  if (!medium.open(capacityBlocks, blockSize, error)) return 0;
  std::vector<uint8_t> writeBuffer(commandBytes);
  std::vector<uint8_t> readBuffer(commandBytes);

  uint64_t moved = 0;
  const double start = bench::cpuSeconds(CLOCK_THREAD_CPUTIME_ID);
  while (moved < bytes) {
    const uint64_t draw = random();
    const uint8_t* source = &table[size_t{static_cast<uint32_t>(draw) % kBucketCount} * blockSize];
    uint8_t* target = medium.block((draw >> 32) % (capacityBlocks - xfer));
    std::memcpy(writeBuffer.data(), source, commandBytes);
    std::memcpy(target, writeBuffer.data(), commandBytes);
    std::memcpy(readBuffer.data(), target, commandBytes);
    if (std::memcmp(readBuffer.data(), source, commandBytes) != 0) std::abort();
    benchmark::ClobberMemory();
    moved += 2 * commandBytes;
  }
  return static_cast<double>(moved) / (bench::cpuSeconds(CLOCK_THREAD_CPUTIME_ID) - start);
}

void BM_DataPath(benchmark::State& state) {
  const auto blockSize = static_cast<uint32_t>(state.range(0));
  const auto xfer = static_cast<uint32_t>(state.range(1));
  for (auto _ : state) {
    const bench::RunResult ours = bench::runTestText(testText(blockSize, xfer, benchSeconds()), 7);
    if (!ours.ok || ours.bytesMoved == 0) {
      state.SkipWithError(("run failed: " + ours.error).c_str());
      return;
    }
    const double oursRate = static_cast<double>(ours.bytesMoved) / ours.cpuSeconds;
    const double floor = floorRate(blockSize, xfer, ours.bytesMoved);
    state.counters["ours_MBps"] = oursRate / 1e6;
    state.counters["ours_wall_MBps"] = static_cast<double>(ours.bytesMoved) / ours.seconds / 1e6;
    state.counters["floor_MBps"] = floor / 1e6;
    state.counters["ratio"] = floor > 0 ? oursRate / floor : 0.0;
    state.counters["allocs_per_block"] =
        static_cast<double>(ours.allocations) / (static_cast<double>(ours.bytesMoved) / blockSize);
  }
}
BENCHMARK(BM_DataPath)
    ->ArgNames({"bs", "xfer"})
    ->Args({512, 8})
    ->Args({512, 256})
    ->Args({4096, 8})
    ->Args({4096, 256})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();

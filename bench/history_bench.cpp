// Steady-state cost of the LBA history: each step reads back one tracked LBA (read issued with
// expect, read finished, which erases the record) and writes it again (write issued, write
// finished, which settles it in the compact form), so the number of tracked LBAs stays constant.
// Run over 1M distinct LBAs and over a hot set of 4096.
//
// Counters: operations per second (four per step), bytes per tracked LBA (memory in use and
// reserved), heap allocations per block in the timed loop (counted by the replaced global
// operator new below), and, in BM_LargeVsHot, the cost of a step over 1M LBAs relative to a step
// over 4096 LBAs measured side by side in this process.
//
// BM_WholeDrive fills the history of 100 million LBAs (a whole 400 GiB drive of 4 KiB blocks),
// each holding a completed write that awaits its read-back, and times what one pass does to the
// history for one command of 8 blocks at a random place: read it back and write it again. Like a
// pass, which prefetches the range its chooser picked before its completion work, a step starts
// the first stage of prefetch for the next step's range. The
// same over 1,000 LBAs runs side by side, twice: with every settled block compact as at 100M (the
// same work, so the ratio is what size alone costs: step_ratio), and as a history that small
// really runs, all in the full form (step_ratio_vs_full). Counters: bytes per LBA (in use per
// tracked LBA, and reserved per LBA of the range), ns per step, the ratios, and the fill time.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <new>

#include "history/AtomicContext.h"

namespace {
std::atomic<uint64_t> heapAllocations{0};
}  // namespace

// The replacements pair malloc with free; GCC sees the inlined operator new feeding free and
// takes it for a mismatch.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

void* operator new(std::size_t size) {
  heapAllocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
  return operator new(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  heapAllocations.fetch_add(1, std::memory_order_relaxed);
  return std::malloc(size ? size : 1);
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept {
  return operator new(size, tag);
}
void operator delete(void* p) noexcept {
  std::free(p);
}
void operator delete[](void* p) noexcept {
  std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
  std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
  std::free(p);
}

namespace {

using cardamor::AtomicContext;

constexpr uint64_t kLarge = 1'000'000;
constexpr uint64_t kHot = 4096;

// A drive's history with `lbas` LBAs each holding one write that awaits its read-back. Steps
// visit the LBAs in a scattered but complete order (an odd stride modulo the count).
class SteadyHistory {
 public:
  explicit SteadyHistory(uint64_t lbas) : lbas_(lbas) {
    for (uint64_t lba = 0; lba < lbas_; ++lba) context_.writeIssued(nextCmdId_++, lba, 1, true, 0, lba);
    // One full cycle so every pool has handed out and taken back slots before measuring.
    for (uint64_t i = 0; i < lbas_; ++i) step();
  }

  void step() {
    uint64_t lba = cursor_;
    cursor_ = (cursor_ + kStride) % lbas_;
    uint64_t readId = nextCmdId_++;
    context_.readIssued(readId, lba, true);
    AtomicContext::ExpectedBlock seen = context_.readFinished(readId, lba, false);
    benchmark::DoNotOptimize(seen);
    context_.writeIssued(nextCmdId_, lba, 1, true, nextCmdId_, lba);
    context_.writeFinished(nextCmdId_, lba);
    ++nextCmdId_;
  }

  const AtomicContext& context() const { return context_; }

 private:
  static constexpr uint64_t kStride = 7919;  // prime, so it visits every LBA of either set
  uint64_t lbas_;
  uint64_t cursor_ = 0;
  uint64_t nextCmdId_ = 1;
  AtomicContext context_;
};

void reportMemory(benchmark::State& state, const AtomicContext& context) {
  double tracked = static_cast<double>(context.recordCount());
  state.counters["bytes_per_lba"] = static_cast<double>(context.bytesInUse()) / tracked;
  state.counters["reserved_bytes_per_lba"] = static_cast<double>(context.bytesReserved()) / tracked;
}

void BM_SteadyState(benchmark::State& state) {
  SteadyHistory history(static_cast<uint64_t>(state.range(0)));
  uint64_t allocationsBefore = heapAllocations.load();
  for (auto _ : state) history.step();
  uint64_t allocations = heapAllocations.load() - allocationsBefore;
  state.counters["ops_per_s"] =
      benchmark::Counter(static_cast<double>(state.iterations() * 4), benchmark::Counter::kIsRate);
  state.counters["allocs_per_block"] =
      static_cast<double>(allocations) / static_cast<double>(state.iterations());
  reportMemory(state, history.context());
}
BENCHMARK(BM_SteadyState)->Arg(kLarge)->Arg(kHot)->Unit(benchmark::kNanosecond);

// This thread's CPU time, so that other processes on a shared machine do not enter the ratio.
int64_t threadCpuNanos() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return int64_t{now.tv_sec} * 1'000'000'000 + now.tv_nsec;
}

// Both sets in one process, timed in alternating batches so that drift falls on both alike.
void BM_LargeVsHot(benchmark::State& state) {
  SteadyHistory large(kLarge);
  SteadyHistory hot(kHot);
  constexpr int kBatch = 4096;
  int64_t largeTime = 0;
  int64_t hotTime = 0;
  for (auto _ : state) {
    int64_t t0 = threadCpuNanos();
    for (int i = 0; i < kBatch; ++i) large.step();
    int64_t t1 = threadCpuNanos();
    for (int i = 0; i < kBatch; ++i) hot.step();
    int64_t t2 = threadCpuNanos();
    largeTime += t1 - t0;
    hotTime += t2 - t1;
  }
  state.counters["cost_ratio_1M_vs_4096"] =
      hotTime > 0 ? static_cast<double>(largeTime) / static_cast<double>(hotTime) : 0.0;
}
BENCHMARK(BM_LargeVsHot)->Unit(benchmark::kMillisecond);

// A drive of `lbas` LBAs whose every block holds a completed write awaiting its read-back. A step
// is one command of kBlocks consecutive LBAs at a random place, as a pass handles it: the history
// is prefetched, the read-back registered and finished (the record goes), the write recorded
// and completed (the record settles again).
class DriveHistory {
 public:
  static constexpr uint32_t kBlocks = 8;

  DriveHistory(uint64_t lbas, size_t compactAbove) : commands_(lbas / kBlocks), context_(compactAbove) {
    for (uint64_t c = 0; c < commands_; ++c) write(c * kBlocks);
  }

  void step() {
    const uint64_t lba = next_;
    // The next command's place is known a step ahead, as a pass knows the range its chooser
    // picked before the completion work it does first: its first stage of prefetch is issued now.
    next_ = draw();
    context_.prefetchBuckets(next_, kBlocks);
    context_.prefetchRange(lba, lba + kBlocks - 1);
    const uint64_t readId = nextCmdId_++;
    for (uint64_t b = lba; b < lba + kBlocks; ++b) context_.readIssued(readId, b, true);
    for (uint64_t b = lba; b < lba + kBlocks; ++b) {
      AtomicContext::ExpectedBlock seen = context_.readFinished(readId, b, false);
      benchmark::DoNotOptimize(seen);
    }
    write(lba);
  }

  const AtomicContext& context() const { return context_; }
  uint64_t lbas() const { return commands_ * kBlocks; }

 private:
  void write(uint64_t lba) {
    const uint64_t cmdId = nextCmdId_++;
    for (uint64_t b = lba; b < lba + kBlocks; ++b) context_.writeIssued(cmdId, b, 1, true, cmdId, b);
    for (uint64_t b = lba; b < lba + kBlocks; ++b) context_.writeFinished(cmdId, b);
  }

  uint64_t draw() {
    random_ = random_ * 6364136223846793005ull + 1442695040888963407ull;
    return ((random_ >> 32) % commands_) * kBlocks;
  }

  uint64_t commands_;
  uint64_t random_ = 1;
  uint64_t next_ = 0;
  uint64_t nextCmdId_ = 1;
  AtomicContext context_;
};

void BM_WholeDrive(benchmark::State& state) {
  const int64_t fillStart = threadCpuNanos();
  DriveHistory drive(100'000'000, AtomicContext::kCompactAbove);
  const int64_t fillNanos = threadCpuNanos() - fillStart;
  DriveHistory small(1'000, 0);
  DriveHistory smallFull(1'000, AtomicContext::kCompactAbove);
  constexpr int kBatch = 2048;
  int64_t driveTime = 0;
  int64_t smallTime = 0;
  int64_t smallFullTime = 0;
  uint64_t steps = 0;
  for (auto _ : state) {
    int64_t t0 = threadCpuNanos();
    for (int i = 0; i < kBatch; ++i) drive.step();
    int64_t t1 = threadCpuNanos();
    for (int i = 0; i < kBatch; ++i) small.step();
    int64_t t2 = threadCpuNanos();
    for (int i = 0; i < kBatch; ++i) smallFull.step();
    int64_t t3 = threadCpuNanos();
    driveTime += t1 - t0;
    smallTime += t2 - t1;
    smallFullTime += t3 - t2;
    steps += kBatch;
  }
  const AtomicContext& history = drive.context();
  state.counters["lbas"] = static_cast<double>(history.recordCount());
  state.counters["bytes_per_lba"] =
      static_cast<double>(history.bytesInUse()) / static_cast<double>(history.recordCount());
  state.counters["reserved_per_lba"] =
      static_cast<double>(history.bytesReserved()) / static_cast<double>(drive.lbas());
  state.counters["ns_step_100M"] = static_cast<double>(driveTime) / static_cast<double>(steps);
  state.counters["ns_step_1000"] = static_cast<double>(smallTime) / static_cast<double>(steps);
  state.counters["ns_step_1000_full"] = static_cast<double>(smallFullTime) / static_cast<double>(steps);
  state.counters["step_ratio"] =
      smallTime > 0 ? static_cast<double>(driveTime) / static_cast<double>(smallTime) : 0.0;
  state.counters["step_ratio_vs_full"] =
      smallFullTime > 0 ? static_cast<double>(driveTime) / static_cast<double>(smallFullTime) : 0.0;
  state.counters["fill_s"] = static_cast<double>(fillNanos) / 1e9;
}
BENCHMARK(BM_WholeDrive)->Iterations(200)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();

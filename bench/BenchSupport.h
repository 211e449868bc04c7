#pragma once
// Helpers shared by the benchmarks that run whole tests: a count of heap allocations made
// anywhere in the process (the global operator new is replaced), and running a test file given
// as text the way `varnox run` runs it (test file parsed, command-line options applied, TestRun).
//
// Include this header in exactly one source file of a benchmark binary: it defines the
// replacements of the global operator new and delete.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <new>
#include <string>
#include <vector>

#include "RunOptions.h"
#include "TestFile.h"
#include "varnox/AgentTable.h"
#include "varnox/TestRun.h"

namespace bench {
inline std::atomic<uint64_t> heapAllocations{0};
}  // namespace bench

// The replacements pair malloc with free; GCC sees the inlined operator new feeding free and
// takes it for a mismatch.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

void* operator new(std::size_t size) {
  bench::heapAllocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  bench::heapAllocations.fetch_add(1, std::memory_order_relaxed);
  return std::malloc(size ? size : 1);
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept { return operator new(size, tag); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace bench {

// A test on the simulated drive that writes and reads back through the agent with in-order
// completions, `xfer` blocks per command; `limit` is the [test] line that ends it
// ("passes = N" or "duration = \"...\"").
inline std::string simTestText(const std::string& limit, uint64_t capacityBlocks, uint32_t blockSize,
                               uint32_t queueDepth, uint32_t xfer, uint32_t bucketCount) {
  const std::string n = std::to_string(xfer);
  return "[test]\n" + limit + "\n[[drive]]\nname = \"D0\"\ndevice = \"sim\"\ncapacity = " +
         std::to_string(capacityBlocks) + "\nblock_size = " + std::to_string(blockSize) +
         "\nqueue_depth = " + std::to_string(queueDepth) +
         "\ncompletions = \"in-order\"\n"
         "[[flow]]\nagent = \"lba\"\nmin_xfer = " + n + "\nmax_xfer = " + n +
         "\n[[flow]]\nagent = \"cardamor\"\n"
         "[[flow]]\ncommand = \"write\"\ncondition = \"write\"\n"
         "[[flow]]\ncommand = \"read\"\ncondition = \"read\"\n"
         "[[flow]]\ncommand = \"getstatus\"\n"
         "[cardamor]\n\"Write Condition\" = \"write\"\n\"Read Condition\" = \"read\"\n"
         "\"Min Queue Size\" = 64\n\"Max Queue Size\" = 256\n\"Bucket Count\" = " + std::to_string(bucketCount) + "\n";
}

// CPU time of the process or of the calling thread. Figures taken in CPU time hold on a shared
// machine, where other processes stretch the wall clock.
inline double cpuSeconds(clockid_t clock) {
  timespec now{};
  clock_gettime(clock, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

struct RunResult {
  bool ok = false;
  std::string error;
  varnox::RunReport report;
  double seconds = 0;            // wall time of the run itself, without prepare
  double cpuSeconds = 0;         // CPU time of the whole process (every thread) during the run
  uint64_t allocations = 0;      // heap allocations in the whole process after the warm-up
  uint64_t bytesMoved = 0;       // written + verified, all drives
  // After the warm-up (see runTestText): bytes moved and process CPU seconds from the end of
  // the warm-up to the end of the run. Equal to the whole run without a warm-up.
  uint64_t steadyBytes = 0;
  double steadyCpuSeconds = 0;
  bool warmed = false;  // the warm-up ended before the run did
};

// The part of a run left out of its steady-state figures: at least `seconds`, and until the
// drives have written `writtenBytes` (a fresh medium is touched at random, so covering it takes
// several times its size). With `steadySeconds` the run is stopped once its steady part has
// lasted that long; otherwise it runs to the test's own end.
struct Warmup {
  Warmup(double s = 0) : seconds(s) {}  // NOLINT: a plain number of seconds reads as before
  double seconds = 0;
  uint64_t writtenBytes = 0;
  double steadySeconds = 0;
};

// Parses `text` as a test file, applies a fixed seed and runs it to the end. `agents` replaces
// the named flow agents by tables (name, table) before prepare, as an embedder would. The
// warm-up of the run (first touches of a fresh medium, pools growing) is left out of the
// steady-state figures, which are taken from the host's progress counters.
// `edit` changes the plan after the options are applied (what a test file cannot say).
template <typename Edit, typename... Agents>
RunResult runTestTextWarmEdited(const std::string& text, uint64_t seed, Warmup warmup, Edit edit,
                                Agents... agents) {
  RunResult result;
  varnox::TestPlan plan;
  if (!varnox::cli::parseTestFile(text, "bench.toml", plan, result.error)) return result;
  varnox::cli::RunOptions options;
  options.seed = seed;
  varnox::cli::RepeatInfo repeat;
  if (!varnox::cli::applyRunOptions(plan, options, repeat, result.error)) return result;
  edit(plan);
  varnox::TestRun run;
  (run.addAgent(agents.first, agents.second), ...);
  if (run.prepare(plan, result.error) != varnox::kExitPassed) return result;
  const uint64_t allocationsBefore = heapAllocations.load();
  const auto start = std::chrono::steady_clock::now();
  const double cpuStart = cpuSeconds(CLOCK_PROCESS_CPUTIME_ID);
  bool warm = warmup.seconds <= 0 && warmup.writtenBytes == 0;
  uint64_t warmBytes = 0;
  double warmCpu = cpuStart;
  auto warmTime = start;
  uint64_t warmAllocations = allocationsBefore;
  result.report = run.run([&](const std::vector<const varnox::DriveProgress*>& drives) {
    const auto now = std::chrono::steady_clock::now();
    if (warm) {
      if (warmup.steadySeconds > 0 && std::chrono::duration<double>(now - warmTime).count() >= warmup.steadySeconds)
        run.stop();
      return;
    }
    uint64_t written = 0;
    for (const varnox::DriveProgress* d : drives) written += d->bytesWritten.load();
    if (std::chrono::duration<double>(now - start).count() < warmup.seconds || written < warmup.writtenBytes) return;
    warm = true;
    warmTime = now;
    warmCpu = cpuSeconds(CLOCK_PROCESS_CPUTIME_ID);
    warmAllocations = heapAllocations.load();
    for (const varnox::DriveProgress* d : drives) warmBytes += d->bytesWritten.load() + d->bytesVerified.load();
  });
  const double cpuEnd = cpuSeconds(CLOCK_PROCESS_CPUTIME_ID);
  result.cpuSeconds = cpuEnd - cpuStart;
  result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  result.allocations = heapAllocations.load() - warmAllocations;
  for (const varnox::DriveReport& d : result.report.drives) result.bytesMoved += d.bytesWritten + d.bytesVerified;
  result.steadyBytes = result.bytesMoved - warmBytes;
  result.steadyCpuSeconds = cpuEnd - warmCpu;
  result.warmed = warm;
  result.ok = result.report.exitStatus == varnox::kExitPassed;
  if (!result.ok) {
    result.error = result.report.error;
    for (const varnox::DriveReport& d : result.report.drives) {
      if (!d.failureText.empty()) result.error += " " + d.name + ": " + d.failureText;
    }
  }
  return result;
}

template <typename... Agents>
RunResult runTestTextWarm(const std::string& text, uint64_t seed, Warmup warmup, Agents... agents) {
  return runTestTextWarmEdited(text, seed, warmup, [](varnox::TestPlan&) {}, agents...);
}

template <typename... Agents>
RunResult runTestText(const std::string& text, uint64_t seed, Agents... agents) {
  return runTestTextWarm(text, seed, 0.0, agents...);
}

}  // namespace bench

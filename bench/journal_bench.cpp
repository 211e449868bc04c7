// What the journal costs: the data path (the real agent library on the simulated drive, 4 KiB
// commands read back, queue depth 32) with no journal, with the journal on tmpfs in process mode
// (target: at most 5% slower), and in host mode in BENCH_JOURNAL_DIR (default /var/tmp, a disk):
// there every command waits for its batch's fdatasync, so the rate is bounded by queue depth over
// the sync latency of the journal's device, which is measured here too (target: at least 70% of
// the smaller of the no-journal rate and that bound). Runs in the order off, process, host, off
// (wall), off; after a 1 s warm-up, rates without a sync to wait for are in commands per CPU second of the
// whole process (they hold on a shared machine), those of host mode per wall second.
//
// Counters: off_kIOPS, process_kIOPS (CPU time), process_cost_pct; sync_us (median fdatasync of a
// 4 KiB write), bound_kIOPS (32 / sync), off_wall_kIOPS, host_kIOPS (wall time), host_ratio (to
// the smaller of off_wall and bound).
// BENCH_SECONDS (default 3) sets the measured part of each run.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "BenchSupport.h"

namespace {

constexpr double kWarmupSeconds = 1.0;
constexpr uint32_t kQueueDepth = 32;

double benchSeconds() {
  const char* env = std::getenv("BENCH_SECONDS");
  const double seconds = env ? std::atof(env) : 0.0;
  return seconds > 0 ? seconds : 3.0;
}

std::string hostJournalDir() {
  const char* env = std::getenv("BENCH_JOURNAL_DIR");
  return env && *env ? env : "/var/tmp";
}

// Median latency in seconds of a 4 KiB write and fdatasync of a file in `dir`.
double syncLatency(const std::string& dir) {
  const std::string path = dir + "/journal_bench_sync." + std::to_string(::getpid());
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) return 0;
  std::vector<char> block(4096, 'j');
  std::vector<double> times;
  for (int i = 0; i < 200; ++i) {
    const auto start = std::chrono::steady_clock::now();
    if (::pwrite(fd, block.data(), block.size(), (i % 16) * 4096) < 0 || ::fdatasync(fd) != 0) break;
    times.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  ::close(fd);
  ::unlink(path.c_str());
  if (times.empty()) return 0;
  std::nth_element(times.begin(), times.begin() + times.size() / 2, times.end());
  return times[times.size() / 2];
}

// Commands per second in steady state, of wall time or of the process's CPU time; 0 when the run
// failed.
double rate(const std::string& journalDir, const std::string& sync, bool wall, std::string& error) {
  const std::string text = bench::simTestText(
      "duration = \"" + std::to_string(static_cast<int>((kWarmupSeconds + benchSeconds()) * 1000)) + "ms\"",
      (256ull << 20) / 4096, 4096, kQueueDepth, 1, 4096);
  const bench::RunResult run =
      bench::runTestTextWarmEdited(text, 7, kWarmupSeconds, [&](varnox::TestPlan& plan) {
        plan.journalDir = journalDir;
        plan.journalSync = sync;
      });
  if (!run.ok) {
    error = run.error;
    return 0;
  }
  const double seconds = wall ? run.seconds - kWarmupSeconds : run.steadyCpuSeconds;
  return static_cast<double>(run.steadyBytes) / 4096 / std::max(1e-3, seconds);
}

void BM_JournalCost(benchmark::State& state) {
  const std::string tmpfs = "/dev/shm/journal_bench." + std::to_string(::getpid());
  const std::string disk = hostJournalDir() + "/journal_bench." + std::to_string(::getpid());
  for (auto _ : state) {
    std::string error;
    const double off1 = rate("", "host", false, error);
    const double process = rate(tmpfs, "process", false, error);
    const double host = rate(disk, "host", true, error);
    const double offWall = rate("", "host", true, error);
    const double off2 = rate("", "host", false, error);
    std::filesystem::remove_all(tmpfs);
    std::filesystem::remove_all(disk);
    if (off1 == 0 || process == 0 || host == 0 || offWall == 0 || off2 == 0) {
      state.SkipWithError(("run failed: " + error).c_str());
      return;
    }
    const double off = (off1 + off2) / 2;
    const double latency = syncLatency(hostJournalDir());
    const double bound = latency > 0 ? kQueueDepth / latency : offWall;
    state.counters["off_kIOPS"] = off / 1e3;
    state.counters["process_kIOPS"] = process / 1e3;
    state.counters["process_cost_pct"] = (1 - process / off) * 100;
    state.counters["sync_us"] = latency * 1e6;
    state.counters["bound_kIOPS"] = bound / 1e3;
    state.counters["host_kIOPS"] = host / 1e3;
    state.counters["off_wall_kIOPS"] = offWall / 1e3;
    state.counters["host_ratio"] = host / std::min(offWall, bound);
  }
}
BENCHMARK(BM_JournalCost)->Iterations(1)->Repetitions(3)->DisplayAggregatesOnly(true)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();

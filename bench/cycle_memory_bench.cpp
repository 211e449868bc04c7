// Memory under continuous power cycles and resets: the agent must release what nothing will read
// back, so the resident size after warm-up stays flat however many cycles follow.
//
// Runs the power-cycle flow with no interval between cuts ("PowerToggle Freq" 0) and the drive
// resetting itself at random, on a small medium so that the drive's own memory is touched
// early; samples the process's resident size at the end of the warm-up (the first tenth of the
// passes) and its largest value after, and prints the ratio. Target: at most 1.10.
//
//   build/bench/cycle_memory_bench [PASSES]     default 9000000 (about a million power cycles)
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "BenchSupport.h"

namespace {

uint64_t residentBytes() {
  std::ifstream statm("/proc/self/statm");
  uint64_t size = 0, resident = 0;
  statm >> size >> resident;
  return resident * static_cast<uint64_t>(::sysconf(_SC_PAGESIZE));
}

std::string testText(uint64_t passes) {
  return "[test]\npasses = " + std::to_string(passes) +
         "\n[[drive]]\ndevice = \"sim\"\ncapacity = \"64MiB\"\nwrite_cache = \"protected\"\nqueue_depth = 64\n"
         "[[flow]]\nagent = \"lba\"\nmax_xfer = 32\n[[flow]]\nagent = \"cardamor\"\n"
         "[[flow]]\ncommand = \"write\"\ncondition = \"write\"\n[[flow]]\ncommand = \"read\"\ncondition = \"read\"\n"
         "[[flow]]\ncommand = \"synccache\"\ncondition = \"sync\"\n"
         "[[flow]]\ncommand = \"powertoggle\"\ncondition = \"power\"\n[[flow]]\ncommand = \"getstatus\"\n"
         "[[fault]]\nkind = \"reset\"\nrate = 0.001\ncount = 0\n"
         "[cardamor]\n\"Write Condition\" = \"write\"\n\"Read Condition\" = \"read\"\n\"PowerToggle Freq\" = 0\n"
         "\"PowerToggle Condition\" = \"power\"\n\"SyncCache Condition\" = \"sync\"\n";
}

}  // namespace

int main(int argc, char** argv) {
  const uint64_t passes = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 9000000;
  varnox::TestPlan plan;
  std::string error;
  varnox::cli::RunOptions options;
  options.seed = 7;
  varnox::cli::RepeatInfo repeat;
  if (!varnox::cli::parseTestFile(testText(passes), "cycles.toml", plan, error) ||
      !varnox::cli::applyRunOptions(plan, options, repeat, error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 2;
  }
  varnox::TestRun run;
  if (run.prepare(plan, error) != varnox::kExitPassed) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 2;
  }
  // The agent says "re-queuing read ..." for every read a reset or power cut takes; a million of
  // them would bury the figures.
  std::fflush(stdout);
  const int savedOut = ::dup(1);
  if (FILE* null = std::freopen("/dev/null", "w", stdout); null == nullptr) return 2;
  uint64_t warm = 0, peak = 0;
  const varnox::RunReport report = run.run([&](const std::vector<const varnox::DriveProgress*>& drives) {
    const uint64_t done = drives.front()->passes.load();
    if (warm == 0 && done >= passes / 10) warm = residentBytes();
    if (warm != 0) peak = std::max(peak, residentBytes());
  });
  std::fflush(stdout);
  ::dup2(savedOut, 1);
  ::close(savedOut);
  const varnox::DriveReport& d = report.drives.front();
  std::printf("%llu passes, %llu power cycles, %llu resets, exit %d\n", static_cast<unsigned long long>(d.passes),
              static_cast<unsigned long long>(d.deviceStats.powerCycles),
              static_cast<unsigned long long>(d.deviceStats.resets), report.exitStatus);
  if (warm == 0) {
    std::printf("the run ended before its warm-up did\n");
    return 1;
  }
  const double ratio = static_cast<double>(peak) / static_cast<double>(warm);
  std::printf("resident after warm-up %.1f MiB, largest after %.1f MiB, ratio %.3f (target <= 1.10)\n",
              static_cast<double>(warm) / 1048576.0, static_cast<double>(peak) / 1048576.0, ratio);
  return report.exitStatus == varnox::kExitPassed && ratio <= 1.10 ? 0 : 1;
}

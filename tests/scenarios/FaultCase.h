#pragma once
// One fault-proof case: a test file with an [expect] table, run the way `varnox run` runs it, and
// the checks that the agent's verdict is the one expected for the faults the drive injected.
//
//   [expect]
//   seed = 3                  # the run's seed (--seed)
//   exit = 1                  # the runner's exit status
//   message = "Miscompare Detected at LBA 0x00000000000003E8"   # in the first error line or the
//                             # agent's own output; must name a block the faults hit
//   files = true              # trace, drive and reference files, whose bytes must differ exactly
//                             # where the fault changed the block
//   trace = true              # the agent dumped its command sequence (without miscompare files)
//   fired = ["corrupt"]       # kinds that must have fired (default: every kind of the file)
//   min_commands = 1000000    # a soak: at least this many commands
//   issued = ["Read", "Verify"]  # command kinds the run must have sent
//   latency_at_least = { "p99.9" = "100ms" }  # percentiles of every command's latency
//   latency_below = { p50 = "10ms" }
#include <cstdint>
#include <string>
#include <vector>

namespace varnox::scenarios {

struct CaseOutcome {
  std::string name;       // the file's stem
  std::string kinds;      // the fault kinds of the file, comma-separated
  int exitStatus = -1;
  std::string lba;        // the failing LBA the agent named, when it named one
  std::string message;    // the matching line, or the run's first error
  std::string files;      // "trace+drive+reference" when written
  uint64_t commands = 0;
  uint64_t faults = 0;    // faults injected
  std::vector<std::string> problems;  // empty when the case holds
};

CaseOutcome runFaultCase(const std::string& path);

// The *.toml files of `directory`, sorted.
std::vector<std::string> faultCaseFiles(const std::string& directory);

}  // namespace varnox::scenarios

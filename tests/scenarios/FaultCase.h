#pragma once
// One fault-proof case: a test file with an [expect] table, run the way `varnox run` runs it over
// a sweep of seeds, each seed judged by the oracle of the simulated drive:
//
//   - a corrupting fault was exposed (the drive returned its data to the host, see
//     host/sim/RuleFaults.h): the run must end with exit 1 and a verdict naming one of the
//     exposed blocks (or the block a misdirected write landed on);
//   - nothing was exposed: the run must pass (exit 0); the one failure allowed is a verdict
//     naming the block a misdirected write landed on, or a torn unit (a read may see it while
//     other writes are outstanding over it), as those are wrong wherever they are found.
//
//   [expect]
//   seeds = 20                # seeds 1 to 20 (`fault_proof --seeds N` runs 1 to N instead)
//   min_exposed = 5           # at least this many seeds must expose a corrupting fault (scaled,
//                             # rounded up, when `--seeds N` replaces `seeds`)
//   slices_min_exposed = 3    # with `--slices N`: at least this many faults exposed over all seeds
//                             # (default: half of min_exposed; scaled, rounded down, to `--seeds N`)
//   message = "Miscompare Detected"  # a failing seed's verdict line holds this text
//   fired = ["corrupt"]       # kinds that must take effect in some seed (default: every kind)
//   min_commands = 20000      # every seed sends at least this many commands
//   issued = ["Read", "Verify"]  # command kinds every seed must send
//   never_issued = ["SyncCache"]  # command kinds no seed may send
//   max_unread_bytes = 65536  # on every drive, at most this many bytes written were not read back (per slice)
//   classes = ["misdirected", "stale"]  # a failing seed's diagnosis has one of these classes, at a
//                             # block a fault hit, in the summary and JSON, with data files that show it
//   required = "misdirected"  # a class some seed must be diagnosed (default: the first)
//   failure = "verify"        # what the diagnosis says failed
//   dump = "..."              # a passing seed keeps its sequence dump for this reason
//   exit = 3                  # judge by the exit status instead of the oracle (any number of drives),
//                             # with `message`, `trace = true` and latency_at_least / latency_below;
//                             # with `--slices N` a seed of a case naming exit 1 may pass where the
//                             # oracle follows every fault that fired and saw none exposed, or
//                             # fail at an exposed block in other words than `message`; some seed
//                             # of the sweep must end with the exit and the message
//   lbas = [0, 15]            # with `exit`: the verdict line names a block from the first to the last
//   slices_open = "..."       # `--slices N` does not run the case but names it OPEN with this
//                             # reason: a wrong block slices are known to pass, until it is fixed
//
// A drive whose device is a relative path is a file in the seed's own temporary folder; "{dir}"
// in the arguments of its power_off and power_on is that folder.
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace varnox::scenarios {

struct SeedOutcome {
  uint64_t seed = 0;
  int exitStatus = -1;
  uint64_t exposed = 0;  // corrupting faults exposed
  std::string lba;       // the block (or range) the verdict named
  std::string message;   // the verdict line, or the run's first error
  std::string diagnosed;  // the class of the agent's diagnosis
  bool otherMessage = false;  // with slices: failed at an exposed block, but without the case's message
  uint64_t commands = 0;
  std::set<std::string> fired;        // fault kinds that took effect
  std::vector<std::string> problems;  // empty when the oracle and [expect] hold
};

struct CaseOutcome {
  std::string name;   // the file's stem
  std::string path;
  std::string kinds;  // the fault kinds of the file, comma-separated
  std::vector<SeedOutcome> seeds;
  std::vector<std::string> problems;  // of the sweep as a whole, and "seed N: ..." per seed
  std::optional<SeedOutcome> firstFailure;
  std::string open;  // with slices: why the case is not run (slices_open)
};

struct SweepOptions {
  std::optional<uint64_t> seeds;  // replaces the case's `seeds`
  std::optional<uint64_t> seed;   // runs this seed alone
  unsigned jobs = 2;              // seeds run at once, each in its own process
  std::optional<uint32_t> slices;  // runs every drive as this many slices
};

CaseOutcome runFaultCase(const std::string& path, const SweepOptions& options);

// The *.toml files of `directory`, sorted.
std::vector<std::string> faultCaseFiles(const std::string& directory);

}  // namespace varnox::scenarios

#pragma once
// Test files: TOML that describes the drives, the flow every drive runs, the agent's keys, the
// faults to inject and when to stop. The layout is documented in README.md ("Test files") and in
// the examples/ folder.
//
//   [test]      duration = "10s" | passes = N, output = "base of output files", log = "run.log",
//               command_timeout = "30s" (0: none), journal = "folder", journal_sync = "host" | "process"
//   [[drive]]   name, device ("sim" or a path), capacity ("1GiB" or blocks), block_size,
//               protection_info, physical_exponent, queue_depth, completions, write_cache,
//               atomic_unit, seed, direct_io, destroy_data, precondition, zone_size,
//               zone_model ("host-managed" | "host-aware", simulated drives), power_off and
//               power_on (argument lists, files and block devices), power_settle, power_timeout
//   [[flow]]    agent = "lba" | "write-kind" | "read-kind" | "zones" | "invalidate" | "protect" |
//               "cardamor" | library path, or command = "write" | "writesame" | "trim" | "atomic" |
//               "read" | "verify" | "synccache" | "powertoggle" | "zonereset" | "invalidate" |
//               "getstatus"; condition; name; any other key is a step setting
//   [cardamor]  the agent's keys by their exact names ("Min Queue Size" = 64)
//   [[fault]]   drive, kind, lba, after, rate, count (0: no limit), delay (kind "slow")
#include <string>
#include <string_view>
#include <vector>

#include "varnox/TestPlan.h"

namespace varnox::cli {

// Reads the test file at `path` into `plan` (replacing what it held). On failure returns false
// and sets `error` to one line naming the file, the table, the key and what was expected, e.g.
//   examples/bad.toml: [[drive]] 1: "block_size" must be 512 or 4096, got 1000
// Keys of the agent are only collected here; the host checks their names and values.
// `device`, when not empty, replaces the device of the file's one drive before the drive is
// read, so that every check of the drive's keys applies to it (--device; a campaign's task).
bool loadTestFile(const std::string& path, TestPlan& plan, std::string& error, const std::string& device = "");

// The same for text in memory; `sourceName` stands for the file in messages.
bool parseTestFile(std::string_view text, const std::string& sourceName, TestPlan& plan, std::string& error,
                   const std::string& device = "");

// The flow of a test file without [[flow]]: the LBA agent, Cardamor, a write on "write", a read
// on "read", GetStatus. With it the agent's "Write Condition" and "Read Condition" default to
// "write" and "read".
std::vector<StepSpec> defaultFlow();

// The fault kinds the simulated drive knows.
const std::vector<std::string>& faultKinds();

}  // namespace varnox::cli

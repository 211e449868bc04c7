#pragma once
// What a drive of a test runs against, as the test describes it: the device's settings and the
// faults to inject. The runtime fills them from its plan (varnox/TestPlan.h) and hands them to a
// DeviceFactory; plain values only, so they can be built by hand in tests.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace varnox {

// A fault the simulated drive injects.
struct FaultRule {
  std::string kind;                // "corrupt", "lost-write", "abort", ...
  std::optional<uint64_t> lba;     // a fixed block, else one of the blocks the command touches
  std::optional<uint64_t> after;   // fire on the first matching command after this many commands
  std::optional<double> rate;      // or with this probability per matching command
  uint32_t count = 1;              // how many times
  double delaySeconds = 0;         // "slow": how much later the command completes
};

struct DeviceSpec {
  std::string kind = "sim";        // "sim", or the path of a file or block device
  uint64_t capacityBlocks = 2097152;
  uint32_t logicalBlockSize = 512;
  bool protectionInfo = false;
  uint32_t log2LogicalPerPhysical = 0;
  uint32_t queueDepth = 32;
  bool shuffleCompletions = true;
  std::string writeCache = "write-through";  // "write-through", "protected" or "volatile"
  uint32_t atomicUnitBlocks = 0;             // 0: no atomic writes
  uint64_t zoneBlocks = 0;                   // a zoned drive: blocks per zone; 0: not zoned
  std::string zoneModel;                     // "host-managed" or "host-aware" when zoned
  uint64_t seed = 0;                         // 0: drawn at start and reported in the summary
  bool directIo = false;                     // files: O_DIRECT
  bool destroyData = false;                  // files and block devices: allow writing over a signature
  bool force = false;                         // --force given: with destroyData, a signature may be overwritten
  bool precondition = false;                 // real devices: fill the range with a run-unique pattern first
  bool checkOnly = false;                    // varnox check: open read-only; create, extend and fill nothing
  // Files and block devices: the user's commands that switch the drive's power off and on (argument
  // lists run without a shell; both or neither), the wait after power_on before looking for the
  // drive again, and the time limit of each command and of that look (blockdev/PowerControl.h).
  // Without them a file or block device cannot toggle power.
  std::vector<std::string> powerOff;
  std::vector<std::string> powerOn;
  double powerSettleSeconds = 0;
  double powerTimeoutSeconds = 60;
  std::string medium;  // "sim": the file that keeps the medium across processes; empty: none
  std::vector<FaultRule> faults;
  // False when nothing in the test can cut power or reset the drive (no power-toggle step, no
  // reset or power-loss fault): the simulated drive then need not keep what each write overwrote.
  bool commandsMayBeLost = true;
};

struct DriveSpec {
  std::string name;  // "D0", "D1", ...
  DeviceSpec device;
  // Drive threads on the device, each with its own agents, tags and part of the tested range
  // (varnox/DriveSlices.h); kSlicesPerCore: one per online core.
  uint32_t slices = 1;
  // CPUs the slices' threads are pinned to (slice i to cpus[i % size]); empty: not pinned.
  std::vector<uint32_t> cpus;
};
inline constexpr uint32_t kSlicesPerCore = 0;

}  // namespace varnox

#pragma once
// A test as the runner hands it to the host: drives, the flow every drive runs, the agents'
// configuration keys and when to stop. The command line builds it from a test file; the host's
// TestRun executes it. Plain values only, so it can be built by hand in tests.
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
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
  std::vector<FaultRule> faults;
  // False when nothing in the test can cut power or reset the drive (no power-toggle step, no
  // reset or power-loss fault): the simulated drive then need not keep what each write overwrote.
  bool commandsMayBeLost = true;
};

struct DriveSpec {
  std::string name;  // "D0", "D1", ...
  DeviceSpec device;
};

// One step of the flow. Agents are the built-in agents ("lba", "write-kind", "zones", ...) or an
// agent library ("cardamor" or a path to a shared library). ZoneReset sends RESET WRITE POINTER
// for the zone at "ZoneResetLBA"; Invalidate writes the "InvalidateData" blocks over the range at
// "InvalidateLBA" (foreign data the data agent did not write).
struct StepSpec {
  // GetStatus stays last: arrays by kind are sized by it.
  enum class Kind {
    Agent, Write, WriteSame, Trim, WriteAtomic, Read, Verify, SyncCache, PowerToggle, ZoneReset, Invalidate, GetStatus
  };
  Kind kind = Kind::Agent;
  std::string name;       // shown in messages; for agents the agent name or library path
  std::string condition;  // guard: condition names, e.g. "write" or "write&e2e"; empty = always
  std::vector<std::pair<std::string, std::string>> settings;  // step-specific settings, as text
};

struct TestPlan {
  std::string sourceFile;  // for messages
  std::vector<DriveSpec> drives;
  std::vector<StepSpec> flow;
  // Agent configuration keys by their exact names ("Min Queue Size" = "64"), in file order;
  // command-line overrides come after the file's values.
  std::vector<std::pair<std::string, std::string>> keys;
  uint64_t passes = 0;            // 0: no pass limit
  double durationSeconds = 0;     // 0: no time limit (one of the two limits must be set)
  std::string outputBase;         // default base of output files when the agent key is not set
  std::string logFile;            // the run's log file; empty for none
  // Errors a drive may make on its own (not injected by a fault rule) before it is failed.
  uint64_t maxDeviceErrors = 0;
  double commandTimeoutSeconds = 30;  // a command outstanding longer fails its drive; 0: never
  bool recordLatency = true;          // off only to measure what recording costs
};

}  // namespace varnox

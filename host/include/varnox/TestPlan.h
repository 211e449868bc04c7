#pragma once
// A test as the runner hands it to the host: drives, the flow every drive runs, the agents'
// configuration keys and when to stop. The command line builds it from a test file; the host's
// TestRun executes it. Plain values only, so it can be built by hand in tests.
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "tavik/DeviceSettings.h"

namespace varnox {

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

inline constexpr size_t kStepKindCount = static_cast<size_t>(StepSpec::Kind::GetStatus) + 1;
// The kind's name in reports and summaries: "Write", "WriteSame", "Read", ...
const char* stepKindName(StepSpec::Kind kind);

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
  std::string historyDatabase;    // the runner's SQLite run history ([test] db); empty for none
  // Errors a drive may make on its own (not injected by a fault rule) before it is failed.
  uint64_t maxDeviceErrors = 0;
  double commandTimeoutSeconds = 30;  // a command outstanding longer fails its drive; 0: never
  bool recordLatency = true;          // off only to measure what recording costs
  // A folder for the journal of every command that changes a drive's blocks, so that
  // `varnox verify --journal` can judge them after the host died; empty for none.
  std::string journalDir;
  // "host": a command is sent once its record is synced (survives the host's power loss);
  // "process": once written (survives a kill of this process only).
  std::string journalSync = "host";
};

}  // namespace varnox

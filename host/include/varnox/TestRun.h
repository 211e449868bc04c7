#pragma once
// Runs a TestPlan: loads the agents, registers and sets their configuration, opens one device
// and one drive thread per drive, runs every drive's flow on its own OS thread pass after pass,
// and reports what happened.
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "tavik/Device.h"
#include "varnox/AgentTable.h"
#include "varnox/TestPlan.h"

namespace varnox {

// Exit statuses of a run, shared by the runner's commands.
inline constexpr int kExitPassed = 0;
inline constexpr int kExitIntegrityFailure = 1;  // miscompare, write splice, torn atomic write
inline constexpr int kExitRefused = 2;           // test file, configuration or setup refused
inline constexpr int kExitDeviceFailure = 3;     // the device failed or could not be opened

// Live counters of one drive, read by the progress display while the drive runs.
struct DriveProgress {
  std::atomic<uint64_t> passes{0};
  std::atomic<uint64_t> commands{0};
  std::atomic<uint64_t> bytesWritten{0};
  std::atomic<uint64_t> bytesVerified{0};  // bytes read back or verified with good status
  std::atomic<uint64_t> readBackDistance{0};
  std::atomic<uint64_t> failures{0};
};

struct DriveReport {
  std::string name;
  std::string device;
  uint64_t passes = 0;
  std::map<std::string, uint64_t> commandsByKind;       // "Write", "Read", ...
  std::map<std::string, uint64_t> completionsByStatus;  // "GOOD", "CHECK CONDITION", "TASK ABORTED"
  uint64_t bytesWritten = 0;
  uint64_t bytesVerified = 0;
  uint64_t failures = 0;
  int agentStatus = 0;             // the status that ended the drive's test, 0 when none
  std::string failureText;         // first error line of the drive's log, empty when none
  std::vector<std::string> outputFiles;
  bool deviceStopped = false;      // a showstop stopped the drive
  uint64_t deviceSeed = 0;         // what it takes to repeat the run
  DeviceStats deviceStats;
  std::vector<InjectedFault> injectedFaults;
  std::vector<FaultTally> faultTallies;  // per fault kind: injected, and exposed for corrupting kinds
};

struct RunReport {
  std::vector<DriveReport> drives;
  double seconds = 0;
  int exitStatus = kExitPassed;
  std::string error;  // why the run was refused or the device failed
};

class TestRun {
 public:
  TestRun();
  ~TestRun();
  TestRun(const TestRun&) = delete;
  TestRun& operator=(const TestRun&) = delete;

  // Makes a flow agent step named `name` use `table` instead of a library (tests, embedders).
  // Call before prepare; the table's functions must outlive the run.
  void addAgent(const std::string& name, const AgentTable& table);

  // Where the drives' log lines go besides memory and the plan's log file: `terminal` (not
  // owned; null for none) gets the lines of `minLevel` and above. Call before prepare.
  void setTerminal(FILE* terminal, int minLevel);

  // Everything short of running: agents loaded, keys set and checked, devices opened, drive
  // variables mapped. Returns an exit status (kExitPassed when the test can run) and fills
  // `error` with a message naming the file, key or device.
  int prepare(const TestPlan& plan, std::string& error);
  // Runs every drive to the end (limits reached, an agent failed, or stop() called), then
  // finishes and releases the agents. `onProgress` is called about every 200 ms from the
  // calling thread.
  RunReport run(const std::function<void(const std::vector<const DriveProgress*>&)>& onProgress = nullptr);
  // Asks every drive to stop after its current pass (Ctrl-C).
  void stop();
  // The agents' keys, for "varnox keys" and "varnox usage": registers the agent without a drive.
  // `agent` is a built-in agent ("lba", "write-kind"), an agent library's path, or a bare name
  // ("cardamor") looked up as lib<name>.so in $VARNOX_AGENT_PATH, next to the program, then by
  // the system's library search.
  static int describeAgent(const std::string& agent, std::string& usage, std::string& keysText, std::string& error);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace varnox

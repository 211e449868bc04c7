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
#include <optional>
#include <string>
#include <vector>

#include "tavik/Device.h"
#include "tavik/DeviceFactory.h"
#include "varnox/AgentTable.h"
#include "varnox/LatencyHistogram.h"
#include "varnox/EventLog.h"
#include "varnox/TestPlan.h"

namespace varnox {

// Exit statuses of a run, shared by the runner's commands; kExitRefused (2: test file,
// configuration or setup refused) and kExitDeviceFailure (3: the device failed or could not be
// opened) come from tavik/DeviceFactory.h, as devices refuse with them.
inline constexpr int kExitPassed = 0;
inline constexpr int kExitIntegrityFailure = 1;  // miscompare, write splice, torn atomic write
inline constexpr int kExitInconclusive = 4;      // a drive checked no data: nothing was proven

// A drive's command latencies, by StepSpec::Kind (Agent and GetStatus stay empty).
using KindLatencies = std::array<LatencyHistogram, kStepKindCount>;
// Stopped by a signal before the run's limit (128 + the signal's number, as a shell reports it).
inline constexpr int kExitHangup = 129;       // SIGHUP
inline constexpr int kExitInterrupted = 130;  // SIGINT (Ctrl-C)
inline constexpr int kExitTerminated = 143;   // SIGTERM

// Live counters of one drive, read by the progress display while the drive runs.
struct DriveProgress {
  std::atomic<uint64_t> passes{0};
  std::atomic<uint64_t> commands{0};
  std::atomic<uint64_t> bytesWritten{0};
  std::atomic<uint64_t> bytesVerified{0};  // bytes read back or verified with good status
  std::atomic<uint64_t> readBackDistance{0};
  std::atomic<uint64_t> failures{0};
  std::atomic<uint64_t> errors{0};          // completions with any status but GOOD
  std::atomic<uint64_t> deviceErrors{0};    // errors no fault rule injected (DriveReport::deviceErrors)
  std::atomic<uint64_t> powerCycles{0};     // power toggles and the device's own power losses
  std::atomic<uint64_t> resets{0};          // resets the device reported
  const KindLatencies* latency = nullptr;   // valid while the run runs
};

// A power cycle or reset of a drive, for the marks on a report's time axis.
struct DriveEvent {
  double seconds = 0;  // from the start of the drive's run
  std::string kind;    // "power cycle" (a toggle of the flow), "power loss" (the device's own), "reset"
};
inline constexpr size_t kMaxDriveEvents = 1000;

// One slice of a drive split into slices: its part of the tested range and its own figures.
struct SliceReport {
  std::string name;  // "D0.1"
  uint64_t firstLba = 0;
  uint64_t lastLba = 0;
  uint64_t passes = 0;
  uint64_t commands = 0;
  uint64_t bytesWritten = 0;
  uint64_t bytesVerified = 0;
  uint64_t dataChecks = 0;
  std::map<std::string, LatencySnapshot> latency;  // by command kind
  double seconds = 0;     // from the run's start to the end of its flow
  double cpuSeconds = 0;  // CPU time of its thread
  int agentStatus = 0;
  std::string failureText;
};

struct DriveReport {
  std::string name;
  std::string device;
  uint64_t passes = 0;
  std::map<std::string, uint64_t> commandsByKind;       // "Write", "Read", ...
  std::map<std::string, uint64_t> completionsByStatus;  // "GOOD", "CHECK CONDITION", "TASK ABORTED"
  std::map<std::string, LatencySnapshot> latency;       // by command kind, kinds that completed any
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
  uint64_t deviceErrors = 0;        // errors the device made on its own (no fault rule injected them)
  uint64_t dataChecks = 0;          // reads and verifies that had data compared
  uint64_t blocksAwaitingReadBack = 0;  // written blocks the agent had not yet read back at the end
  std::string inconclusive;         // why the drive proved nothing; empty when it checked data
  // What the drive was: geometry as the device reports it, the queue depth used, "sim" or the
  // path, the write cache ("write-through", "protected", "volatile"; files and block devices
  // "direct I/O" or "page cache", followed by ", write cache volatile" and the like when the test
  // switches their power), and the fault rules with how often each fired.
  DeviceGeometry geometry;
  uint32_t queueDepth = 0;
  std::string path;
  std::string cache;
  std::vector<FaultRule> faultRules;
  std::vector<uint64_t> faultRuleCounts;
  // The agent's explanation of the failure (the "Diagnosis" variable's key=value lines), or why
  // a passing run kept its sequence dump ("dumpReason"); empty when it gave none.
  std::map<std::string, std::string> diagnosis;
  uint64_t logWarnings = 0;         // warning and error lines of the drive's log
  uint64_t logErrors = 0;
  std::vector<FaultTally> faultTallies;  // per fault kind: injected, and exposed for corrupting kinds
  // Seconds from the start of the run to the failure that ended the drive (data, device or an
  // agent's error); none when the drive ended at its limit or was stopped.
  std::optional<double> failureSeconds;
  std::vector<DriveEvent> events;  // power cycles and resets, the first kMaxDriveEvents
  // A drive of several slices: each one's figures (the fields above add them up); empty for a
  // drive of one slice.
  std::vector<SliceReport> slices;
};

// An agent configuration key as the run used it: set by the test (or the runner on its behalf)
// or left at the agent's default.
struct AgentKeyValue {
  std::string agent;  // the flow step's agent ("cardamor" or a library path)
  std::string key;    // "Min Queue Size"
  std::string type;   // "u32", "bool", "text", "condition" or "data"
  std::string value;  // u32 in decimal, bool "true"/"false"; condition and data as the test gave them
  bool defaulted = true;
};

struct RunReport {
  std::vector<DriveReport> drives;
  double seconds = 0;
  int exitStatus = kExitPassed;
  std::string error;  // why the run was refused or the device failed
  std::vector<AgentKeyValue> agentKeys;  // every key of every agent of the flow, in registration order
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

  // Called while prepare() preconditions a drive's file or block device (precondition = true):
  // first with 0 bytes done, last with all of them, in between about every MiB. Call before prepare.
  using PreconditionProgress = std::function<void(const std::string& drive, uint64_t doneBytes, uint64_t totalBytes)>;
  void setPreconditionProgress(PreconditionProgress progress);

  // How often run() calls its progress callback (default 0.2 s); the calls fall on whole
  // multiples of it from the run's start, so a series taken at a multiple of it stays even.
  // Call before run.
  void setProgressPeriod(double seconds);

  // Everything short of running: agents loaded, keys set and checked, devices opened, drive
  // variables mapped. Returns an exit status (kExitPassed when the test can run) and fills
  // `error` with a message naming the file, key or device.
  int prepare(const TestPlan& plan, std::string& error);
  // Runs every drive to the end (limits reached, an agent failed, or stop() called), then
  // finishes and releases the agents. `onProgress` is called about every 200 ms from the
  // calling thread.
  RunReport run(const std::function<void(const std::vector<const DriveProgress*>&)>& onProgress = nullptr);
  // Where the drives' log lines go once prepared (null without a terminal or log file); valid
  // until the run is destroyed, so lines from outside the drives can join the run's log.
  std::shared_ptr<LogSink> logSink() const;
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

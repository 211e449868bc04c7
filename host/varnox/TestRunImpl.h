#pragma once
// What a TestRun holds between prepare and run: the agents, one Drive per drive of the plan
// (device, device library, drive thread, flow, status) and the log. Shared by the files that
// prepare the run, run it and report it.
#include <atomic>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "DeviceSlices.h"
#include "FlowAgent.h"
#include "FlowEngine.h"
#include "journal/Journal.h"
#include "journal/JournalIdentity.h"
#include "tavik/Tavik.h"
#include "varnox/ConditionNames.h"
#include "varnox/DriveThread.h"
#include "varnox/Errors.h"
#include "varnox/TestRun.h"

namespace varnox {

struct TestRun::Impl {
  // One drive thread on the drive's device: the whole drive, or one slice of it (DeviceSlices.h).
  struct Slice {
    std::unique_ptr<Tavik> tavik;
    std::unique_ptr<DriveThread> thread;
    DriveProgress progress;  // its own figures; a drive of one slice counts in the drive's
    std::unique_ptr<DriveFlow> flow;
    int status = VARNOX_OK;
    double endedSeconds = 0;  // when its flow ended (failed or drained), from the run's start
    double cpuSeconds = 0;    // CPU time its thread used
  };

  struct Drive {
    DriveSpec planned;
    uint64_t seed = 0;
    std::unique_ptr<Device> device;
    std::unique_ptr<DeviceSlices> shared;  // null for a drive of one slice
    std::vector<std::unique_ptr<Slice>> slices;
    DriveProgress progress;  // what the progress display reads: the slices added up
    KindLatencies latency;   // with slices: theirs merged, for `progress`
    int status = VARNOX_OK;   // the speaking slice's (verdictSlice)
    double endedSeconds = 0;
    // Ends every slice after its current pass: the run was stopped, or one slice failed.
    std::atomic<bool> halt{false};
    // Adds the slices' live figures up into `progress` (a drive of one slice writes it directly).
    void sumProgress();
    // The slice whose status and log speak for the drive (speakingSlice in DriveSlices.h).
    Slice& verdictSlice();
  };

  std::map<std::string, AgentTable> tables;
  FILE* terminal = nullptr;
  int terminalLevel = 0;
  PreconditionProgress preconditionProgress;
  FILE* logFile = nullptr;
  std::shared_ptr<LogSink> sink;
  ConditionNames names;
  std::vector<std::unique_ptr<FlowAgent>> agents;
  std::vector<std::unique_ptr<Drive>> drives;
  std::unique_ptr<journal::Journal> journal;  // after the drives: they record into it
  FlowLimits limits;
  std::vector<std::pair<std::string, std::string>> keys;  // the plan's agent keys, as given
  double progressPeriod = 0.2;
  std::atomic<bool> stop{false};
  std::mutex agentsFinishing;
  bool prepared = false;
  bool released = false;

  ~Impl() {
    release();
    // The log outlives the drives: the runner may still write the agents' own output to it.
    sink.reset();
    if (logFile != nullptr) std::fclose(logFile);
    logFile = nullptr;
  }

  // Gives every record back to its agent, then the drives, then the agents (and their libraries).
  void release() {
    if (released) return;
    released = true;
    for (auto& drive : drives)
      for (auto& slice : drive->slices) {
        if (!slice->flow) continue;
        for (auto& agent : agents) agent->deleteDriveData(slice->flow->env());
      }
    for (auto& agent : agents) agent->deleteConfig();
    drives.clear();
    journal.reset();
    agents.clear();
  }

  int prepare(const TestPlan& plan, std::string& error);
  // What the journal needs to reopen every drive once prepared.
  journal::JournalManifest journalManifest(const TestPlan& plan) const;
  // Appends a DriveReport per drive to `report` and sets its exit status and, from the first
  // drive that did not pass, its error.
  void reportDrives(RunReport& report);
  // Every key of every agent with its value; before release, while the agents' records live.
  std::vector<AgentKeyValue> agentKeyValues() const;
};

}  // namespace varnox

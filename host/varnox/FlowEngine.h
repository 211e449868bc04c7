#pragma once
// One drive's flow: the agents and guarded command steps it runs pass after pass.
//
// A pass: the condition mask starts empty; a power-on after a toggle sets "EPO" to 1 and a reset
// the device reported sets "DeviceReset"; then every step in flow order: an agent's execute (a
// non-zero status ends the drive's test with it), or a command step when its condition holds on
// the mask (an unguarded step always runs).
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "CommandSteps.h"
#include "FlowAgent.h"
#include "varnox/Condition.h"
#include "varnox/TestRun.h"

namespace varnox {

struct FlowStep {
  StepKind kind = StepKind::Agent;
  std::string name;
  Condition guard;
  FlowAgent* agent = nullptr;  // for agent steps; owned by the test
};

struct FlowLimits {
  uint64_t passes = 0;         // 0: none
  double durationSeconds = 0;  // 0: none
};

class DriveFlow {
 public:
  // `device` and the env's thread outlive the flow; so do the agents the steps name.
  DriveFlow(DriveEnv env, Device& device, std::vector<FlowStep> steps, DriveProgress& progress);

  // Maps the host's and the command steps' variables; call before the agents map theirs.
  int mapVariables(std::string& error);
  // Runs every agent's setup in flow order. Non-zero: the drive cannot run the test.
  int setupAgents(std::string& error);
  int runPass();
  // Runs passes until a limit, `stop`, an error or a stopped device, then (after a limit or
  // `stop`) completes what is still in flight through the agents; returns the status that
  // ended the test (0 when a limit or `stop` ended it and the last completions were clean).
  int run(const FlowLimits& limits, const std::atomic<bool>& stop);
  // Collects the completions still due so that no command holds agent memory, then lets every
  // agent finish, one drive at a time under `agentsFinishing`. After a command timed out the
  // agents are asked to dump their command sequence as after a failure. Returns
  // VARNOX_ERR_DEVICE when a command outstanding at the end outlived the timeout.
  int finish(std::mutex& agentsFinishing);
  void setTiming(double timeoutSeconds, bool recordLatency) { steps_.setTiming(timeoutSeconds, recordLatency); }
  const CommandLatency& latency() const { return steps_.latency(); }

  const CommandCounters& counters() const { return steps_.counters(); }
  CommandSteps& steps() { return steps_; }
  uint64_t passes() const { return passes_; }
  DriveEnv& env() { return env_; }
  // Power cycles and resets in the order they happened, the first kMaxDriveEvents of them.
  const std::vector<DriveEvent>& events() const { return events_; }

 private:
  bool resetMet_ = false;      // a command step met a reset; told at the next pass's start
  bool powerLossMet_ = false;  // and it was a power loss
  int drain();
  void publishProgress();
  // Tells the agents of a reset or power loss: one a command step met in the last pass, or one
  // the device reports now.
  void takeResetEvent();

  void noteEvent(const char* kind);

  DriveEnv env_;
  Device& device_;
  std::vector<FlowStep> flow_;
  DriveProgress& progress_;
  CommandSteps steps_;
  bool powerRestored_ = false;
  uint64_t passes_ = 0;
  uint64_t start_ = 0;  // performance counter at the start of run()
  std::vector<DriveEvent> events_;
};

}  // namespace varnox

#include "FlowEngine.h"

#include "DiagnosisReadBack.h"

#include "varnox/Clock.h"
#include "varnox/Errors.h"

namespace varnox {
namespace {

// An agent that traces its commands dumps them at finish when this key of its is set.
constexpr const char* kDumpSequenceKey = "Always Dump Sequence";

}  // namespace

DriveFlow::DriveFlow(DriveEnv env, Device& device, std::vector<FlowStep> steps, DriveProgress& progress)
    : env_(env), device_(device), flow_(std::move(steps)), progress_(progress), steps_(*env.thread, device) {
  progress_.latency = &steps_.latency().byKind;
  steps_.setSkipCommands(env.lbaStride != 1);
}

int DriveFlow::mapVariables(std::string& error) {
  std::vector<std::pair<StepKind, std::string>> commandSteps;
  for (const FlowStep& step : flow_) {
    if (step.kind != StepKind::Agent) commandSteps.emplace_back(step.kind, step.name);
  }
  return steps_.mapVariables(commandSteps, error);
}

namespace {

// "cardamor" for ".../libcardamor.so": the name a user writes in the flow, not the library's path.
std::string agentShortName(const std::string& name) {
  std::string base = name.substr(name.find_last_of('/') + 1);
  if (base.size() > 6 && base.starts_with("lib") && base.ends_with(".so"))
    base = base.substr(3, base.size() - 6);
  return base;
}

// "; check the keys "Min Queue Size", "Max Queue Size"" for the agent's keys the message names.
std::string keysNamedIn(const ConfigManager* config, const std::string& message) {
  if (config == nullptr) return {};
  std::string keys;
  for (const ConfigManager::Key& key : config->keys())
    if (key.name.size() > 3 && message.find(key.name) != std::string::npos)
      keys += (keys.empty() ? "" : ", ") + ("\"" + key.name + "\"");
  return keys.empty() ? std::string() : "; check the keys " + keys;
}

}  // namespace

int DriveFlow::setupAgents(std::string& error) {
  DriveThread& thread = *env_.thread;
  thread.setTestStartCounter(queryPerformanceCounter());
  for (const FlowStep& step : flow_) {
    if (step.agent == nullptr) continue;
    const int status = step.agent->setup(env_);
    if (status != VARNOX_OK) {
      // The agent says why in the drive's log; its last error line is the most specific.
      std::string why;
      for (const EventLog::Line& line : thread.eventLog().lines()) {
        if (line.level >= 2) why = line.text;
      }
      if (why.empty()) why = EventLog::errStr(status);
      error = "agent " + agentShortName(step.name) + " refused drive " + thread.driveName() + ": " + why +
              keysNamedIn(step.agent->config(), why) + " (status " + std::to_string(status) + ")";
      return status;
    }
  }
  return VARNOX_OK;
}

int DriveFlow::runPass() {
  DriveThread& thread = *env_.thread;
  thread.conditionMask() = 0;
  if (powerRestored_) {
    powerRestored_ = false;
    *steps_.epo() = 1;
  }
  takeResetEvent();
  steps_.takeSliceSyncCover();
  // A reset or power loss that a command step of this pass met ends the pass's commands there:
  // one sent after it would run on the device while the agents, told of the reset on the next
  // pass, take every command in flight for lost and free its tag.
  bool cut = false;
  bool statusTaken = false;  // GetStatus ran this pass: its completion is for the next one
  for (const FlowStep& step : flow_) {
    int status = VARNOX_OK;
    if (step.kind == StepKind::Agent) {
      status = step.agent->execute(env_);
      if (status != VARNOX_OK) return status;
      continue;
    }
    if (cut) continue;
    if (step.guard.isSet() && !step.guard.holds(thread.conditionMask())) continue;
    switch (step.kind) {
      case StepKind::GetStatus:
        status = steps_.getStatus();
        break;
      case StepKind::PowerToggle:
        status = steps_.powerToggle();
        if (status == VARNOX_OK) {
          progress_.powerCycles.fetch_add(1, std::memory_order_relaxed);
          noteEvent("power cycle");
        }
        // Power comes back before the next pass; the agents hear of it through "EPO" then.
        powerRestored_ = true;
        break;
      default:
        status = steps_.issue(step.kind, step.name);
        break;
    }
    if (status != VARNOX_OK) return status;
    if (step.kind != StepKind::GetStatus && step.kind != StepKind::PowerToggle && device_.takeResetEvent()) {
      cut = true;
      resetMet_ = true;
      powerLossMet_ = device_.takePowerLossEvent();
      // The agents took the completion in the variables at this pass's start; one GetStatus
      // handed over this pass, before the cut, is still theirs to take.
      if (!statusTaken) steps_.clearStatus();
    }
    statusTaken |= step.kind == StepKind::GetStatus;
  }
  return VARNOX_OK;
}

void DriveFlow::noteEvent(const char* kind) {
  if (events_.size() < kMaxDriveEvents)
    events_.push_back({static_cast<double>(queryPerformanceCounter() - start_) / 1e9, kind});
}

void DriveFlow::takeResetEvent() {
  DriveThread& thread = *env_.thread;
  const bool met = resetMet_;
  resetMet_ = false;
  if (!met && !device_.takeResetEvent()) return;
  const bool powerLost = met ? powerLossMet_ : device_.takePowerLossEvent();
  steps_.forgetInFlight();
  *steps_.deviceReset() = true;
  // A power loss of the device's own is also a power-on: the agents hear of it through "EPO"
  // as after a toggle, so that they allow for what a volatile cache may have lost.
  if (powerLost) {
    *steps_.epo() = 1;
    steps_.powerLost();
    progress_.powerCycles.fetch_add(1, std::memory_order_relaxed);
    noteEvent("power loss");
    thread.eventLog().log(1, "the device lost power; the commands in flight were lost");
  } else {
    progress_.resets.fetch_add(1, std::memory_order_relaxed);
    noteEvent("reset");
    thread.eventLog().log(1, "the device reported a reset; the commands in flight were lost");
  }
}

int DriveFlow::run(const FlowLimits& limits, const std::atomic<bool>& stop) {
  const uint64_t start = queryPerformanceCounter();
  start_ = start;
  // A duration beyond what 64 bits of nanoseconds hold (about 584 years) means no time limit.
  const double ns = limits.durationSeconds * 1e9;
  const uint64_t durationNs = ns > 0 && ns < 1.8e19 ? static_cast<uint64_t>(ns) : 0;
  int status = VARNOX_OK;
  while (!stop.load(std::memory_order_relaxed)) {
    if (limits.passes != 0 && passes_ >= limits.passes) break;
    if (durationNs != 0 && queryPerformanceCounter() - start >= durationNs) break;
    status = runPass();
    ++passes_;
    publishProgress();
    if (status != VARNOX_OK) break;
    if (device_.stopped()) break;
  }
  if (status == VARNOX_OK && !device_.stopped()) status = drain();
  return status;
}

int DriveFlow::drain() {
  // Nothing in flight is thrown away: with the tags closed the agents issue nothing more, and
  // every pass hands one completion back to them (GetStatus waits for it), so reads still in
  // flight are compared and writes recorded. One pass more lets the agents take the last one.
  FreeTagQueue& tags = env_.thread->freeTagQueue();
  tags.setClosed(true);
  int status = VARNOX_OK;
  // A bound for a device that holds commands without ever completing them.
  const uint64_t limit = 4ull * tags.getMaxQueueDepth() + 64;
  for (uint64_t pass = 0; status == VARNOX_OK && pass < limit; ++pass) {
    const bool last = steps_.inFlight() == 0 && device_.outstanding() == 0;
    status = runPass();
    if (last) break;
  }
  tags.setClosed(false);
  publishProgress();
  return status;
}

void DriveFlow::publishProgress() {
  const CommandCounters& c = steps_.counters();
  progress_.passes.store(passes_, std::memory_order_relaxed);
  progress_.commands.store(c.commands, std::memory_order_relaxed);
  progress_.bytesWritten.store(c.bytesWritten, std::memory_order_relaxed);
  progress_.bytesVerified.store(c.bytesVerified, std::memory_order_relaxed);
  progress_.errors.store(c.errorCompletions, std::memory_order_relaxed);
  progress_.deviceErrors.store(steps_.deviceErrors().count(), std::memory_order_relaxed);
  // The host cannot see an agent's read-back queue; writes not yet matched by a good read or
  // verify are the closest it can tell.
  progress_.readBackDistance.store(c.goodWrites > c.goodReadBacks ? c.goodWrites - c.goodReadBacks : 0,
                                   std::memory_order_relaxed);
}

int DriveFlow::finish(std::mutex& agentsFinishing) {
  // A device event this thread has not met (one slice's power toggle reaching another that had
  // already ended its passes) took every command in flight: none is left to wait for.
  if (device_.takeResetEvent()) {
    device_.takePowerLossEvent();
    steps_.forgetInFlight();
  }
  const int status = steps_.drain();
  steps_.forgetInFlight();
  answerDiagnosisRead(*env_.thread, device_);
  // The agents' configuration is shared by the drives: the key is set for this drive's finish
  // only, and no other drive finishes meanwhile.
  std::lock_guard<std::mutex> lock(agentsFinishing);
  for (const FlowStep& step : flow_) {
    if (step.agent == nullptr) continue;
    const ConfigManager::Key* dump =
        steps_.timedOut() && step.agent->config() ? step.agent->config()->find(kDumpSequenceKey) : nullptr;
    bool* flag = dump && dump->type == ConfigManager::KeyType::Bool ? static_cast<bool*>(dump->member) : nullptr;
    const bool before = flag ? *flag : false;
    if (flag) *flag = true;
    step.agent->finish(env_);
    if (flag) *flag = before;
  }
  return status;
}

}  // namespace varnox

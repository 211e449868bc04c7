#include "varnox/TestRun.h"

#include <chrono>
#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <random>
#include <thread>

#include "AgentFactory.h"
#include "BuiltinDevices.h"
#include "DriveSlices.h"
#include "EndToEndKey.h"
#include "varnox/ConditionNames.h"
#include "FlowEngine.h"
#include "SkipCommands.h"
#include "StepSupport.h"
#include "TestRunImpl.h"
#include "tavik/Tavik.h"
#include "varnox/Clock.h"
#include "varnox/Errors.h"

namespace varnox {

int TestRun::Impl::prepare(const TestPlan& plan, std::string& error) {
  const std::string file = plan.sourceFile.empty() ? "test" : plan.sourceFile;
  if (plan.drives.empty()) {
    error = file + ": the test names no drive";
    return kExitRefused;
  }
  if (plan.flow.empty()) {
    error = file + ": the test has an empty flow";
    return kExitRefused;
  }
  if (plan.passes == 0 && plan.durationSeconds <= 0) {
    error = file + ": the test needs a pass limit or a duration";
    return kExitRefused;
  }
  limits.passes = plan.passes;
  keys = plan.keys;
  limits.durationSeconds = plan.durationSeconds > 0 ? plan.durationSeconds : 0;

  // The flow: guards first, so the step conditions take the first mask bits in flow order.
  std::vector<FlowStep> flow;
  bool sendsCommands = false, hasStatus = false;
  for (const StepSpec& planned : plan.flow) {
    FlowStep step;
    step.kind = planned.kind;
    step.name = planned.name.empty() ? stepKindName(planned.kind) : planned.name;
    std::string why;
    if (parseConditionText(planned.condition, &ConditionNames::resolve, &names, step.guard, why) != VARNOX_OK) {
      error = file + ": step \"" + step.name + "\": condition \"" + planned.condition + "\" " + why;
      return kExitRefused;
    }
    if (planned.kind != StepKind::Agent && !planned.settings.empty()) {
      error = file + ": step \"" + step.name + "\": unknown setting \"" + planned.settings.front().first + "\"";
      return kExitRefused;
    }
    if (planned.kind == StepKind::GetStatus) hasStatus = true;
    if (planned.kind != StepKind::Agent && planned.kind != StepKind::GetStatus && planned.kind != StepKind::PowerToggle) {
      sendsCommands = true;
    }
    flow.push_back(std::move(step));
  }
  if (sendsCommands && !hasStatus) {
    error = file + ": the flow sends commands but has no GetStatus step to collect them";
    return kExitRefused;
  }

  // Agents: one instance per agent step, registered in flow order.
  for (size_t i = 0; i < plan.flow.size(); ++i) {
    if (plan.flow[i].kind != StepKind::Agent) continue;
    std::unique_ptr<FlowAgent> agent = makeAgent(plan.flow[i], tables, names, error);
    if (!agent) {
      error = file + ": " + error;
      return kExitRefused;
    }
    flow[i].agent = agent.get();
    agents.push_back(std::move(agent));
    if (agents.back()->registerConfig(error) != VARNOX_OK) {
      error = file + ": " + error;
      return kExitRefused;
    }
  }

  // Keys go to every agent that registered them; a key no agent knows is a typo.
  std::vector<std::string> notices;
  for (const auto& [key, value] : plan.keys) {
    bool known = false;
    for (auto& agent : agents) {
      ConfigManager* manager = agent->config();
      if (manager == nullptr || manager->find(key) == nullptr) continue;
      known = true;
      std::string why;
      if (manager->setFromText(key, value, why) != VARNOX_OK) {
        error = file + ": " + why;
        return kExitRefused;
      }
      const auto& all = manager->deprecationNotices();
      if (!all.empty() && (notices.empty() || notices.back() != all.back())) notices.push_back(all.back());
    }
    if (!known) {
      error = file + ": [cardamor]: unknown key \"" + key +
              "\" (no agent of the flow has it; varnox keys lists them)";
      return kExitRefused;
    }
  }

  if (!plan.logFile.empty()) {
    logFile = std::fopen(plan.logFile.c_str(), "w");
    if (logFile == nullptr) {
      error = "log file \"" + plan.logFile + "\" cannot be written: " + std::strerror(errno);
      return kExitRefused;
    }
  }
  if (terminal != nullptr || logFile != nullptr) {
    sink = std::make_shared<LogSink>(terminal, logFile);
    sink->setTerminalLevel(terminalLevel);
  }

  const bool skipCommands = agentsUseSkipCommands(agents);
  Condition endToEnd;
  if (const std::string why = endToEndCondition(plan.keys, names, endToEnd); !why.empty()) {
    error = file + ": " + why;
    return kExitRefused;
  }
  const std::unique_ptr<DeviceFactory> devices = builtinDevices();
  if (const std::string why = devices->sharedMediumError(plan.drives); !why.empty()) {
    error = file + ": " + why;
    return kExitRefused;
  }

  const bool checkOnly = std::any_of(plan.drives.begin(), plan.drives.end(), [](const DriveSpec& d) { return d.device.checkOnly; });
  if (!plan.journalDir.empty()) {
    if (plan.journalSync != "host" && plan.journalSync != "process") {
      error = file + ": [test]: \"journal_sync\" must be \"host\" or \"process\", got \"" + plan.journalSync + "\"";
      return kExitRefused;
    }
    if (const std::string why = journal::journalOnDriveError(plan.journalDir, plan.drives); !why.empty()) {
      error = file + ": " + why;
      return kExitRefused;
    }
  }

  // Devices and drive threads.
  std::random_device entropy;
  for (size_t index = 0; index < plan.drives.size(); ++index) {
    auto drive = std::make_unique<Drive>();
    drive->planned = plan.drives[index];
    if (drive->planned.name.empty()) drive->planned.name = "D" + std::to_string(index);
    DeviceSpec& device = drive->planned.device;
    device.commandsMayBeLost =
        std::any_of(plan.flow.begin(), plan.flow.end(), [](const StepSpec& s) { return s.kind == StepSpec::Kind::PowerToggle; }) ||
        std::any_of(device.faults.begin(), device.faults.end(),
                    [](const FaultRule& f) { return f.kind == "reset" || f.kind == "power-loss"; });
    drive->seed = drive->planned.device.seed;
    // 32 bits, as --seed takes them, so that the number the summary reports repeats the run.
    while (drive->seed == 0) drive->seed = entropy();
    const uint32_t slices = drive->planned.slices == kSlicesPerCore ? onlineCores() : drive->planned.slices;
    if (const std::string why = slicesError(plan, drive->planned, slices); !why.empty()) {
      error = file + ": drive " + drive->planned.name + ": " + why;
      return kExitRefused;
    }
    // Each slice has its own submission queue of queue_depth tags: the device takes them all.
    const uint32_t sliceDepth = std::max<uint32_t>(drive->planned.device.queueDepth, 1);
    // Beyond the device's 1024 tags the slices share them evenly.
    if (slices > 1) device.queueDepth = std::min<uint32_t>(sliceDepth * slices, kMaxDeviceTags);
    int exitStatus = kExitDeviceFailure;
    // Filling a large device takes hours: a stop() ends it at the next chunk.
    PreconditionBytes progress = [this, name = drive->planned.name](uint64_t done, uint64_t total) {
      if (preconditionProgress) preconditionProgress(name, done, total);
      return !stop.load();
    };
    drive->device = devices->open(drive->planned.device, drive->seed, error, exitStatus, progress);
    if (!drive->device) {
      error = file + ": drive " + drive->planned.name + ": " + error;
      return exitStatus;
    }
    const DeviceGeometry& geometry = drive->device->geometry();
    if (const std::string why = unsupportedStep(plan.flow, geometry, drive->device->describe()); !why.empty()) {
      error = file + ": drive " + drive->planned.name + ": " + why;
      return kExitRefused;
    }
    if (endToEnd.isSet() && !geometry.protectionInfoEnabled) {
      error = file + ": drive " + drive->planned.name + ": \"" + kEndToEndKey +
              "\" needs a drive with protection information (protection_info = true)";
      return kExitRefused;
    }
    DriveProperties properties;
    properties.logicalBlockSize = geometry.logicalBlockSize;
    // End to end the host owns the protection bytes: the agents' blocks hold data only.
    properties.protectionInfoEnabled = geometry.protectionInfoEnabled && !endToEnd.isSet();
    properties.protectionInfoBytes = geometry.protectionInfoBytes;
    properties.log2LogicalPerPhysical = geometry.log2LogicalPerPhysical;
    properties.queueDepth = std::min(sliceDepth, geometry.maxQueueDepth / slices);
    if (properties.queueDepth == 0) {
      error = file + ": drive " + drive->planned.name + ": \"slices\" " + std::to_string(slices) +
              " is more than the device's " + std::to_string(geometry.maxQueueDepth) +
              " command tags allow (each slice needs at least one)";
      return kExitRefused;
    }
    if (slices > 1) drive->shared = std::make_unique<DeviceSlices>(*drive->device, slices, properties.queueDepth);
    for (uint32_t i = 0; i < slices; ++i) {
      auto slice = std::make_unique<Slice>();
      Device& sliceDevice = drive->shared ? drive->shared->slice(i) : *drive->device;
      properties.driveName = sliceName(drive->planned.name, i, slices);
      slice->tavik = std::make_unique<Tavik>(&sliceDevice, static_cast<int>(index));
      slice->thread = std::make_unique<DriveThread>(properties, sink, slice->tavik.get());
      for (const std::string& notice : notices) slice->thread->eventLog().log(1, notice);
      // Slice 0 keeps the drive's seed, so that a drive of one slice runs as it always did.
      DriveEnv env{slice->thread.get(), drive->seed + i * 0x9E3779B97F4A7C15ull, geometry, skipCommands ? 2u : 1u,
                   i, slices};
      slice->flow = std::make_unique<DriveFlow>(env, sliceDevice, flow, slices == 1 ? drive->progress : slice->progress);
      slice->flow->steps().setToleratedDeviceErrors(plan.maxDeviceErrors);
      slice->flow->setTiming(plan.commandTimeoutSeconds, plan.recordLatency);
      slice->flow->steps().setEndToEnd(endToEnd);
      slice->flow->steps().setSliced(slices > 1);
      drive->slices.push_back(std::move(slice));
    }
    if (slices > 1) drive->progress.latency = &drive->latency;
    drives.push_back(std::move(drive));
  }

  if (!plan.journalDir.empty() && !checkOnly) {
    std::string why;
    journal = journal::Journal::create(plan.journalDir, journalManifest(plan), why);
    if (!journal) {
      error = file + ": " + why;
      return kExitRefused;
    }
    for (size_t i = 0; i < drives.size(); ++i) drives[i]->slices.front()->flow->steps().setJournal(journal->drive(i));
  }

  for (auto& drive : drives) {
    // The agents must know whether a power loss may take back completed writes: on the
    // simulated drive, and on a file or block device whose power the test switches, by what the
    // drive's write_cache says.
    const bool volatileCache =
        drive->planned.device.writeCache == "volatile" &&
        (drive->planned.device.kind == "sim" || drive->device->geometry().supportsPowerToggle);
    for (auto& slice : drive->slices) {
      std::string why;
      if (slice->flow->mapVariables(why) != VARNOX_OK) {
        error = file + ": " + why;
        return kExitRefused;
      }
      int err = 0;
      if (uint32_t* variable = slice->thread->mapU32("WriteCacheVolatile", kVarWrite, &err, 0)) *variable = volatileCache;
      slice->flow->steps().setHoldBehindSyncCache(volatileCache);
      for (auto& agent : agents) {
        if (agent->registerDriveVariables(slice->flow->env(), why) != VARNOX_OK) {
          error = file + ": " + why;
          return kExitRefused;
        }
      }
    }
  }
  for (auto& drive : drives) {
    for (auto& slice : drive->slices) {
      std::string why;
      if (slice->flow->setupAgents(why) != VARNOX_OK) {
        error = file + ": " + why;
        return kExitRefused;
      }
    }
  }
  prepared = true;
  return kExitPassed;
}

journal::JournalManifest TestRun::Impl::journalManifest(const TestPlan& plan) const {
  journal::JournalManifest manifest;
  manifest.journalSync = plan.journalSync;
  manifest.source = plan.sourceFile;
  for (const auto& drive : drives) {
    journal::JournalDrive& d = manifest.drives.emplace_back();
    d.name = drive->planned.name;
    d.device = drive->planned.device;
    d.device.faults.clear();  // a reopened drive injects nothing
    d.device.seed = drive->seed;
    const DeviceGeometry& geometry = drive->device->geometry();
    d.logicalBlockSize = geometry.logicalBlockSize;
    d.capacityBlocks = geometry.capacityBlocks;
    d.zoneBlocks = geometry.zoneBlocks;
    d.identity = journal::deviceIdentity(d.device);
  }
  return manifest;
}

TestRun::TestRun() : impl_(std::make_unique<Impl>()) {}

TestRun::~TestRun() = default;

void TestRun::addAgent(const std::string& name, const AgentTable& table) { impl_->tables[name] = table; }

void TestRun::setPreconditionProgress(PreconditionProgress progress) {
  impl_->preconditionProgress = std::move(progress);
}

void TestRun::setTerminal(FILE* terminal, int minLevel) {
  impl_->terminal = terminal;
  impl_->terminalLevel = minLevel;
}

int TestRun::prepare(const TestPlan& plan, std::string& error) {
  if (impl_->prepared || impl_->released) {
    error = "a run is prepared once";
    return kExitRefused;
  }
  return impl_->prepare(plan, error);
}

RunReport TestRun::run(const std::function<void(const std::vector<const DriveProgress*>&)>& onProgress) {
  RunReport report;
  if (!impl_->prepared || impl_->released) {
    report.exitStatus = kExitRefused;
    report.error = "the run was not prepared";
    return report;
  }
  const uint64_t start = queryPerformanceCounter();
  std::mutex mutex;
  std::condition_variable finished;
  size_t done = 0;
  std::vector<std::thread> threads;
  std::vector<const DriveProgress*> progress;
  for (auto& drive : impl_->drives) {
    progress.push_back(&drive->progress);
    Impl::Drive* d = drive.get();
    if (impl_->stop.load()) d->halt.store(true);
    if (d->shared) d->shared->setStart(start);
    for (size_t i = 0; i < d->slices.size(); ++i) {
      Impl::Slice* slice = d->slices[i].get();
      const std::vector<uint32_t>& cpus = d->planned.cpus;
      const int cpu = cpus.empty() ? -1 : static_cast<int>(cpus[i % cpus.size()]);
      threads.emplace_back([this, d, slice, cpu, start, &mutex, &finished, &done] {
        if (cpu >= 0 && !pinThisThread(static_cast<uint32_t>(cpu)))
          slice->thread->eventLog().logf(1, "the drive thread could not be pinned to CPU %d", cpu);
        auto since = [start] { return static_cast<double>(queryPerformanceCounter() - start) / 1e9; };
        // A pass is one trip of a drive thread through the flow: every slice runs the limit.
        slice->status = slice->flow->run(impl_->limits, d->halt);
        slice->endedSeconds = since();
        // A failing slice stops the whole drive: the others complete what they have in flight.
        if (slice->status != VARNOX_OK) d->halt.store(true);
        const int drained = slice->flow->finish(impl_->agentsFinishing);
        if (slice->status == VARNOX_OK && drained != VARNOX_OK) {
          slice->status = drained;
          slice->endedSeconds = since();
        }
        slice->cpuSeconds = threadCpuSeconds();
        std::lock_guard<std::mutex> lock(mutex);
        ++done;
        finished.notify_all();
      });
    }
  }
  {
    // Calls on whole multiples of the period from the start, so they do not drift.
    const auto first = std::chrono::steady_clock::now();
    const auto period = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(impl_->progressPeriod));
    uint64_t tick = 0;
    std::unique_lock<std::mutex> lock(mutex);
    while (done < threads.size()) {
      const auto due = first + period * static_cast<int64_t>(++tick);
      finished.wait_until(lock, due);
      // A drive that ended woke the wait: the next call stays on its multiple.
      if (done < threads.size() && std::chrono::steady_clock::now() < due) {
        --tick;
        continue;
      }
      if (onProgress) {
        lock.unlock();
        for (auto& drive : impl_->drives) drive->sumProgress();
        onProgress(progress);
        lock.lock();
      }
    }
  }
  for (std::thread& thread : threads) thread.join();
  for (auto& drive : impl_->drives) {
    drive->sumProgress();
    const Impl::Slice& verdict = drive->verdictSlice();
    drive->status = verdict.status;
    drive->endedSeconds = verdict.endedSeconds;
  }
  report.seconds = static_cast<double>(queryPerformanceCounter() - start) / 1e9;

  impl_->reportDrives(report);
  report.agentKeys = impl_->agentKeyValues();
  impl_->release();
  return report;
}

void TestRun::stop() {
  impl_->stop.store(true);
  for (auto& drive : impl_->drives) drive->halt.store(true);
}

void TestRun::setProgressPeriod(double seconds) {
  if (seconds > 0) impl_->progressPeriod = seconds;
}

std::shared_ptr<LogSink> TestRun::logSink() const {
  return impl_->sink;
}

}  // namespace varnox

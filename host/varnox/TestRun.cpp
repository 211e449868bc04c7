#include "varnox/TestRun.h"

#include <unistd.h>

#include <chrono>
#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <random>
#include <set>
#include <sstream>
#include <thread>

#include "BuiltinAgents.h"
#include "varnox/ConditionNames.h"
#include "BuiltinDevices.h"
#include "FlowEngine.h"
#include "SkipCommands.h"
#include "TableAgent.h"
#include "tavik/Tavik.h"
#include "varnox/AgentLoader.h"
#include "varnox/Clock.h"
#include "varnox/Errors.h"

namespace varnox {
namespace {

bool isIntegrityStatus(int status) {
  return status == VARNOX_ERR_MISCOMPARE || status == VARNOX_ERR_WRITE_SPLICE_DETECTED ||
         status == VARNOX_ERR_ATOMIC_ORDERING;
}

int exitStatusFor(int status) {
  if (status == VARNOX_OK) return kExitPassed;
  if (isIntegrityStatus(status)) return kExitIntegrityFailure;
  if (status == VARNOX_ERR_DEVICE || status == VARNOX_ERR_NO_DEVICE) return kExitDeviceFailure;
  // Any other agent status means the test could not run as configured.
  return kExitRefused;
}

// An integrity failure matters most, then a failed device, then a refusal, then a drive that
// proved nothing.
int worseExit(int a, int b) {
  auto rank = [](int exit) {
    switch (exit) {
      case kExitIntegrityFailure: return 4;
      case kExitDeviceFailure: return 3;
      case kExitRefused: return 2;
      case kExitInconclusive: return 1;
      default: return 0;
    }
  };
  return rank(b) > rank(a) ? b : a;
}

std::string programDirectory() {
  char path[4096];
  const ssize_t n = readlink("/proc/self/exe", path, sizeof(path) - 1);
  if (n <= 0) return "";
  path[n] = '\0';
  return std::filesystem::path(path).parent_path().string();
}

// A bare agent name is looked up as lib<name>.so; a name with a slash or ".so" is a path.
std::string resolveAgentLibrary(const std::string& name) {
  if (name.find('/') != std::string::npos || name.ends_with(".so")) return name;
  const std::string file = "lib" + name + ".so";
  std::vector<std::string> dirs;
  if (const char* env = std::getenv("VARNOX_AGENT_PATH")) {
    std::stringstream list(env);
    for (std::string dir; std::getline(list, dir, ':');) {
      if (!dir.empty()) dirs.push_back(dir);
    }
  }
  const std::string exeDir = programDirectory();
  if (!exeDir.empty()) {
    dirs.push_back(exeDir);
    dirs.push_back(exeDir + "/../plugin/write_data_gen");  // the build tree
  }
  for (const std::string& dir : dirs) {
    std::error_code ec;
    const std::filesystem::path candidate = std::filesystem::path(dir) / file;
    if (std::filesystem::is_regular_file(candidate, ec)) return candidate.string();
  }
  return file;  // the system's library search
}

std::unique_ptr<FlowAgent> makeAgent(const StepSpec& step, const std::map<std::string, AgentTable>& tables,
                                     ConditionNames& names, std::string& error) {
  auto tableIt = tables.find(step.name);
  if (tableIt != tables.end() || !isBuiltinAgent(step.name)) {
    if (!step.settings.empty()) {
      error = "agent \"" + step.name + "\": unknown setting \"" + step.settings.front().first +
              "\" (library agents take their configuration keys from the keys table)";
      return nullptr;
    }
  }
  if (tableIt != tables.end()) {
    return std::make_unique<TableAgent>(step.name, tableIt->second, nullptr, &ConditionNames::resolve, &names);
  }
  if (isBuiltinAgent(step.name)) return makeBuiltinAgent(step.name, step.settings, names, error);
  auto loader = std::make_unique<AgentLoader>();
  if (loader->load(resolveAgentLibrary(step.name), error) != VARNOX_OK) return nullptr;
  AgentTable table = loader->table();
  return std::make_unique<TableAgent>(step.name, table, std::move(loader), &ConditionNames::resolve, &names);
}

std::string describeKeyType(const ConfigManager::Key& key) {
  switch (key.type) {
    case ConfigManager::KeyType::U32:
      return "u32 " + std::to_string(key.min) + ".." + std::to_string(key.max) + ", default " +
             std::to_string(key.defaultU32);
    case ConfigManager::KeyType::Bool: return std::string("bool, default ") + (key.defaultBool ? "true" : "false");
    case ConfigManager::KeyType::String: return "text, default \"" + key.defaultText + "\"";
    case ConfigManager::KeyType::Condition: return "condition, default none";
    case ConfigManager::KeyType::Buffer: return "data, default empty";
  }
  return "";
}

// The agents' condition that marks a pass whose commands carry protection information end to end.
constexpr const char* kEndToEndKey = "E2E Condition";

// "" with `condition` resolved from the last value of the key (unset when the test has none);
// else why the value is unusable.
std::string endToEndCondition(const std::vector<std::pair<std::string, std::string>>& keys, ConditionNames& names,
                              Condition& condition) {
  std::string text;
  for (const auto& [key, value] : keys)
    if (key == kEndToEndKey) text = value;
  std::string why;
  if (!text.empty() && parseConditionText(text, &ConditionNames::resolve, &names, condition, why) != VARNOX_OK)
    return "\"" + std::string(kEndToEndKey) + "\" = \"" + text + "\" " + why;
  return {};
}

// Tokens of the agents' log lines that name files the run left behind.
// A step the device cannot perform is refused before the run, with the reason, rather than
// failing command by command once the test is under way.
std::string unsupportedStep(const std::vector<StepSpec>& flow, const DeviceGeometry& geometry,
                            const std::string& device) {
  for (const StepSpec& step : flow) {
    switch (step.kind) {
      case StepSpec::Kind::PowerToggle:
        if (!geometry.supportsPowerToggle)
          return "power toggle needs the simulated drive: " + device + " cannot lose power on request";
        break;
      case StepSpec::Kind::Trim:
        if (!geometry.supportsUnmap) return "the flow trims, but " + device + " cannot discard blocks to zeros";
        break;
      case StepSpec::Kind::ZoneReset:
        if (geometry.zoneBlocks == 0)
          return "the flow resets zones, but " + device + " has none (for the simulated drive set zone_size)";
        break;
      case StepSpec::Kind::WriteAtomic:
        if (geometry.atomicUnitBlocks == 0)
          return "the flow writes atomically, but " + device +
                 " reports no atomic write support (for the simulated drive set atomic_unit)";
        break;
      default:
        break;
    }
  }
  return {};
}

std::vector<std::string> outputFilesFrom(const EventLog& log) {
  std::vector<std::string> files;
  std::set<std::string> seen;
  for (const std::string& text : log.texts()) {
    std::stringstream words(text);
    for (std::string word; words >> word;) {
      while (!word.empty() && std::string("\"'`,;:()[]<>").find(word.front()) != std::string::npos) word.erase(0, 1);
      while (!word.empty() && std::string("\"'`,;:()[]<>.").find(word.back()) != std::string::npos) word.pop_back();
      if (word.size() < 3 || seen.count(word) != 0) continue;
      if (word.find('/') == std::string::npos && word.find('.') == std::string::npos) continue;
      std::error_code ec;
      if (std::filesystem::is_regular_file(word, ec)) {
        seen.insert(word);
        files.push_back(word);
      }
    }
  }
  return files;
}

// The agent's key=value lines in "Diagnosis" (DriveThread.h).
std::map<std::string, std::string> diagnosisFrom(const DriveThread& thread) {
  std::map<std::string, std::string> keys;
  const Buffer* buffer = thread.findBuffer("Diagnosis");
  if (buffer == nullptr || buffer->data == nullptr) return keys;
  std::stringstream text(std::string(reinterpret_cast<const char*>(buffer->data), buffer->size));
  for (std::string line; std::getline(text, line);) {
    const size_t eq = line.find('=');
    if (eq != std::string::npos && eq > 0) keys[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return keys;
}

}  // namespace

struct TestRun::Impl {
  struct Drive {
    DriveSpec planned;
    uint64_t seed = 0;
    std::unique_ptr<Device> device;
    std::unique_ptr<Tavik> tavik;
    std::unique_ptr<DriveThread> thread;
    DriveProgress progress;
    std::unique_ptr<DriveFlow> flow;
    int status = VARNOX_OK;
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
  FlowLimits limits;
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
    for (auto& drive : drives) {
      if (!drive->flow) continue;
      for (auto& agent : agents) agent->deleteDriveData(drive->flow->env());
    }
    for (auto& agent : agents) agent->deleteConfig();
    drives.clear();
    agents.clear();
  }

  int prepare(const TestPlan& plan, std::string& error);
};

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
      error = file + ": unknown configuration key \"" + key + "\"";
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
    int exitStatus = kExitDeviceFailure;
    PreconditionBytes progress;
    if (preconditionProgress)
      progress = [this, name = drive->planned.name](uint64_t done, uint64_t total) { preconditionProgress(name, done, total); };
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
    properties.driveName = drive->planned.name;
    properties.logicalBlockSize = geometry.logicalBlockSize;
    // End to end the host owns the protection bytes: the agents' blocks hold data only.
    properties.protectionInfoEnabled = geometry.protectionInfoEnabled && !endToEnd.isSet();
    properties.protectionInfoBytes = geometry.protectionInfoBytes;
    properties.log2LogicalPerPhysical = geometry.log2LogicalPerPhysical;
    properties.queueDepth = std::min(drive->planned.device.queueDepth, geometry.maxQueueDepth);
    if (properties.queueDepth == 0) properties.queueDepth = 1;
    drive->tavik = std::make_unique<Tavik>(drive->device.get(), static_cast<int>(index));
    drive->thread = std::make_unique<DriveThread>(properties, sink, drive->tavik.get());
    for (const std::string& notice : notices) drive->thread->eventLog().log(1, notice);
    DriveEnv env{drive->thread.get(), drive->seed, geometry, skipCommands ? 2u : 1u};
    drive->flow = std::make_unique<DriveFlow>(env, *drive->device, flow, drive->progress);
    drive->flow->steps().setToleratedDeviceErrors(plan.maxDeviceErrors);
    drive->flow->setTiming(plan.commandTimeoutSeconds, plan.recordLatency);
    drive->flow->steps().setEndToEnd(endToEnd);
    drives.push_back(std::move(drive));
  }

  for (auto& drive : drives) {
    std::string why;
    if (drive->flow->mapVariables(why) != VARNOX_OK) {
      error = file + ": " + why;
      return kExitRefused;
    }
    // The agents must know whether a power loss may take back completed writes.
    int err = 0;
    const bool volatileCache = drive->planned.device.kind == "sim" && drive->planned.device.writeCache == "volatile";
    if (uint32_t* variable = drive->thread->mapU32("WriteCacheVolatile", kVarWrite, &err, 0)) *variable = volatileCache;
    drive->flow->steps().setHoldBehindSyncCache(volatileCache);
    for (auto& agent : agents) {
      if (agent->registerDriveVariables(drive->flow->env(), why) != VARNOX_OK) {
        error = file + ": " + why;
        return kExitRefused;
      }
    }
  }
  for (auto& drive : drives) {
    std::string why;
    if (drive->flow->setupAgents(why) != VARNOX_OK) {
      error = file + ": " + why;
      return kExitRefused;
    }
  }
  prepared = true;
  return kExitPassed;
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
    threads.emplace_back([this, d, &mutex, &finished, &done] {
      d->status = d->flow->run(impl_->limits, impl_->stop);
      const int drained = d->flow->finish(impl_->agentsFinishing);
      if (d->status == VARNOX_OK) d->status = drained;
      std::lock_guard<std::mutex> lock(mutex);
      ++done;
      finished.notify_all();
    });
  }
  {
    std::unique_lock<std::mutex> lock(mutex);
    while (done < threads.size()) {
      finished.wait_for(lock, std::chrono::milliseconds(200));
      if (onProgress) {
        lock.unlock();
        onProgress(progress);
        lock.lock();
      }
    }
  }
  for (std::thread& thread : threads) thread.join();
  report.seconds = static_cast<double>(queryPerformanceCounter() - start) / 1e9;

  for (auto& drive : impl_->drives) {
    DriveReport r;
    const CommandCounters& c = drive->flow->counters();
    r.name = drive->planned.name;
    r.device = drive->device->describe();
    r.passes = drive->flow->passes();
    r.commandsByKind = c.commandsByKind();
    r.completionsByStatus = c.completionsByStatus();
    const KindLatencies& latency = drive->flow->latency().byKind;
    for (size_t kind = 0; kind < latency.size(); ++kind) {
      LatencySnapshot s = latency[kind].snapshot();
      if (s.count != 0) r.latency[stepKindName(static_cast<StepKind>(kind))] = std::move(s);
    }
    r.bytesWritten = c.bytesWritten;
    r.bytesVerified = c.bytesVerified;
    r.agentStatus = drive->status;
    r.failures = isIntegrityStatus(drive->status) ? 1 : 0;
    for (const EventLog::Line& line : drive->thread->eventLog().lines()) {
      if (line.level >= 2) {
        r.failureText = line.text;
        break;
      }
    }
    r.outputFiles = outputFilesFrom(drive->thread->eventLog());
    r.deviceStopped = drive->device->stopped();
    r.deviceSeed = drive->seed;
    r.deviceStats = drive->device->stats();
    r.injectedFaults = drive->device->injectedFaults();
    r.deviceErrors = drive->flow->steps().deviceErrors().count();
    r.dataChecks = c.dataChecks;
    int err = 0;
    if (const uint64_t* left = drive->thread->mapU64("PendingReadBackBlocks", kVarRead, &err, 0); left && err == 0)
      r.blocksAwaitingReadBack = *left;
    r.geometry = drive->device->geometry();
    r.queueDepth = drive->thread->properties().queueDepth;
    r.path = drive->planned.device.kind;
    r.cache = r.path == "sim"                                 ? drive->planned.device.writeCache
              : r.device.find("direct I/O") != std::string::npos ? "direct I/O"
                                                                : "page cache";
    r.faultRules = drive->planned.device.faults;
    r.faultRuleCounts = drive->device->faultRuleCounts();
    r.diagnosis = diagnosisFrom(*drive->thread);
    r.logWarnings = drive->thread->eventLog().countAtLevel(1);
    r.logErrors = drive->thread->eventLog().countAtLevel(2);
    r.faultTallies = drive->device->faultTallies();
    drive->progress.failures.store(r.failures);
    int exit = exitStatusFor(drive->status);
    // A pass proves a drive only when it compared data: a drive whose every command failed, or
    // whose flow never read back, checked nothing and must not read as passed.
    if (exit == kExitPassed && r.dataChecks == 0) {
      if (c.commands == 0) {
        r.inconclusive = "it sent no command";
      } else if (c.goodWrites == 0) {
        r.inconclusive = "no write completed with GOOD status (" + std::to_string(c.commands) + " commands sent)";
      } else {
        r.inconclusive = "no read or verify returned data to compare (" + std::to_string(c.goodWrites) +
                         " writes completed)";
      }
      r.inconclusive = "checked no data: " + r.inconclusive;
      exit = kExitInconclusive;
    }
    report.exitStatus = worseExit(report.exitStatus, exit);
    if (exit != kExitPassed && report.error.empty()) {
      report.error = "drive " + r.name + ": " +
                     (!r.inconclusive.empty() ? r.inconclusive
                      : r.failureText.empty() ? EventLog::errStr(drive->status)
                                              : r.failureText);
    }
    report.drives.push_back(std::move(r));
  }
  impl_->release();
  return report;
}

void TestRun::stop() { impl_->stop.store(true); }

std::shared_ptr<LogSink> TestRun::logSink() const { return impl_->sink; }

int TestRun::describeAgent(const std::string& agentName, std::string& usage, std::string& keysText,
                           std::string& error) {
  ConditionNames names;
  StepSpec step;
  step.name = agentName;
  std::unique_ptr<FlowAgent> agent = makeAgent(step, {}, names, error);
  if (!agent) return kExitRefused;
  if (agent->registerConfig(error) != VARNOX_OK) {
    agent->deleteConfig();
    return kExitRefused;
  }
  usage = agent->usage();
  std::string text;
  if (ConfigManager* manager = agent->config()) {
    for (const ConfigManager::Key& key : manager->keys()) {
      text += "\"" + key.name + "\"  (" + describeKeyType(key) + ")\n";
      if (!key.help.empty()) text += "    " + key.help + "\n";
      if (!key.deprecation.empty()) text += "    deprecated: " + key.deprecation + "\n";
    }
  }
  keysText = isBuiltinAgent(agentName) ? builtinAgentSettings(agentName) : text;
  agent->deleteConfig();
  return kExitPassed;
}

}  // namespace varnox

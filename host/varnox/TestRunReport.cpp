// What a finished run reports of each drive: its counters, latencies, device, faults, output
// files and diagnosis, and whether it passed, failed or proved nothing.
#include <array>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "DriveSlices.h"
#include "RunExitStatus.h"
#include "TestRunImpl.h"
#include "varnox/Errors.h"

namespace varnox {
namespace {

// Tokens of the agents' log lines that name files the run left behind.
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

std::map<std::string, LatencySnapshot> latencyByName(const KindLatencies& latency) {
  std::map<std::string, LatencySnapshot> byName;
  for (size_t kind = 0; kind < latency.size(); ++kind) {
    LatencySnapshot s = latency[kind].snapshot();
    if (s.count != 0) byName[stepKindName(static_cast<StepKind>(kind))] = std::move(s);
  }
  return byName;
}

uint64_t readU64(DriveThread& thread, const char* name) {
  int err = 0;
  const uint64_t* value = thread.mapU64(name, kVarRead, &err, 0);
  return value != nullptr && err == 0 ? *value : 0;
}

}  // namespace

void TestRun::Impl::Drive::sumProgress() {
  if (!shared) return;
  uint64_t passes = 0, commands = 0, written = 0, verified = 0, distance = 0, failures = 0, errors = 0,
           deviceErrors = 0;
  std::array<LatencySnapshot, kStepKindCount> merged;
  for (const auto& slice : slices) {
    const DriveProgress& p = slice->progress;
    passes += p.passes.load(std::memory_order_relaxed);
    commands += p.commands.load(std::memory_order_relaxed);
    written += p.bytesWritten.load(std::memory_order_relaxed);
    verified += p.bytesVerified.load(std::memory_order_relaxed);
    distance += p.readBackDistance.load(std::memory_order_relaxed);
    failures += p.failures.load(std::memory_order_relaxed);
    errors += p.errors.load(std::memory_order_relaxed);
    deviceErrors += p.deviceErrors.load(std::memory_order_relaxed);
    // Percentiles of the drive come from the slices' histograms merged, never from their percentiles.
    if (p.latency != nullptr)
      for (size_t kind = 0; kind < merged.size(); ++kind) merged[kind].add((*p.latency)[kind].snapshot());
  }
  for (size_t kind = 0; kind < merged.size(); ++kind) latency[kind].assign(merged[kind]);
  progress.passes.store(passes, std::memory_order_relaxed);
  progress.commands.store(commands, std::memory_order_relaxed);
  progress.bytesWritten.store(written, std::memory_order_relaxed);
  progress.bytesVerified.store(verified, std::memory_order_relaxed);
  progress.readBackDistance.store(distance, std::memory_order_relaxed);
  progress.failures.store(failures, std::memory_order_relaxed);
  progress.errors.store(errors, std::memory_order_relaxed);
  progress.deviceErrors.store(deviceErrors, std::memory_order_relaxed);
  progress.powerCycles.store(shared->powerCycles(), std::memory_order_relaxed);
  progress.resets.store(shared->resets(), std::memory_order_relaxed);
}

TestRun::Impl::Slice& TestRun::Impl::Drive::verdictSlice() {
  std::vector<SliceEnd> ends;
  for (auto& slice : slices) ends.push_back({slice->status, slice->endedSeconds});
  return *slices[speakingSlice(ends)];
}

void TestRun::Impl::reportDrives(RunReport& report) {
  for (auto& drive : drives) {
    DriveReport r;
    Slice& verdict = drive->verdictSlice();
    CommandCounters c;
    std::array<LatencySnapshot, kStepKindCount> latency;
    std::set<std::string> files;
    for (auto& slice : drive->slices) {
      const CommandCounters& own = slice->flow->counters();
      c.add(own);
      r.passes += slice->flow->passes();
      r.deviceErrors += slice->flow->steps().deviceErrors().count();
      r.blocksAwaitingReadBack += readU64(*slice->thread, "PendingReadBackBlocks");
      r.logWarnings += slice->thread->eventLog().countAtLevel(1);
      r.logErrors += slice->thread->eventLog().countAtLevel(2);
      for (const std::string& f : outputFilesFrom(slice->thread->eventLog()))
        if (files.insert(f).second) r.outputFiles.push_back(f);
      const KindLatencies& own_latency = slice->flow->latency().byKind;
      for (size_t kind = 0; kind < latency.size(); ++kind) latency[kind].add(own_latency[kind].snapshot());
      if (!drive->shared) continue;
      SliceReport& s = r.slices.emplace_back();
      s.name = slice->thread->driveName();
      s.firstLba = readU64(*slice->thread, "MinLBA");
      s.lastLba = readU64(*slice->thread, "MaxLBA");
      s.passes = slice->flow->passes();
      s.commands = own.commands;
      s.bytesWritten = own.bytesWritten;
      s.bytesVerified = own.bytesVerified;
      s.dataChecks = own.dataChecks;
      s.latency = latencyByName(own_latency);
      s.seconds = slice->endedSeconds;
      s.cpuSeconds = slice->cpuSeconds;
      s.agentStatus = slice->status;
      for (const EventLog::Line& line : slice->thread->eventLog().lines())
        if (line.level >= 2) {
          s.failureText = line.text;
          break;
        }
    }
    r.name = drive->planned.name;
    r.device = drive->device->describe();
    r.commandsByKind = c.commandsByKind();
    r.completionsByStatus = c.completionsByStatus();
    for (size_t kind = 0; kind < latency.size(); ++kind)
      if (latency[kind].count != 0) r.latency[stepKindName(static_cast<StepKind>(kind))] = std::move(latency[kind]);
    r.bytesWritten = c.bytesWritten;
    r.bytesVerified = c.bytesVerified;
    r.agentStatus = drive->status;
    r.failures = isIntegrityStatus(drive->status) ? 1 : 0;
    for (const EventLog::Line& line : verdict.thread->eventLog().lines()) {
      if (line.level >= 2) {
        r.failureText = line.text;
        break;
      }
    }
    // The drive's own file is named in the log too (at each power cut), but is no output.
    std::erase(r.outputFiles, drive->planned.device.kind);
    r.deviceStopped = drive->device->stopped();
    r.deviceSeed = drive->seed;
    r.deviceStats = drive->device->stats();
    r.injectedFaults = drive->device->injectedFaults();
    r.dataChecks = c.dataChecks;
    r.geometry = drive->device->geometry();
    r.queueDepth = verdict.thread->properties().queueDepth * static_cast<uint32_t>(drive->slices.size());
    r.path = drive->planned.device.kind;
    r.cache = r.path == "sim"                                 ? drive->planned.device.writeCache
              : r.device.find("direct I/O") != std::string::npos ? "direct I/O"
                                                                : "page cache";
    // A real drive whose power the test switches is judged by the cache the test says it has.
    if (r.path != "sim" && r.geometry.supportsPowerToggle)
      r.cache += ", write cache " + drive->planned.device.writeCache;
    r.faultRules = drive->planned.device.faults;
    r.faultRuleCounts = drive->device->faultRuleCounts();
    r.diagnosis = diagnosisFrom(*verdict.thread);
    r.faultTallies = drive->device->faultTallies();
    // A device event reaches every slice; the drive had it once.
    r.events = drive->shared ? drive->shared->events() : verdict.flow->events();
    drive->progress.failures.store(r.failures);
    int exit = exitStatusFor(drive->status);
    if (exit != kExitPassed) r.failureSeconds = drive->endedSeconds;
    // A pass proves a drive only when it compared data: a drive whose every command failed, or
    // whose flow never read back, checked nothing and must not read as passed.
    if (exit == kExitPassed && r.dataChecks == 0) {
      if (c.commands == 0) {
        r.inconclusive = "it sent no command";
      } else if (c.goodWrites == 0) {
        r.inconclusive = "no write completed with GOOD status (" + std::to_string(c.commands) + " commands sent)";
      } else {
        r.inconclusive =
            "no read or verify returned data to compare (" + std::to_string(c.goodWrites) +
            " writes completed); Cardamor reads its writes back only once \"Min Queue Size\" of them "
            "wait, so run more passes or a longer duration, or lower \"Min Queue Size\"";
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
}

}  // namespace varnox

// What a finished run reports of each drive: its counters, latencies, device, faults, output
// files and diagnosis, and whether it passed, failed or proved nothing.
#include <filesystem>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

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

}  // namespace

void TestRun::Impl::reportDrives(RunReport& report) {
  for (auto& drive : drives) {
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
    // The drive's own file is named in the log too (at each power cut), but is no output.
    std::erase(r.outputFiles, drive->planned.device.kind);
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
    // A real drive whose power the test switches is judged by the cache the test says it has.
    if (r.path != "sim" && r.geometry.supportsPowerToggle)
      r.cache += ", write cache " + drive->planned.device.writeCache;
    r.faultRules = drive->planned.device.faults;
    r.faultRuleCounts = drive->device->faultRuleCounts();
    r.diagnosis = diagnosisFrom(*drive->thread);
    r.logWarnings = drive->thread->eventLog().countAtLevel(1);
    r.logErrors = drive->thread->eventLog().countAtLevel(2);
    r.faultTallies = drive->device->faultTallies();
    r.events = drive->flow->events();
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

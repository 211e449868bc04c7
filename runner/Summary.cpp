#include "Summary.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "DiagnosisText.h"
#include "DriveExtrasJson.h"
#include "DriveIdentity.h"
#include "LatencyReport.h"
#include "SliceFigures.h"
#include "ResolvedConfig.h"
#include "StopOnSignal.h"
#include "Units.h"
#include "varnox/EventLog.h"

namespace varnox::cli {
namespace {

std::string joinCounts(const std::map<std::string, uint64_t>& counts) {
  if (counts.empty()) return "none";
  std::string out;
  for (const auto& [name, n] : counts) out += (out.empty() ? "" : ", ") + name + " " + std::to_string(n);
  return out;
}

std::string bytesText(uint64_t bytes) {
  if (bytes < 1024) return formatBytes(bytes);
  return formatBytes(bytes) + " (" + std::to_string(bytes) + " bytes)";
}

// ", 12.5 MiB/s" over the run's time; empty for a run that took no time.
std::string perSecond(uint64_t bytes, double seconds) {
  return seconds > 0 ? ", " + formatBytes(static_cast<uint64_t>(static_cast<double>(bytes) / seconds)) + "/s"
                     : "";
}

std::string statusText(int status) {
  const char* text = EventLog::errStr(status);
  // Words first; the number is for those who look it up.
  return text != nullptr && *text != 0 ? std::string(text) + " (" + std::to_string(status) + ")"
                                       : std::to_string(status);
}

void line(std::ostringstream& out, const char* label, const std::string& value) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "  %-14s", label);
  out << buf << value << '\n';
}

std::string seedsText(const RepeatInfo& repeat) {
  std::string text = "Random Seed " + repeat.randomSeed.value_or("0") + ", drive seed " + std::to_string(repeat.seed);
  if (repeat.randomSeed.value_or("0") == "0")
    text += " (\"Random Seed\" 0 draws new data every run; set it to repeat the data exactly)";
  return text;
}

// Seeds are numbers in JSON; a key the agent reads as hex ("0x10") is given in decimal.
std::string seedJson(const std::optional<std::string>& text) {
  if (!text) return "null";
  char* end = nullptr;
  errno = 0;
  const unsigned long long value = std::strtoull(text->c_str(), &end, 0);
  if (errno != 0 || end == text->c_str() || *end != 0 || text->front() == '-') return jsonString(*text);
  return std::to_string(value);
}

template <typename Map>
void jsonCounts(std::ostringstream& out, const Map& counts) {
  out << '{';
  bool first = true;
  for (const auto& [name, n] : counts) {
    out << (first ? "" : ", ") << jsonString(name) << ": " << n;
    first = false;
  }
  out << '}';
}

std::string plural(uint64_t n, const char* word) { return std::to_string(n) + " " + word + (n == 1 ? "" : "s"); }

std::string logLine(const SummaryInput& in) {
  const std::string counts = plural(in.logWarnings, "warning") + ", " + plural(in.logErrors, "error");
  if (in.logFile.empty())
    return "Log: none (name one with [test] log or --output): " + counts +
           (in.logWarnings + in.logErrors > 0
                ? "; they were kept nowhere: rerun with --output BASE to read them in BASE.log"
                : "");
  return "Log: " + in.logFile + " (" + counts + ")";
}

// "corrupt 3 injected, 2 exposed; abort 12 injected": exposed only for kinds that corrupt data.
std::string faultsText(const std::vector<FaultTally>& tallies) {
  std::string out;
  for (const FaultTally& t : tallies) {
    out += (out.empty() ? "" : "; ") + t.kind + " " + std::to_string(t.injected) + " injected";
    if (t.corrupting) out += ", " + std::to_string(t.exposed) + " exposed";
  }
  return out;
}

// A simulated drive has no sysfs entry: its model says what it is, its size is its geometry's,
// and its settings are in the record's configuration.
DriveIdentity identityOf(const DriveReport& d) {
  DriveIdentity id = driveIdentity(d.path);
  if (id.kind == "sim") {
    id.model = "simulated drive";
    id.sizeBytes = d.geometry.capacityBlocks * d.geometry.logicalBlockSize;
  }
  return id;
}

}  // namespace

std::string_view exitStatusName(int exitStatus) {
  switch (exitStatus) {
    case kExitPassed: return "passed";
    case kExitIntegrityFailure: return "data-integrity failure";
    case kExitRefused: return "refused";
    case kExitDeviceFailure: return "device failure";
    case kExitInconclusive: return "inconclusive";
    case kExitInterrupted: return "interrupted by SIGINT";
    case kExitTerminated: return "interrupted by SIGTERM";
    case kExitHangup: return "interrupted by SIGHUP";
    default: return "unknown";
  }
}

std::string jsonString(std::string_view s) {
  std::string out = "\"";
  for (unsigned char c : s) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04x", c);
          out += buf;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out + "\"";
}

std::string jsonDecimal(double value) {
  if (!std::isfinite(value)) return "null";
  char text[32];
  std::snprintf(text, sizeof text, "%.6g", value);
  std::string out = text;
  if (out.find_first_of(".e") == std::string::npos) out += ".0";
  return out;
}

std::string summaryText(const SummaryInput& in) {
  const RunReport& report = *in.report;
  std::ostringstream out;
  for (const DriveReport& d : report.drives) {
    out << "\nDrive " << d.name << ": " << d.device << '\n';
    line(out, "passes", std::to_string(d.passes));
    line(out, "commands", joinCounts(d.commandsByKind));
    line(out, "completions", joinCounts(d.completionsByStatus));
    const auto good = d.completionsByStatus.find("GOOD");
    if ((good == d.completionsByStatus.end() ? 0 : good->second) < d.passes)
      line(out, "", "(fewer GOOD than passes: not every pass sends a command; a pass that finds every tag "
                    "busy only waits for a completion)");
    out << latencyText(d, report.seconds);
    out << slicesText(d, report.seconds);
    line(out, "written", bytesText(d.bytesWritten) + perSecond(d.bytesWritten, report.seconds));
    line(out, "verified", bytesText(d.bytesVerified) + perSecond(d.bytesVerified, report.seconds));
    if (d.bytesVerified > d.bytesWritten)
      line(out, "", "(more than written: the reads before a write and every read of a block read more than once "
                    "count as well)");
    line(out, "failures", std::to_string(d.failures));
    if (d.agentStatus != 0) line(out, "ended by", statusText(d.agentStatus));
    if (!d.failureText.empty()) line(out, "failure", d.failureText);
    for (const auto& [label, text] : diagnosisLines(d)) line(out, label.c_str(), text);
    if (d.deviceStopped) line(out, "showstop", "the drive was stopped at the failure by a showstop and refused every later command");
    const DeviceStats& s = d.deviceStats;
    line(out, "device", std::to_string(s.commands) + " commands, " + std::to_string(s.powerCycles) +
                            " power cycles, " + std::to_string(s.resets) + " resets, " +
                            std::to_string(s.faultsInjected) + " faults injected");
    if (!d.faultTallies.empty()) line(out, "faults", faultsText(d.faultTallies));
    line(out, "drive seed", std::to_string(d.deviceSeed));
    for (size_t i = 0; i < d.outputFiles.size(); ++i) line(out, i == 0 ? "output files" : "", d.outputFiles[i]);
  }
  out << '\n';
  if (!report.error.empty()) out << "Error: " << report.error << '\n';
  if (in.stopSignal != 0) out << "Stopped by " << signalName(in.stopSignal) << " before the run's limit.\n";
  out << "Result: " << exitStatusName(report.exitStatus) << " (exit " << report.exitStatus << ") after "
      << formatDuration(report.seconds) << ", " << in.file;
  if (in.stopSignal != 0) {
    // What an interrupted run had checked, so that it is never taken for a finished one.
    uint64_t verified = 0, failures = 0;
    for (const DriveReport& d : report.drives) {
      verified += d.bytesVerified;
      failures += d.failures;
    }
    out << ": stopped before its limit, " << formatBytes(verified) << " verified on " << report.drives.size()
        << (report.drives.size() == 1 ? " drive, " : " drives, ")
        << (failures == 0   ? std::string("no failure found")
            : failures == 1 ? std::string("1 failure found")
                            : std::to_string(failures) + " failures found");
  }
  out << '\n';
  if (in.repeat != nullptr) {
    out << "Seeds: " << seedsText(*in.repeat) << '\n';
    out << "Repeat with: " << in.repeat->commandLine << '\n';
  }
  if (in.logCounted) out << logLine(in) << '\n';
  return out.str();
}

std::string summaryJson(const SummaryInput& in) {
  const RunReport& report = *in.report;
  std::ostringstream out;
  out << "{\n  \"schemaVersion\": " << kResultSchemaVersion << ",\n  \"file\": " << jsonString(in.file)
      << ",\n  \"result\": " << jsonString(exitStatusName(report.exitStatus)) << ",\n  \"exitStatus\": " << report.exitStatus
      << ",\n  \"seconds\": " << jsonDecimal(report.seconds) << ",\n  \"interrupted\": " << (in.stopSignal != 0 ? "true" : "false")
      << ",\n  \"stopSignal\": " << (in.stopSignal != 0 ? jsonString(signalName(in.stopSignal)) : "null")
      << ",\n  \"error\": " << jsonString(report.error);
  if (in.details != nullptr) out << runDetailsJson(*in.details);
  std::optional<double> firstFailure;
  for (const DriveReport& d : report.drives)
    if (d.failureSeconds && (!firstFailure || *d.failureSeconds < *firstFailure)) firstFailure = d.failureSeconds;
  out << ",\n  \"timeToFirstFailureSeconds\": " << (firstFailure ? jsonDecimal(*firstFailure) : "null");
  if (in.repeat != nullptr) {
    out << ",\n  \"seed\": " << in.repeat->seed << ",\n  \"randomSeed\": " << seedJson(in.repeat->randomSeed)
        << ",\n  \"repeat\": " << jsonString(in.repeat->commandLine);
  }
  if (in.logCounted) {
    out << ",\n  \"log\": " << (in.logFile.empty() ? std::string("null") : jsonString(in.logFile))
        << ", \"logWarnings\": " << in.logWarnings << ", \"logErrors\": " << in.logErrors;
  }
  if (in.plan != nullptr) out << ",\n  \"configuration\": " << resolvedConfigJson(*in.plan, report.agentKeys);
  out << ",\n  \"drives\": [";
  for (size_t i = 0; i < report.drives.size(); ++i) {
    const DriveReport& d = report.drives[i];
    const DeviceStats& s = d.deviceStats;
    const char* statusWord = d.agentStatus == 0 ? "" : EventLog::errStr(d.agentStatus);
    out << (i == 0 ? "\n" : ",\n") << "    {\"name\": " << jsonString(d.name) << ", \"device\": " << jsonString(d.device)
        << ", \"passes\": " << d.passes << ",\n     \"identity\": " << driveIdentityJson(identityOf(d))
        << ",\n     \"commandsByKind\": ";
    jsonCounts(out, d.commandsByKind);
    out << ",\n     \"completionsByStatus\": ";
    jsonCounts(out, d.completionsByStatus);
    out << ",\n     \"bytesWritten\": " << d.bytesWritten << ", \"bytesVerified\": " << d.bytesVerified
        << ", \"failures\": " << d.failures << ", \"agentStatus\": " << d.agentStatus
        << ", \"agentStatusText\": " << jsonString(statusWord != nullptr ? statusWord : "")
        << ",\n     \"failureSeconds\": " << (d.failureSeconds ? jsonDecimal(*d.failureSeconds) : "null")
        << ", \"failureText\": " << jsonString(d.failureText)
        << ",\n     \"deviceErrors\": " << d.deviceErrors << ", \"dataChecks\": " << d.dataChecks
        << ", \"blocksAwaitingReadBack\": " << d.blocksAwaitingReadBack
        << ", \"inconclusive\": " << (d.inconclusive.empty() ? "null" : jsonString(d.inconclusive))
        << ",\n     \"outputFiles\": [";
    for (size_t f = 0; f < d.outputFiles.size(); ++f) out << (f == 0 ? "" : ", ") << jsonString(d.outputFiles[f]);
    out << "],\n     \"deviceStopped\": " << (d.deviceStopped ? "true" : "false") << ", \"deviceSeed\": " << d.deviceSeed
        << ",\n     \"deviceStats\": {\"commands\": " << s.commands << ", \"blocksWritten\": " << s.blocksWritten
        << ", \"blocksRead\": " << s.blocksRead << ", \"powerCycles\": " << s.powerCycles << ", \"resets\": " << s.resets
        << ", \"faultsInjected\": " << s.faultsInjected << "}" << driveDetailsJson(d) << driveExtrasJson(in, i)
        << slicesJson(d, report.seconds);
    out << ",\n     \"faults\": {";
    for (size_t f = 0; f < d.faultTallies.size(); ++f) {
      const FaultTally& t = d.faultTallies[f];
      out << (f == 0 ? "" : ", ") << jsonString(t.kind) << ": {\"injected\": " << t.injected;
      if (t.corrupting) out << ", \"exposed\": " << t.exposed;
      out << '}';
    }
    out << "}";
    if (!d.diagnosis.empty()) out << ",\n     \"diagnosis\": " << diagnosisJson(d);
    out << "}";
  }
  out << (report.drives.empty() ? "]\n}\n" : "\n  ]\n}\n");
  return out.str();
}

}  // namespace varnox::cli

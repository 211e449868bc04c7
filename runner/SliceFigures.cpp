#include "SliceFigures.h"

#include <cstdio>
#include <sstream>

#include "LatencyReport.h"
#include "Summary.h"
#include "Units.h"

namespace varnox::cli {
namespace {

LatencySnapshot allKinds(const SliceReport& s) {
  LatencySnapshot all;
  for (const auto& [kind, snapshot] : s.latency) all.add(snapshot);
  return all;
}

}  // namespace

std::string slicesText(const DriveReport& drive, double seconds) {
  if (drive.slices.empty()) return {};
  std::ostringstream out;
  char row[320];
  std::snprintf(row, sizeof row, "  %-14s%-8s %-25s %10s %10s %10s %9s %9s %8s\n", "slices", "slice", "LBA range",
                "commands", "written/s", "verified/s", "p50", "p99", "CPU s");
  out << row;
  for (const SliceReport& s : drive.slices) {
    const LatencySnapshot all = allKinds(s);
    const std::string range = std::to_string(s.firstLba) + "-" + std::to_string(s.lastLba);
    auto rate = [seconds](uint64_t bytes) { return seconds > 0 ? formatBytes(static_cast<uint64_t>(bytes / seconds)) : "-"; };
    std::snprintf(row, sizeof row, "  %-14s%-8s %-25s %10llu %10s %10s %9s %9s %8.2f%s%s\n", "", s.name.c_str(),
                  range.c_str(), static_cast<unsigned long long>(s.commands), rate(s.bytesWritten).c_str(),
                  rate(s.bytesVerified).c_str(), formatLatency(all.percentileNs(0.5)).c_str(),
                  formatLatency(all.percentileNs(0.99)).c_str(), s.cpuSeconds, s.failureText.empty() ? "" : "  failed: ",
                  s.failureText.c_str());
    out << row;
  }
  return out.str();
}

std::string slicesJson(const DriveReport& drive, double seconds) {
  if (drive.slices.empty()) return {};
  std::ostringstream out;
  out << ",\n     \"slices\": [";
  for (size_t i = 0; i < drive.slices.size(); ++i) {
    const SliceReport& s = drive.slices[i];
    DriveReport latency;
    latency.latency = s.latency;
    out << (i == 0 ? "\n      " : ",\n      ") << "{\"name\": " << jsonString(s.name) << ", \"firstLba\": " << s.firstLba
        << ", \"lastLba\": " << s.lastLba << ", \"passes\": " << s.passes << ", \"commands\": " << s.commands
        << ", \"bytesWritten\": " << s.bytesWritten << ", \"bytesVerified\": " << s.bytesVerified
        << ", \"dataChecks\": " << s.dataChecks << ", \"seconds\": " << jsonDecimal(s.seconds)
        << ", \"cpuSeconds\": " << jsonDecimal(s.cpuSeconds) << ", \"agentStatus\": " << s.agentStatus
        << ", \"failureText\": " << jsonString(s.failureText) << ",\n       " << latencyJson(latency, seconds) << "}";
  }
  out << "]";
  return out.str();
}

}  // namespace varnox::cli

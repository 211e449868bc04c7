#include "LatencyReport.h"

#include <cstdio>
#include <sstream>

#include "Summary.h"

namespace varnox::cli {

std::string formatLatency(uint64_t ns) {
  char text[32];
  const double v = static_cast<double>(ns);
  if (ns < 1000) std::snprintf(text, sizeof text, "%lluns", static_cast<unsigned long long>(ns));
  else if (ns < 1000000) std::snprintf(text, sizeof text, "%.1fus", v / 1e3);
  else if (ns < 1000000000) std::snprintf(text, sizeof text, "%.2fms", v / 1e6);
  else std::snprintf(text, sizeof text, "%.2fs", v / 1e9);
  return text;
}

std::string percentileKey(size_t index) {
  std::string key = std::string(kPercentileNames[index]) + "Ns";
  for (char& c : key)
    if (c == '.') c = '_';
  return key;
}

std::string latencyText(const DriveReport& drive, double seconds) {
  if (drive.latency.empty()) return {};
  std::ostringstream out;
  char row[256];
  std::snprintf(row, sizeof row, "  %-14s%-12s %10s %9s %9s %9s %9s %9s %9s %9s\n", "latency", "kind", "IOPS", "mean",
                kPercentileNames[0], kPercentileNames[1], kPercentileNames[2], kPercentileNames[3],
                kPercentileNames[4], "max");
  out << row;
  for (const auto& [kind, s] : drive.latency) {
    const double iops = seconds > 0 ? static_cast<double>(s.count) / seconds : 0;
    std::snprintf(row, sizeof row, "  %-14s%-12s %10.0f %9s", "", kind.c_str(), iops,
                  formatLatency(static_cast<uint64_t>(s.meanNs())).c_str());
    out << row;
    for (double p : kPercentiles) {
      std::snprintf(row, sizeof row, " %9s", formatLatency(s.percentileNs(p)).c_str());
      out << row;
    }
    std::snprintf(row, sizeof row, " %9s\n", formatLatency(s.maxNs).c_str());
    out << row;
  }
  return out.str();
}

std::string latencyJson(const DriveReport& drive, double seconds) {
  std::ostringstream out;
  out << "\"latency\": {";
  bool first = true;
  for (const auto& [kind, s] : drive.latency) {
    const double iops = seconds > 0 ? static_cast<double>(s.count) / seconds : 0;
    out << (first ? "" : ",") << "\n       " << jsonString(kind) << ": {\"count\": " << s.count
        << ", \"iops\": " << jsonDecimal(iops) << ", \"meanNs\": " << static_cast<uint64_t>(s.meanNs());
    for (size_t i = 0; i < std::size(kPercentiles); ++i)
      out << ", " << jsonString(percentileKey(i)) << ": " << s.percentileNs(kPercentiles[i]);
    out << ", \"maxNs\": " << s.maxNs << ", \"buckets\": [";
    bool firstBucket = true;
    for (size_t b = 0; b < s.buckets.size(); ++b) {
      if (s.buckets[b] == 0) continue;
      out << (firstBucket ? "" : ", ") << '[' << LatencyHistogram::bucketLowNs(b) << ", "
          << LatencyHistogram::bucketHighNs(b) << ", " << s.buckets[b] << ']';
      firstBucket = false;
    }
    out << "]}";
    first = false;
  }
  out << '}';
  return out.str();
}

}  // namespace varnox::cli

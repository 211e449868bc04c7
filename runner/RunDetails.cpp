#include "RunDetails.h"

#include <unistd.h>

#include <ctime>
#include <sstream>

#include "Messages.h"
#include "Summary.h"

namespace varnox::cli {

std::string utcTimestamp(std::chrono::system_clock::time_point time) {
  const std::time_t seconds = std::chrono::system_clock::to_time_t(time);
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return text;
}

std::string hostName() {
  char name[256] = {};
  if (gethostname(name, sizeof name - 1) != 0) return "";
  return name;
}

std::string commandLineText(int argc, const char* const* argv) {
  std::string text;
  for (int i = 0; i < argc; ++i) text += (i == 0 ? "" : " ") + shellWord(argv[i]);
  return text;
}

std::string runDetailsJson(const RunDetails& d) {
  return ",\n  \"version\": " + jsonString(d.version) + ",\n  \"startTime\": " + jsonString(d.startTime) +
         ",\n  \"endTime\": " + jsonString(d.endTime) + ",\n  \"hostName\": " + jsonString(d.hostName) +
         ",\n  \"commandLine\": " + jsonString(d.commandLine);
}

std::string driveDetailsJson(const DriveReport& d) {
  std::ostringstream out;
  const DeviceGeometry& g = d.geometry;
  out << ",\n     \"geometry\": {\"path\": " << jsonString(d.path) << ", \"blocks\": " << g.capacityBlocks
      << ", \"blockSize\": " << g.logicalBlockSize
      << ", \"protectionInfo\": " << (g.protectionInfoEnabled ? "true" : "false")
      << ", \"physicalExponent\": " << g.log2LogicalPerPhysical << ", \"queueDepth\": " << d.queueDepth
      << ", \"cache\": " << jsonString(d.cache) << ", \"atomicUnit\": " << g.atomicUnitBlocks << "}";
  out << ",\n     \"faultRules\": [";
  for (size_t i = 0; i < d.faultRules.size(); ++i) {
    const FaultRule& r = d.faultRules[i];
    auto number = [](const auto& value) {
      std::ostringstream text;
      if (value) text << *value;
      else text << "null";
      return text.str();
    };
    out << (i == 0 ? "" : ", ") << "{\"kind\": " << jsonString(r.kind) << ", \"lba\": " << number(r.lba)
        << ", \"after\": " << number(r.after) << ", \"rate\": " << number(r.rate) << ", \"count\": " << r.count
        << ", \"injected\": " << (i < d.faultRuleCounts.size() ? d.faultRuleCounts[i] : 0) << "}";
  }
  out << "]";
  return out.str();
}

}  // namespace varnox::cli

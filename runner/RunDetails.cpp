#include "RunDetails.h"

#include <unistd.h>

#include <ctime>
#include <filesystem>
#include <sstream>

#include "HelpText.h"
#include "HostFacts.h"
#include "Messages.h"
#include "Summary.h"

namespace varnox::cli {

RunDetails collectRunDetails(const std::string& testFile, const std::string& commandLine) {
  RunDetails d;
  d.version = versionNumber();
  d.revision = sourceRevision();
  d.startTime = utcTimestamp(std::chrono::system_clock::now());
  d.hostName = hostName();
  d.commandLine = commandLine;
  d.kernel = kernelText();
  d.cpuModel = cpuModel();
  d.cpuCores = cpuCores();
  std::error_code ec;
  d.workingDirectory = std::filesystem::current_path(ec).string();
  if (!testFile.empty()) {
    d.testFilePath = std::filesystem::absolute(testFile, ec).lexically_normal().string();
    d.testFileSha256 = fileSha256(testFile);
  }
  return d;
}

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
  auto orNull = [](const std::string& text) { return text.empty() ? std::string("null") : jsonString(text); };
  return ",\n  \"version\": " + jsonString(d.version) + ", \"revision\": " + jsonString(d.revision) +
         ",\n  \"startTime\": " + jsonString(d.startTime) + ", \"endTime\": " + orNull(d.endTime) +
         ",\n  \"commandLine\": " + jsonString(d.commandLine) + ",\n  \"host\": {\"name\": " + jsonString(d.hostName) +
         ", \"kernel\": " + jsonString(d.kernel) + ", \"cpuModel\": " + jsonString(d.cpuModel) +
         ", \"cpuCores\": " + std::to_string(d.cpuCores) + "},\n  \"workingDirectory\": " + jsonString(d.workingDirectory) +
         ",\n  \"testFile\": {\"path\": " + jsonString(d.testFilePath) + ", \"sha256\": " + orNull(d.testFileSha256) + "}";
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
    auto number = [](const std::optional<uint64_t>& value) { return value ? std::to_string(*value) : "null"; };
    out << (i == 0 ? "" : ", ") << "{\"kind\": " << jsonString(r.kind) << ", \"lba\": " << number(r.lba)
        << ", \"after\": " << number(r.after) << ", \"rate\": " << (r.rate ? jsonDecimal(*r.rate) : "null")
        << ", \"count\": " << r.count
        << ", \"injected\": " << (i < d.faultRuleCounts.size() ? d.faultRuleCounts[i] : 0) << "}";
  }
  out << "]";
  return out.str();
}

}  // namespace varnox::cli

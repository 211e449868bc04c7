#include "DiagnosisText.h"

#include <cinttypes>
#include <cstdio>
#include <tuple>

#include "Summary.h"

namespace varnox::cli {
namespace {

using Keys = std::map<std::string, std::string>;

std::string value(const Keys& keys, const char* key) {
  auto it = keys.find(key);
  return it == keys.end() ? std::string() : it->second;
}

// A number the agent gave, or JSON null; a value that is not a plain decimal number is null too.
std::string number(const Keys& keys, const char* key) {
  const std::string v = value(keys, key);
  return !v.empty() && v.find_first_not_of("0123456789") == std::string::npos ? v : "null";
}

std::string stringOrNull(const Keys& keys, const char* key) {
  const std::string v = value(keys, key);
  return v.empty() ? "null" : jsonString(v);
}

std::string lbaText(const std::string& decimal) {
  if (decimal.empty() || decimal.find_first_not_of("0123456789") != std::string::npos) return decimal;
  char text[32];
  std::snprintf(text, sizeof text, "0x%016" PRIX64, static_cast<uint64_t>(std::stoull(decimal)));
  return text;
}

}  // namespace

std::vector<std::pair<std::string, std::string>> diagnosisLines(const DriveReport& drive) {
  const Keys& keys = drive.diagnosis;
  std::vector<std::pair<std::string, std::string>> lines;
  const std::string kind = value(keys, "class");
  if (!kind.empty()) {
    std::string line = kind + " at LBA " + lbaText(value(keys, "lba")) + " (" + value(keys, "failure") + " failure";
    if (!value(keys, "checkCmdId").empty()) line += ", command " + value(keys, "checkCmdId");
    line += ")";
    if (!value(keys, "text").empty()) line += ": " + value(keys, "text");
    lines.emplace_back("diagnosis", line);
    std::string files;
    for (auto [file, why, name] : {std::tuple{"driveFile", "noDriveFile", "drive"},
                                   std::tuple{"referenceFile", "noReferenceFile", "reference"}}) {
      if (!value(keys, file).empty() || value(keys, why).empty()) continue;
      files += std::string(files.empty() ? "" : "; ") + "no " + name + " file: " + value(keys, why);
    }
    if (!files.empty()) lines.emplace_back("data files", files);
  }
  if (!value(keys, "dumpReason").empty()) lines.emplace_back("dump kept", value(keys, "dumpReason"));
  return lines;
}

std::string diagnosisJson(const DriveReport& drive) {
  const Keys& keys = drive.diagnosis;
  if (keys.empty()) return "null";
  return "{\"failure\": " + stringOrNull(keys, "failure") + ", \"class\": " + stringOrNull(keys, "class") +
         ", \"lba\": " + number(keys, "lba") + ", \"offset\": " + number(keys, "offset") +
         ", \"bytes\": " + number(keys, "bytes") + ",\n       \"commandIds\": {\"check\": " + number(keys, "checkCmdId") +
         ", \"expected\": " + number(keys, "expectedCmdId") + ", \"found\": " + number(keys, "foundCmdId") +
         "}, \"foundLba\": " + number(keys, "foundLba") + ",\n       \"text\": " + stringOrNull(keys, "text") +
         ",\n       \"dataFiles\": {\"drive\": " + stringOrNull(keys, "driveFile") +
         ", \"reference\": " + stringOrNull(keys, "referenceFile") + "}, \"noDataFile\": {\"drive\": " +
         stringOrNull(keys, "noDriveFile") + ", \"reference\": " + stringOrNull(keys, "noReferenceFile") +
         "},\n       \"dumpReason\": " + stringOrNull(keys, "dumpReason") + "}";
}

}  // namespace varnox::cli

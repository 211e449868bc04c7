#pragma once
// What the JSON summary records besides the results: which program ran, when, where and how, and
// what each drive was (geometry, cache, fault rules with how often each fired).
#include <chrono>
#include <string>

#include "varnox/TestRun.h"

namespace varnox::cli {

struct RunDetails {
  std::string version;      // versionText()
  std::string startTime;    // UTC, ISO 8601: "2025-01-31T12:00:00Z"
  std::string endTime;
  std::string hostName;
  std::string commandLine;  // as typed, each argument quoted for a POSIX shell when it needs it
};

std::string utcTimestamp(std::chrono::system_clock::time_point time);
std::string hostName();
std::string commandLineText(int argc, const char* const* argv);

// The run's members of the JSON summary, each line led by ",\n  ".
std::string runDetailsJson(const RunDetails& details);
// A drive's members: ",\n     \"geometry\": {...},\n     \"faultRules\": [...]".
std::string driveDetailsJson(const DriveReport& drive);

}  // namespace varnox::cli

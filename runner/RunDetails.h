#pragma once
// What the run's record holds besides the results: which program ran, when, where and how (the
// machine, the working directory, the test file and its hash), and what each drive was
// (geometry, cache, fault rules with how often each fired).
#include <chrono>
#include <string>

#include "varnox/TestRun.h"

namespace varnox::cli {

struct RunDetails {
  std::string version;      // "0.1.0"
  std::string revision;     // the source revision the program was built from
  std::string startTime;    // UTC, ISO 8601: "2025-01-31T12:00:00Z"
  std::string endTime;      // empty until the run is over
  std::string hostName;
  std::string commandLine;  // as typed, each argument quoted for a POSIX shell when it needs it
  std::string kernel;       // "Linux 6.1.0-18-amd64 #1 SMP ... x86_64"
  std::string cpuModel;
  unsigned cpuCores = 0;
  std::string workingDirectory;
  std::string testFilePath;    // absolute
  std::string testFileSha256;  // empty when the file could not be read
};

// The details of a run of `testFile` starting now.
RunDetails collectRunDetails(const std::string& testFile, const std::string& commandLine);

std::string utcTimestamp(std::chrono::system_clock::time_point time);
std::string hostName();
std::string commandLineText(int argc, const char* const* argv);

// The run's members of the JSON record, each line led by ",\n  ".
std::string runDetailsJson(const RunDetails& details);
// A drive's members: ",\n     \"geometry\": {...},\n     \"faultRules\": [...]".
std::string driveDetailsJson(const DriveReport& drive);

}  // namespace varnox::cli

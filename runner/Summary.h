#pragma once
// The end-of-run summary: per drive what was sent and what came back, the failure if any, the
// files written, and the command line that repeats the run. Text for people, JSON for machines;
// both carry the same facts.
#include <string>
#include <string_view>

#include "RunDetails.h"
#include "RunOptions.h"
#include "TimeSeries.h"
#include "varnox/TestRun.h"

namespace varnox::cli {

struct SummaryInput {
  std::string file;          // the test file
  const RunReport* report = nullptr;
  const RepeatInfo* repeat = nullptr;
  int stopSignal = 0;        // the signal (SIGINT, SIGTERM, SIGHUP) that stopped the run before its limit; 0 none
  const TimeSeries* series = nullptr;   // JSON only: the run over time
  const RunDetails* details = nullptr;  // JSON only: version, times, host, command line
  // The run's log and its warning and error lines (the drives' and the agents' printed ones);
  // `logCounted` false leaves the log line out (a run that never started).
  bool logCounted = false;
  std::string logFile{};     // empty: the run kept no log file
  uint64_t logWarnings = 0;
  uint64_t logErrors = 0;
};

std::string summaryText(const SummaryInput& in);
std::string summaryJson(const SummaryInput& in);

// "passed", "data-integrity failure", "refused", "device failure", "interrupted by SIGINT", ...
std::string_view exitStatusName(int exitStatus);
// A JSON string literal, quotes included.
std::string jsonString(std::string_view s);

}  // namespace varnox::cli

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
  const RunDetails* details = nullptr;  // JSON only: version, times, host, command line, test file
  const TestPlan* plan = nullptr;       // JSON only: the resolved configuration (with report->agentKeys)
  // The run's log and its warning and error lines (the drives' and the agents' printed ones);
  // `logCounted` false leaves the log line out (a run that never started).
  bool logCounted = false;
  std::string logFile{};     // empty: the run kept no log file
  uint64_t logWarnings = 0;
  uint64_t logErrors = 0;
};

// The version of the JSON record's layout (schemas/result.schema.json): raised whenever a member
// is removed, renamed or changes its type, so that a reader of old records can tell them apart.
inline constexpr int kResultSchemaVersion = 1;

std::string summaryText(const SummaryInput& in);
// The run's record: one JSON document of the layout schemas/result.schema.json describes.
std::string summaryJson(const SummaryInput& in);

// "passed", "data-integrity failure", "refused", "device failure", "interrupted by SIGINT", ...
std::string_view exitStatusName(int exitStatus);
// A JSON string literal, quotes included.
std::string jsonString(std::string_view s);
// A JSON number that always reads as a decimal ("12.0", "16.2075", "1e-05"), so that a field
// never changes type from one run to the next; null when not finite.
std::string jsonDecimal(double value);

}  // namespace varnox::cli

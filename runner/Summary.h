#pragma once
// The end-of-run summary: per drive what was sent and what came back, the failure if any, the
// files written, and the command line that repeats the run. Text for people, JSON for machines;
// both carry the same facts.
#include <string>
#include <string_view>

#include "RunOptions.h"
#include "varnox/TestRun.h"

namespace varnox::cli {

struct SummaryInput {
  std::string file;          // the test file
  const RunReport* report = nullptr;
  const RepeatInfo* repeat = nullptr;
  bool interrupted = false;  // stopped with Ctrl-C
  // The run's log and its warning and error lines (the drives' and the agents' printed ones);
  // `logCounted` false leaves the log line out (a run that never started).
  bool logCounted = false;
  std::string logFile{};     // empty: the run kept no log file
  uint64_t logWarnings = 0;
  uint64_t logErrors = 0;
};

std::string summaryText(const SummaryInput& in);
std::string summaryJson(const SummaryInput& in);

// "passed", "data-integrity failure", "refused", "device failure".
std::string_view exitStatusName(int exitStatus);
// A JSON string literal, quotes included.
std::string jsonString(std::string_view s);

}  // namespace varnox::cli

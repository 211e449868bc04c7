#pragma once
// The files a finished run leaves: the end of --series, the --report page and the --json summary.
// One that cannot be written changes the run's result, so that what is printed is what the
// program returns.
#include <ostream>
#include <string>

#include "Summary.h"

namespace varnox::cli {

struct FinalOutputPaths {
  std::string json, report, series;  // empty: not asked for
};

// Flushes `csv` (may be null; the --series stream), writes the report and then the JSON file
// (last, so that it holds a failure of the others), from `summary`. A write that fails is said on
// `err` and recorded in `report`: its error gains the reason, and a run that had passed becomes
// refused (exit 2).
void writeFinalOutputs(const FinalOutputPaths& paths, std::ostream* csv, const SummaryInput& summary,
                       RunReport& report, std::ostream& err);

}  // namespace varnox::cli

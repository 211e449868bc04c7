#pragma once
// What the JSON summary holds of a drive beyond its counters: latency by command kind with the
// histogram, the faults the drive injected, the run over time and the failing block. Each is a
// member of the drive's object; the HTML report is drawn from them.
#include <cstddef>
#include <string>

#include "Summary.h"

namespace varnox::cli {

// `, "latency": {...}, "injectedFaults": [...], "events": [...], "series": {...}, "failure": {...}`
// for drive `index` of the report; members without content but "events" are left out.
std::string driveExtrasJson(const SummaryInput& in, size_t index);

}  // namespace varnox::cli

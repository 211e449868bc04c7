#pragma once
// Latency figures of a drive's commands for the summary: per command kind the rate (IOPS over
// the whole run), mean, p50, p90, p99, p99.9, p99.99 and max; the JSON also holds the non-empty
// histogram buckets as [lowest ns, highest ns, count].
#include <cstddef>
#include <string>

#include "varnox/TestRun.h"

namespace varnox::cli {

// The percentiles the summary shows, as fractions, and their names ("p99.9").
inline constexpr double kPercentiles[] = {0.5, 0.9, 0.99, 0.999, 0.9999};
inline constexpr const char* kPercentileNames[] = {"p50", "p90", "p99", "p99.9", "p99.99"};

// The JSON member of percentile `index` of kPercentiles: "p50Ns", "p99_9Ns" (no dots in keys).
std::string percentileKey(size_t index);

// "850ns", "12.3us", "4.56ms", "1.20s".
std::string formatLatency(uint64_t ns);

// The summary's lines: a heading and one row per kind, or nothing when no command completed.
std::string latencyText(const DriveReport& drive, double seconds);

// `"latency": {"Read": {...}, ...}`, no leading comma.
std::string latencyJson(const DriveReport& drive, double seconds);

}  // namespace varnox::cli

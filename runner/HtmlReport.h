#pragma once
// The HTML report of a run: one self-contained page (inline CSS and SVG, no script, nothing
// fetched) drawn from the run's JSON record, so that `run --report` and `varnox report RUN.json`
// give the same page. It starts with the verdict (and on a failure its line and time), then per
// drive what the drive is and the charts over time: throughput, IOPS and the p50, p99 and p99.9
// latency of each command kind, with power cycles, resets and the first failure marked on the
// time axis; then the failure (diagnosis, the failing block as hex with the drive's and the
// reference bytes side by side, differing bytes marked class="diff", their embedded headers
// decoded, the block's history), the latency table and histograms, counters, geometry and
// faults as labelled tables. The run (program, machine, test file) and the resolved settings
// follow, and the command sequence comes last, folded. Rows without a value are left out, and
// so is a table without rows.
#include <string>

namespace varnox::cli {

// False with `error` when `json` is not a run summary.
bool renderHtmlReport(const std::string& json, std::string& html, std::string& error);

// Renders and writes `path`; false with `error` naming the file.
bool writeHtmlReport(const std::string& json, const std::string& path, std::string& error);

}  // namespace varnox::cli

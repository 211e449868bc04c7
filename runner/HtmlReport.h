#pragma once
// The HTML report of a run: one self-contained page (inline CSS and SVG, no script, nothing
// fetched) drawn from the run's JSON summary, so that `run --report` and `varnox report RUN.json`
// give the same page. It shows the verdict and the command line that repeats the run; per drive
// the counters, throughput and p99 latency over time, the latency percentiles and histograms,
// the faults injected, and on a failure the diagnosis (when the JSON has one), the failing block
// as hex with the drive's and the reference bytes side by side (differing bytes marked
// class="diff"), their embedded headers decoded, the block's history and the commands that
// touched it. Members of a drive it does not know are listed as they are.
#include <string>

namespace varnox::cli {

// False with `error` when `json` is not a run summary.
bool renderHtmlReport(const std::string& json, std::string& html, std::string& error);

// Renders and writes `path`; false with `error` naming the file.
bool writeHtmlReport(const std::string& json, const std::string& path, std::string& error);

}  // namespace varnox::cli

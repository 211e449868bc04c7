#pragma once
// Inline SVG charts for the HTML report: no script, no external file.
#include <cstdint>
#include <string>
#include <vector>

namespace varnox::cli {

struct ChartLine {
  std::string name;
  std::string color;  // CSS color
  bool dashed = false;  // so that a line lying on another still shows
  std::vector<std::pair<double, double>> points;  // x ascending
};

// Lines over a shared x axis from 0 and y axis from 0, with ticks, axis labels and a legend.
std::string svgLineChart(const std::string& title, const std::string& xLabel, const std::string& yLabel,
                         const std::vector<ChartLine>& lines);

struct HistogramBar {
  uint64_t lowNs = 0;
  uint64_t highNs = 0;
  uint64_t count = 0;
};

// Counts over a logarithmic latency axis, one bar per bucket.
std::string svgLatencyHistogram(const std::string& title, const std::vector<HistogramBar>& bars);

// Text with &, <, >, " and ' escaped.
std::string htmlEscape(const std::string& text);

}  // namespace varnox::cli

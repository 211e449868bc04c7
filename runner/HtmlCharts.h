#pragma once
// Inline SVG charts for the HTML report: no script, no external file.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace varnox::cli {

struct ChartLine {
  std::string name;
  std::string color;  // CSS color
  bool dashed = false;  // so that a line lying on another still shows
  std::vector<std::pair<double, double>> points;  // x ascending
};

// A moment marked across the plot: a power cycle, a reset, the first failure.
struct ChartMark {
  double x = 0;
  std::string label;  // in the legend (once per label) and as the mark's tooltip
  std::string color;
  bool dashed = true;
};

struct ChartOptions {
  bool logY = false;    // decades on the y axis (latencies spanning microseconds to seconds)
  double xMax = 0;      // the x axis reaches at least this far (the run's length), so charts align
  std::function<std::string(double)> yText;  // tick labels; numbers when empty
  std::vector<ChartMark> marks;
};

// Lines over a shared x axis from 0 and y axis from 0 (or, on a log scale, the decades the values
// span), with ticks, axis labels, a legend and the marks.
std::string svgLineChart(const std::string& title, const std::string& xLabel, const std::string& yLabel,
                         const std::vector<ChartLine>& lines, const ChartOptions& options = {});

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

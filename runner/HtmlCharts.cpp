#include "HtmlCharts.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <sstream>

#include "LatencyReport.h"

namespace varnox::cli {
namespace {

constexpr double kWidth = 660, kHeight = 250;
constexpr double kLeft = 64, kRight = 34, kTop = 28, kBottom = 42;
constexpr double kPlotWidth = kWidth - kLeft - kRight, kPlotHeight = kHeight - kTop - kBottom;

// 1, 2 or 5 times a power of ten, so that about `ticks` steps cover `span`.
double niceStep(double span, int ticks) {
  if (!(span > 0)) return 1;
  const double raw = span / ticks;
  const double power = std::pow(10.0, std::floor(std::log10(raw)));
  for (double m : {1.0, 2.0, 5.0})
    if (raw <= m * power) return m * power;
  return 10 * power;
}

std::string number(double v) {
  char text[32];
  if (v != 0 && (std::fabs(v) >= 1e6 || std::fabs(v) < 0.01)) std::snprintf(text, sizeof text, "%.3g", v);
  else std::snprintf(text, sizeof text, "%.*f", std::fabs(v - std::round(v)) < 1e-9 ? 0 : 2, v);
  return text;
}

void frame(std::ostringstream& out, const std::string& title) {
  out << "<svg xmlns=\"http://www.w3.org/2000/svg\" class=\"chart\" width=\"" << kWidth << "\" height=\"" << kHeight
      << "\" viewBox=\"0 0 " << kWidth << ' ' << kHeight << "\" role=\"img\" aria-label=\"" << htmlEscape(title)
      << "\">\n<text x=\"" << kLeft << "\" y=\"18\" class=\"title\">" << htmlEscape(title) << "</text>\n"
      << "<rect x=\"" << kLeft << "\" y=\"" << kTop << "\" width=\"" << kPlotWidth << "\" height=\"" << kPlotHeight
      << "\" class=\"plot\"/>\n";
}

void yTicks(std::ostringstream& out, double top, double step, const std::string& label) {
  for (double v = 0; v <= top + step / 2; v += step) {
    const double y = kTop + kPlotHeight - v / top * kPlotHeight;
    out << "<line x1=\"" << kLeft << "\" x2=\"" << kLeft + kPlotWidth << "\" y1=\"" << y << "\" y2=\"" << y
        << "\" class=\"grid\"/><text x=\"" << kLeft - 6 << "\" y=\"" << y + 4 << "\" class=\"tick\" text-anchor=\"end\">"
        << number(v) << "</text>\n";
  }
  out << "<text x=\"14\" y=\"" << kTop + kPlotHeight / 2 << "\" class=\"axis\" transform=\"rotate(-90 14 "
      << kTop + kPlotHeight / 2 << ")\" text-anchor=\"middle\">" << htmlEscape(label) << "</text>\n";
}

}  // namespace

std::string htmlEscape(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#39;"; break;
      default: out += c;
    }
  }
  return out;
}

std::string svgLineChart(const std::string& title, const std::string& xLabel, const std::string& yLabel,
                         const std::vector<ChartLine>& lines) {
  double maxX = 0, maxY = 0;
  for (const ChartLine& line : lines)
    for (const auto& [x, y] : line.points) {
      maxX = std::max(maxX, x);
      maxY = std::max(maxY, y);
    }
  const double xStep = niceStep(maxX, 8), yStep = niceStep(maxY, 4);
  const double right = std::max(xStep, std::ceil(maxX / xStep) * xStep);
  const double top = std::max(yStep, std::ceil(maxY / yStep) * yStep);
  std::ostringstream out;
  frame(out, title);
  yTicks(out, top, yStep, yLabel);
  for (double v = 0; v <= right + xStep / 2; v += xStep) {
    const double x = kLeft + v / right * kPlotWidth;
    out << "<text x=\"" << x << "\" y=\"" << kTop + kPlotHeight + 16 << "\" class=\"tick\" text-anchor=\"middle\">"
        << number(v) << "</text>\n";
  }
  out << "<text x=\"" << kLeft + kPlotWidth / 2 << "\" y=\"" << kHeight - 6 << "\" class=\"axis\" text-anchor=\"middle\">"
      << htmlEscape(xLabel) << "</text>\n";
  double legendX = kLeft + kPlotWidth;
  for (size_t i = lines.size(); i-- > 0;) {
    const ChartLine& line = lines[i];
    legendX -= 14 + 7.0 * static_cast<double>(line.name.size()) + 18;
    out << "<rect x=\"" << legendX << "\" y=\"9\" width=\"12\" height=\"12\" fill=\"" << line.color
        << "\"/><text x=\"" << legendX + 16 << "\" y=\"19\" class=\"tick\">" << htmlEscape(line.name) << "</text>\n";
  }
  // In order, so that a later (dashed) line shows on an earlier one it lies on.
  for (const ChartLine& line : lines) {
    if (line.points.empty()) continue;
    out << "<polyline fill=\"none\" stroke-width=\"2\" stroke=\"" << line.color << "\""
        << (line.dashed ? " stroke-dasharray=\"7 5\"" : "") << " points=\"";
    for (const auto& [x, y] : line.points)
      out << kLeft + x / right * kPlotWidth << ',' << kTop + kPlotHeight - y / top * kPlotHeight << ' ';
    out << "\"/>\n";
    if (line.points.size() == 1) {
      const auto& [x, y] = line.points.front();
      out << "<circle r=\"3\" fill=\"" << line.color << "\" cx=\"" << kLeft + x / right * kPlotWidth << "\" cy=\""
          << kTop + kPlotHeight - y / top * kPlotHeight << "\"/>\n";
    }
  }
  out << "</svg>\n";
  return out.str();
}

std::string svgLatencyHistogram(const std::string& title, const std::vector<HistogramBar>& bars) {
  uint64_t lowest = UINT64_MAX, highest = 1, most = 1;
  for (const HistogramBar& b : bars) {
    lowest = std::min(lowest, std::max<uint64_t>(b.lowNs, 1));
    highest = std::max(highest, b.highNs + 1);
    most = std::max(most, b.count);
  }
  if (lowest == UINT64_MAX) lowest = 1;
  const double from = std::floor(std::log10(static_cast<double>(lowest)));
  const double to = std::max(from + 1, std::ceil(std::log10(static_cast<double>(highest))));
  auto xOf = [&](double ns) { return kLeft + (std::log10(std::max(ns, 1.0)) - from) / (to - from) * kPlotWidth; };
  // Counts on a log scale: a tail of a few slow commands must show next to millions of fast ones.
  const double top = std::log10(static_cast<double>(most) + 1);
  std::ostringstream out;
  frame(out, title);
  for (double decade = from; decade <= to; ++decade) {
    const double x = kLeft + (decade - from) / (to - from) * kPlotWidth;
    out << "<line x1=\"" << x << "\" x2=\"" << x << "\" y1=\"" << kTop << "\" y2=\"" << kTop + kPlotHeight
        << "\" class=\"grid\"/><text x=\"" << x << "\" y=\"" << kTop + kPlotHeight + 16
        << "\" class=\"tick\" text-anchor=\"middle\">" << formatLatency(static_cast<uint64_t>(std::pow(10.0, decade)))
        << "</text>\n";
  }
  for (double power = 0; power <= std::ceil(top); ++power) {
    const double y = kTop + kPlotHeight - power / std::max(1.0, std::ceil(top)) * kPlotHeight;
    out << "<text x=\"" << kLeft - 6 << "\" y=\"" << y + 4 << "\" class=\"tick\" text-anchor=\"end\">"
        << number(std::pow(10.0, power)) << "</text>\n";
  }
  out << "<text x=\"14\" y=\"" << kTop + kPlotHeight / 2 << "\" class=\"axis\" transform=\"rotate(-90 14 "
      << kTop + kPlotHeight / 2 << ")\" text-anchor=\"middle\">commands</text>\n";
  out << "<text x=\"" << kLeft + kPlotWidth / 2 << "\" y=\"" << kHeight - 6
      << "\" class=\"axis\" text-anchor=\"middle\">latency (log scale)</text>\n";
  for (const HistogramBar& b : bars) {
    const double x0 = xOf(static_cast<double>(b.lowNs)), x1 = xOf(static_cast<double>(b.highNs + 1));
    const double h = std::log10(static_cast<double>(b.count) + 1) / std::max(1.0, std::ceil(top)) * kPlotHeight;
    out << "<rect class=\"bar\" x=\"" << x0 << "\" y=\"" << kTop + kPlotHeight - h << "\" width=\""
        << std::max(1.5, x1 - x0) << "\" height=\"" << h << "\"><title>" << formatLatency(b.lowNs) << " - "
        << formatLatency(b.highNs) << ": " << b.count << "</title></rect>\n";
  }
  out << "</svg>\n";
  return out.str();
}

}  // namespace varnox::cli

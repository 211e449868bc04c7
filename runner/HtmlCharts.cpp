#include "HtmlCharts.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <sstream>

#include "LatencyReport.h"

namespace varnox::cli {
namespace {

// Two charts side by side on a page 1280 pixels wide; the legend has a row of its own under the title.
constexpr double kWidth = 600, kHeight = 262;
constexpr double kLeft = 64, kRight = 28, kTop = 44, kBottom = 42;
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
                         const std::vector<ChartLine>& lines, const ChartOptions& options) {
  double maxX = options.xMax, maxY = 0, minPositiveY = 0;
  for (const ChartLine& line : lines)
    for (const auto& [x, y] : line.points) {
      maxX = std::max(maxX, x);
      maxY = std::max(maxY, y);
      if (y > 0 && (minPositiveY == 0 || y < minPositiveY)) minPositiveY = y;
    }
  for (const ChartMark& mark : options.marks) maxX = std::max(maxX, mark.x);
  const double xStep = niceStep(maxX, 8);
  const double right = std::max(xStep, std::ceil(maxX / xStep) * xStep);
  // Linear: 0 to a round top. Log: the decades from the smallest positive value to the largest.
  const double yStep = niceStep(maxY, 4);
  const double top = std::max(yStep, std::ceil(maxY / yStep) * yStep);
  const double lowDecade = std::floor(std::log10(minPositiveY > 0 ? minPositiveY : 1));
  const double highDecade = std::max(lowDecade + 1, std::ceil(std::log10(maxY > 0 ? maxY : 10)));
  auto yOf = [&](double y) {
    if (!options.logY) return kTop + kPlotHeight - y / top * kPlotHeight;
    const double position = (std::log10(std::max(y, std::pow(10.0, lowDecade))) - lowDecade) / (highDecade - lowDecade);
    return kTop + kPlotHeight - position * kPlotHeight;
  };
  auto xOf = [&](double x) { return kLeft + x / right * kPlotWidth; };
  auto yText = [&](double v) { return options.yText ? options.yText(v) : number(v); };
  std::ostringstream out;
  frame(out, title);
  if (options.logY) {
    for (double decade = lowDecade; decade <= highDecade; ++decade) {
      const double v = std::pow(10.0, decade), y = yOf(v);
      out << "<line x1=\"" << kLeft << "\" x2=\"" << kLeft + kPlotWidth << "\" y1=\"" << y << "\" y2=\"" << y
          << "\" class=\"grid\"/><text x=\"" << kLeft - 6 << "\" y=\"" << y + 4 << "\" class=\"tick\" text-anchor=\"end\">"
          << htmlEscape(yText(v)) << "</text>\n";
    }
  } else {
    for (double v = 0; v <= top + yStep / 2; v += yStep) {
      const double y = yOf(v);
      out << "<line x1=\"" << kLeft << "\" x2=\"" << kLeft + kPlotWidth << "\" y1=\"" << y << "\" y2=\"" << y
          << "\" class=\"grid\"/><text x=\"" << kLeft - 6 << "\" y=\"" << y + 4 << "\" class=\"tick\" text-anchor=\"end\">"
          << htmlEscape(yText(v)) << "</text>\n";
    }
  }
  out << "<text x=\"14\" y=\"" << kTop + kPlotHeight / 2 << "\" class=\"axis\" transform=\"rotate(-90 14 "
      << kTop + kPlotHeight / 2 << ")\" text-anchor=\"middle\">" << htmlEscape(yLabel) << "</text>\n";
  for (double v = 0; v <= right + xStep / 2; v += xStep) {
    out << "<text x=\"" << xOf(v) << "\" y=\"" << kTop + kPlotHeight + 16 << "\" class=\"tick\" text-anchor=\"middle\">"
        << number(v) << "</text>\n";
  }
  out << "<text x=\"" << kLeft + kPlotWidth / 2 << "\" y=\"" << kHeight - 6 << "\" class=\"axis\" text-anchor=\"middle\">"
      << htmlEscape(xLabel) << "</text>\n";
  // The legend, right-aligned: the lines, then each kind of mark once.
  std::vector<std::pair<std::string, std::string>> legend;
  for (const ChartLine& line : lines) legend.emplace_back(line.name, line.color);
  for (const ChartMark& mark : options.marks) {
    bool known = false;
    for (const auto& entry : legend) known = known || entry.first == mark.label;
    if (!known) legend.emplace_back(mark.label, mark.color);
  }
  double legendX = kLeft;
  for (const auto& [name, color] : legend) {
    out << "<rect x=\"" << legendX << "\" y=\"25\" width=\"12\" height=\"12\" fill=\"" << color << "\"/><text x=\""
        << legendX + 16 << "\" y=\"35\" class=\"tick\">" << htmlEscape(name) << "</text>\n";
    legendX += 16 + 6.5 * static_cast<double>(name.size()) + 16;
  }
  for (const ChartMark& mark : options.marks) {
    const double x = xOf(mark.x);
    out << "<line class=\"mark\" x1=\"" << x << "\" x2=\"" << x << "\" y1=\"" << kTop << "\" y2=\"" << kTop + kPlotHeight
        << "\" stroke=\"" << mark.color << "\" stroke-width=\"2\"" << (mark.dashed ? " stroke-dasharray=\"4 3\"" : "")
        << "><title>" << htmlEscape(mark.label) << " at " << number(mark.x) << " s</title></line>\n";
  }
  // In order, so that a later (dashed) line shows on an earlier one it lies on. On a log scale a
  // point without a value (nothing completed) breaks the line.
  for (const ChartLine& line : lines) {
    if (line.points.empty()) continue;
    std::vector<std::vector<std::pair<double, double>>> pieces(1);
    for (const auto& point : line.points) {
      if (options.logY && point.second <= 0) {
        if (!pieces.back().empty()) pieces.emplace_back();
        continue;
      }
      pieces.back().push_back(point);
    }
    for (const auto& piece : pieces) {
      if (piece.empty()) continue;
      out << "<polyline fill=\"none\" stroke-width=\"2\" stroke=\"" << line.color << "\""
          << (line.dashed ? " stroke-dasharray=\"7 5\"" : "") << " points=\"";
      for (const auto& [x, y] : piece) out << xOf(x) << ',' << yOf(y) << ' ';
      out << "\"/>\n";
      if (piece.size() == 1)
        out << "<circle r=\"3\" fill=\"" << line.color << "\" cx=\"" << xOf(piece[0].first) << "\" cy=\""
            << yOf(piece[0].second) << "\"/>\n";
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

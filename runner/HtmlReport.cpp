#include "HtmlReport.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>

#include "HtmlCharts.h"
#include "LatencyReport.h"

namespace varnox::cli {
namespace {

using nlohmann::json;

constexpr const char* kStyle = R"(
body { font: 14px/1.45 system-ui, sans-serif; margin: 24px; color: #1d232b; background: #fff; max-width: 1400px; }
h1 { font-size: 22px; margin: 0 0 12px; } h2 { font-size: 18px; margin: 28px 0 8px; border-bottom: 2px solid #d6dbe1; }
h3 { font-size: 15px; margin: 18px 0 6px; }
.verdict { font-size: 18px; font-weight: 600; padding: 10px 14px; border-radius: 6px; }
.verdict.pass { background: #e3f4e6; color: #17622a; } .verdict.fail { background: #fbe4e4; color: #8d1a1a; }
code, pre, .hex { font-family: ui-monospace, "DejaVu Sans Mono", monospace; font-size: 12.5px; }
pre { background: #f4f6f8; padding: 8px 10px; overflow-x: auto; border-radius: 4px; }
table { border-collapse: collapse; margin: 6px 0; } td, th { padding: 2px 10px 2px 0; text-align: left; vertical-align: top; }
table.grid td, table.grid th { border-bottom: 1px solid #e3e7eb; padding: 3px 12px 3px 4px; } th { font-weight: 600; }
td.num, th.num { text-align: right; }
.hex td { padding: 0 10px 0 0; white-space: pre; } .hex .off { color: #7a8591; }
.diff { background: #ffd24d; color: #7a1010; font-weight: 700; border-radius: 2px; }
.mismatch { background: #fde8c8; }
.charts { display: flex; flex-wrap: wrap; gap: 12px; }
svg.chart { background: #fff; border: 1px solid #e3e7eb; border-radius: 4px; }
svg .title { font-weight: 600; font-size: 13px; } svg .tick { font-size: 11px; fill: #4a5561; }
svg .axis { font-size: 12px; fill: #1d232b; } svg .grid { stroke: #eceff2; } svg .plot { fill: none; stroke: #c9cfd6; }
svg .bar { fill: #3a78c2; }
.note { color: #5b6672; }
)";

std::string esc(const std::string& s) { return htmlEscape(s); }

std::string text(const json& v) {
  if (v.is_string()) return v.get<std::string>();
  if (v.is_null()) return "";
  return v.dump();
}

std::string str(const json& object, const char* key) {
  auto it = object.find(key);
  return it == object.end() ? std::string() : text(*it);
}

uint64_t u64(const json& object, const char* key) {
  auto it = object.find(key);
  return it != object.end() && it->is_number() ? it->get<uint64_t>() : 0;
}

std::string bytesText(uint64_t bytes) {
  char t[64];
  if (bytes >= (1ull << 30)) std::snprintf(t, sizeof t, "%.2f GiB", static_cast<double>(bytes) / (1ull << 30));
  else if (bytes >= (1ull << 20)) std::snprintf(t, sizeof t, "%.2f MiB", static_cast<double>(bytes) / (1ull << 20));
  else std::snprintf(t, sizeof t, "%llu bytes", static_cast<unsigned long long>(bytes));
  return t;
}

std::string seconds(double s) {
  char t[32];
  std::snprintf(t, sizeof t, s < 10 ? "%.2f s" : "%.1f s", s);
  return t;
}

std::string hex64(uint64_t v) {
  char t[32];
  std::snprintf(t, sizeof t, "0x%016llX", static_cast<unsigned long long>(v));
  return t;
}

std::string counts(const json& object) {
  if (!object.is_object() || object.empty()) return "none";
  std::string out;
  for (auto it = object.begin(); it != object.end(); ++it) out += (out.empty() ? "" : ", ") + it.key() + " " + text(*it);
  return out;
}

// A value of unknown shape: scalars as text, objects as a nested table, arrays as a list.
std::string anyValue(const json& v, int depth = 0) {
  if (v.is_object() && depth < 3) {
    std::string out = "<table class=\"grid\">";
    for (auto it = v.begin(); it != v.end(); ++it)
      out += "<tr><th>" + esc(it.key()) + "</th><td>" + anyValue(*it, depth + 1) + "</td></tr>";
    return out + "</table>";
  }
  if (v.is_array() && depth < 3 && v.size() <= 50) {
    std::string out;
    for (const json& item : v) out += (out.empty() ? "" : "<br>") + anyValue(item, depth + 1);
    return out.empty() ? "none" : out;
  }
  std::string t = text(v);
  if (t.size() > 2000) t = t.substr(0, 2000) + " ...";
  return esc(t);
}

std::vector<uint8_t> fromHex(const std::string& hex) {
  std::vector<uint8_t> bytes;
  auto nibble = [](char c) { return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10; };
  for (size_t i = 0; i + 1 < hex.size(); i += 2) bytes.push_back(static_cast<uint8_t>(nibble(hex[i]) << 4 | nibble(hex[i + 1])));
  return bytes;
}

// The header every block the agent writes carries: bucket in bytes 0-2, the LBA it was written
// for in bytes 8-15, n in byte 16 and the writing command's identifier in bytes 17..16+n, all
// big-endian.
struct Header {
  bool present = false;
  uint32_t bucket = 0;
  uint64_t lba = 0;
  uint32_t idBytes = 0;
  uint64_t cmdId = 0;
};

Header decodeHeader(const std::vector<uint8_t>& b) {
  Header h;
  if (b.size() < 17) return h;
  h.present = true;
  h.bucket = uint32_t{b[0]} << 16 | uint32_t{b[1]} << 8 | b[2];
  for (int i = 8; i < 16; ++i) h.lba = h.lba << 8 | b[i];
  h.idBytes = b[16];
  for (uint32_t i = 0; i < std::min<uint32_t>(h.idBytes, 8) && 17 + i < b.size(); ++i) h.cmdId = h.cmdId << 8 | b[17 + i];
  return h;
}

void headerTable(std::ostringstream& out, const std::vector<uint8_t>& drive, const std::vector<uint8_t>& reference) {
  const Header d = decodeHeader(drive), r = decodeHeader(reference);
  if (!d.present && !r.present) return;
  auto row = [&](const char* field, const std::string& a, const std::string& b) {
    out << "<tr" << (a != b ? " class=\"mismatch\"" : "") << "><th>" << field << "</th><td><code>" << esc(a)
        << "</code></td><td><code>" << esc(b) << "</code></td></tr>\n";
  };
  char t[32];
  auto bucket = [&](const Header& h) {
    std::snprintf(t, sizeof t, "0x%06X", h.bucket);
    return h.present ? std::string(t) : "";
  };
  out << "<h3>Embedded header</h3>\n<table class=\"grid header\"><tr><th>field</th><th>drive</th><th>reference</th></tr>\n";
  row("bucket (bytes 0-2)", bucket(d), bucket(r));
  row("LBA (bytes 8-15)", d.present ? hex64(d.lba) : "", r.present ? hex64(r.lba) : "");
  row("identifier bytes (byte 16)", d.present ? std::to_string(d.idBytes) : "", r.present ? std::to_string(r.idBytes) : "");
  row("command id (bytes 17..)", d.present ? std::to_string(d.cmdId) : "", r.present ? std::to_string(r.cmdId) : "");
  out << "</table>\n";
}

void hexDiff(std::ostringstream& out, const std::vector<uint8_t>& drive, const std::vector<uint8_t>& reference) {
  const size_t size = std::max(drive.size(), reference.size());
  size_t differing = 0;
  for (size_t i = 0; i < size; ++i)
    differing += i >= drive.size() || i >= reference.size() || drive[i] != reference[i];
  out << "<h3>Failing block: drive and reference</h3>\n<p class=\"note\">" << size << " bytes, " << differing
      << " differ (marked)</p>\n<table class=\"hex\"><tr><th>offset</th><th>drive</th><th>reference</th></tr>\n";
  char t[24];
  auto side = [&](const std::vector<uint8_t>& mine, const std::vector<uint8_t>& other, size_t row) {
    std::string cell;
    for (size_t i = row; i < row + 16 && i < size; ++i) {
      if (i != row) cell += i % 8 == 0 ? "  " : " ";
      if (i >= mine.size()) {
        cell += "<span class=\"diff\">--</span>";
        continue;
      }
      std::snprintf(t, sizeof t, "%02x", mine[i]);
      if (i >= other.size() || mine[i] != other[i]) cell += std::string("<span class=\"diff\">") + t + "</span>";
      else cell += t;
    }
    return cell;
  };
  for (size_t row = 0; row < size; row += 16) {
    std::snprintf(t, sizeof t, "%04zx", row);
    out << "<tr><td class=\"off\">" << t << "</td><td>" << side(drive, reference, row) << "</td><td>"
        << side(reference, drive, row) << "</td></tr>\n";
  }
  out << "</table>\n";
}

void failureSection(std::ostringstream& out, const json& drive) {
  auto diag = drive.find("diagnosis");
  auto failure = drive.find("failure");
  const bool hasFailure = failure != drive.end() && failure->is_object();
  if (diag == drive.end() && !hasFailure) return;
  out << "<h3>Failure</h3>\n";
  if (diag != drive.end()) out << "<div class=\"diagnosis\"><h3>Diagnosis</h3>" << anyValue(*diag) << "</div>\n";
  if (!hasFailure) return;
  const json& f = *failure;
  if (auto lba = f.find("lba"); lba != f.end() && lba->is_number())
    out << "<p>Failing LBA: <code class=\"failing-lba\">" << hex64(lba->get<uint64_t>()) << "</code> ("
        << lba->get<uint64_t>() << ")</p>\n";
  const std::vector<uint8_t> driveBytes = fromHex(str(f, "driveHex")), referenceBytes = fromHex(str(f, "referenceHex"));
  if (!driveBytes.empty() || !referenceBytes.empty()) {
    headerTable(out, driveBytes, referenceBytes);
    hexDiff(out, driveBytes, referenceBytes);
  }
  if (const std::string history = str(f, "history"); history.find_first_not_of(" \n") != std::string::npos)
    out << "<h3>History of the block</h3>\n<pre class=\"history\">" << esc(history) << "</pre>\n";
  if (const std::string sequence = str(f, "sequence"); !sequence.empty())
    out << "<h3>Command sequence</h3>\n<pre class=\"sequence\">" << esc(sequence) << "</pre>\n";
}

void charts(std::ostringstream& out, const json& drive) {
  auto series = drive.find("series");
  if (series == drive.end() || !series->is_array() || series->empty()) return;
  ChartLine written{"written", "#3a78c2", false, {}}, verified{"verified", "#2e9d57", true, {}}, p99{"p99", "#c2553a", false, {}};
  for (const json& row : *series) {
    if (!row.is_array() || row.size() < 5) continue;
    const double t = row[0].get<double>();
    written.points.emplace_back(t, row[1].get<double>());
    verified.points.emplace_back(t, row[2].get<double>());
    p99.points.emplace_back(t, row[4].get<double>() / 1e6);
  }
  out << "<div class=\"charts\">\n"
      << svgLineChart("Throughput", "time (s)", "MB/s", {written, verified})
      << svgLineChart("p99 latency per interval", "time (s)", "ms", {p99}) << "</div>\n";
}

void latencySection(std::ostringstream& out, const json& drive) {
  auto latency = drive.find("latency");
  if (latency == drive.end() || !latency->is_object() || latency->empty()) return;
  out << "<h3>Latency</h3>\n<table class=\"grid latency\"><tr><th>kind</th><th class=\"num\">commands</th>"
         "<th class=\"num\">IOPS</th><th class=\"num\">mean</th>";
  for (const char* name : kPercentileNames) out << "<th class=\"num\">" << name << "</th>";
  out << "<th class=\"num\">max</th></tr>\n";
  for (auto it = latency->begin(); it != latency->end(); ++it) {
    const json& k = *it;
    char iops[32];
    std::snprintf(iops, sizeof iops, "%.0f", k.value("iops", 0.0));
    out << "<tr><td>" << esc(it.key()) << "</td><td class=\"num\">" << u64(k, "count") << "</td><td class=\"num\">"
        << iops << "</td><td class=\"num\">" << formatLatency(u64(k, "meanNs")) << "</td>";
    for (const char* name : kPercentileNames)
      out << "<td class=\"num\">" << formatLatency(u64(k, (std::string(name) + "Ns").c_str())) << "</td>";
    out << "<td class=\"num\">" << formatLatency(u64(k, "maxNs")) << "</td></tr>\n";
  }
  out << "</table>\n<div class=\"charts\">\n";
  for (auto it = latency->begin(); it != latency->end(); ++it) {
    std::vector<HistogramBar> bars;
    if (auto buckets = it->find("buckets"); buckets != it->end() && buckets->is_array())
      for (const json& b : *buckets)
        if (b.is_array() && b.size() == 3) bars.push_back({b[0].get<uint64_t>(), b[1].get<uint64_t>(), b[2].get<uint64_t>()});
    out << svgLatencyHistogram(it.key() + " latency", bars);
  }
  out << "</div>\n";
}

void faultSection(std::ostringstream& out, const json& drive) {
  auto faults = drive.find("injectedFaults");
  if (faults == drive.end() || !faults->is_array() || faults->empty()) return;
  std::map<std::string, std::pair<uint64_t, std::string>> byKind;
  for (const json& f : *faults) {
    auto& [n, lbas] = byKind[str(f, "kind")];
    if (++n <= 5) lbas += (lbas.empty() ? "" : ", ") + hex64(u64(f, "lba"));
  }
  out << "<h3>Faults injected</h3>\n<table class=\"grid faults\"><tr><th>kind</th><th class=\"num\">listed</th>"
         "<th>first blocks hit</th></tr>\n";
  for (const auto& [kind, entry] : byKind)
    out << "<tr><td>" << esc(kind) << "</td><td class=\"num\">" << entry.first << "</td><td><code>" << entry.second
        << "</code></td></tr>\n";
  out << "</table>\n";
}

void driveSection(std::ostringstream& out, const json& d) {
  static const std::set<std::string> kShown = {
      "name",       "device",      "passes",        "commandsByKind", "completionsByStatus", "bytesWritten",
      "bytesVerified", "failures", "agentStatus",   "failureText",    "outputFiles",        "deviceStopped",
      "deviceSeed", "deviceStats", "latency",       "injectedFaults", "series",             "failure",
      "diagnosis"};
  out << "<section class=\"drive\" id=\"drive-" << esc(str(d, "name")) << "\">\n<h2>Drive " << esc(str(d, "name"))
      << ": " << esc(str(d, "device")) << "</h2>\n<table class=\"facts\">\n";
  auto fact = [&](const char* label, const std::string& value) {
    out << "<tr><th>" << label << "</th><td>" << value << "</td></tr>\n";
  };
  fact("passes", std::to_string(u64(d, "passes")));
  fact("commands", esc(counts(d.value("commandsByKind", json::object()))));
  fact("completions", esc(counts(d.value("completionsByStatus", json::object()))));
  fact("written", bytesText(u64(d, "bytesWritten")));
  fact("verified", bytesText(u64(d, "bytesVerified")));
  fact("failures", std::to_string(u64(d, "failures")));
  if (const std::string status = str(d, "agentStatus"); !status.empty() && status != "0") fact("ended by", esc(status));
  if (const std::string failure = str(d, "failureText"); !failure.empty())
    fact("failure", "<span class=\"failure-text\">" + esc(failure) + "</span>");
  if (d.value("deviceStopped", false)) fact("showstop", "the drive was stopped by a showstop");
  if (auto stats = d.find("deviceStats"); stats != d.end()) fact("device", esc(counts(*stats)));
  fact("drive seed", esc(str(d, "deviceSeed")));
  if (auto files = d.find("outputFiles"); files != d.end() && files->is_array() && !files->empty()) {
    std::string list;
    for (const json& f : *files) list += (list.empty() ? "" : "<br>") + std::string("<code>") + esc(text(f)) + "</code>";
    fact("output files", list);
  }
  out << "</table>\n";
  failureSection(out, d);
  charts(out, d);
  latencySection(out, d);
  faultSection(out, d);
  std::string more;
  for (auto it = d.begin(); it != d.end(); ++it)
    if (!kShown.count(it.key())) more += "<tr><th>" + esc(it.key()) + "</th><td>" + anyValue(*it) + "</td></tr>\n";
  if (!more.empty()) out << "<h3>More</h3>\n<table class=\"grid more\">\n" << more << "</table>\n";
  out << "</section>\n";
}

}  // namespace

bool renderHtmlReport(const std::string& jsonText, std::string& html, std::string& error) {
  json run = json::parse(jsonText, nullptr, false);
  if (run.is_discarded() || !run.is_object() || !run.contains("result") || !run.contains("drives") ||
      !run["drives"].is_array()) {
    error = "not the JSON summary of a run (expected an object with \"result\" and \"drives\")";
    return false;
  }
  try {
    std::ostringstream out;
    const std::string result = str(run, "result");
    const bool passed = u64(run, "exitStatus") == 0;
    out << "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n<title>varnox: " << esc(result)
        << " - " << esc(str(run, "file")) << "</title>\n<style>" << kStyle << "</style>\n</head>\n<body>\n"
        << "<h1>varnox run: " << esc(str(run, "file")) << "</h1>\n<div id=\"verdict\" class=\"verdict "
        << (passed ? "pass" : "fail") << "\">Result: " << esc(result) << " (exit " << u64(run, "exitStatus")
        << ") after " << seconds(run.value("seconds", 0.0)) << "</div>\n";
    if (const std::string e = str(run, "error"); !e.empty()) out << "<p class=\"error\">Error: " << esc(e) << "</p>\n";
    if (run.value("interrupted", false)) out << "<p>Stopped with Ctrl-C.</p>\n";
    if (const std::string repeat = str(run, "repeat"); !repeat.empty())
      out << "<p>Repeat with: <code id=\"repeat\">" << esc(repeat) << "</code></p>\n";
    if (run.contains("seed"))
      out << "<p class=\"note\">Seed " << esc(str(run, "seed")) << ", \"Random Seed\" " << esc(str(run, "randomSeed"))
          << "</p>\n";
    for (const json& drive : run["drives"])
      if (drive.is_object()) driveSection(out, drive);
    out << "</body>\n</html>\n";
    html = out.str();
  } catch (const json::exception& e) {
    error = std::string("unexpected JSON: ") + e.what();
    return false;
  }
  return true;
}

bool writeHtmlReport(const std::string& json, const std::string& path, std::string& error) {
  std::string html;
  if (!renderHtmlReport(json, html, error)) return false;
  std::ofstream out(path, std::ios::trunc | std::ios::binary);
  if (!out || !(out << html) || !out.flush()) {
    error = "cannot write " + path + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

}  // namespace varnox::cli

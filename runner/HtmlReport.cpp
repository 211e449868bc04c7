#include "HtmlReport.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <algorithm>
#include <map>
#include <sstream>

#include "HtmlBlockDiff.h"
#include "HtmlCharts.h"
#include "HtmlParts.h"
#include "HtmlSettings.h"
#include "LatencyReport.h"
#include "Units.h"
#include "varnox/LatencyHistogram.h"

namespace varnox::cli {
namespace {

using namespace html;

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
.failure-line { font-weight: 600; color: #8d1a1a; margin: 8px 0; }
table.facts th { color: #4a5561; font-weight: 500; padding-right: 18px; white-space: nowrap; }
table.facts { margin-bottom: 10px; }
.tables { display: flex; flex-wrap: wrap; gap: 8px 48px; align-items: flex-start; }
details { margin: 10px 0; } summary { cursor: pointer; font-weight: 600; }
tr.set td { background: #f3f7fc; }
svg line.mark { opacity: 0.85; }
)";

const char* kindColor(const std::string& kind) {
  static const std::map<std::string, const char*> kColors = {
      {"Write", "#3a78c2"},     {"Read", "#2e9d57"},       {"Verify", "#16a3a3"},     {"WriteSame", "#8a5cc2"},
      {"Trim", "#a0a0a0"},      {"WriteAtomic", "#c2553a"}, {"SyncCache", "#d98b1e"}, {"PowerToggle", "#6b4a2e"},
      {"ZoneReset", "#c23a8a"}, {"Invalidate", "#5b6672"}};
  auto it = kColors.find(kind);
  return it == kColors.end() ? "#1d232b" : it->second;
}

// A drive's series by column name. Records before the layout had a version hold bare rows
// [seconds, write MB/s, verify MB/s, IOPS, p99 ns, errors, failures].
struct Series {
  std::vector<double> time, written, verified, iops;
  struct Kind {
    std::vector<double> time, iops, p50, p99, p999;  // latencies in microseconds
  };
  std::map<std::string, Kind> kinds;
  std::vector<double> p50, p99, p999;
  bool empty() const { return time.empty(); }
};

Series readSeries(const json& drive) {
  Series s;
  const json& series = member(drive, "series");
  auto at = [](const json& row, size_t i) { return i < row.size() && row[i].is_number() ? row[i].get<double>() : 0.0; };
  if (series.is_array()) {
    for (const json& row : series) {
      if (!row.is_array() || row.size() < 5) continue;
      s.time.push_back(at(row, 0));
      s.written.push_back(at(row, 1));
      s.verified.push_back(at(row, 2));
      s.iops.push_back(at(row, 3));
      s.p99.push_back(at(row, 4) / 1e3);
    }
    return s;
  }
  if (!series.is_object()) return s;
  std::map<std::string, size_t> column;
  if (const json& names = member(series, "columns"); names.is_array())
    for (size_t i = 0; i < names.size(); ++i) column[text(names[i])] = i;
  auto col = [&](const json& row, const char* name) {
    auto it = column.find(name);
    return it == column.end() ? 0.0 : at(row, it->second);
  };
  if (const json& rows = member(series, "rows"); rows.is_array())
    for (const json& row : rows) {
      if (!row.is_array()) continue;
      s.time.push_back(col(row, "time_s"));
      s.written.push_back(col(row, "write_MBps"));
      s.verified.push_back(col(row, "verify_MBps"));
      s.iops.push_back(col(row, "iops"));
      s.p50.push_back(col(row, "p50_us"));
      s.p99.push_back(col(row, "p99_us"));
      s.p999.push_back(col(row, "p99_9_us"));
    }
  std::map<std::string, size_t> kindColumn;
  if (const json& names = member(series, "kindColumns"); names.is_array())
    for (size_t i = 0; i < names.size(); ++i) kindColumn[text(names[i])] = i;
  auto kcol = [&](const json& row, const char* name) {
    auto it = kindColumn.find(name);
    return it == kindColumn.end() ? 0.0 : at(row, it->second);
  };
  if (const json& kinds = member(series, "kinds"); kinds.is_object())
    for (auto it = kinds.begin(); it != kinds.end(); ++it) {
      Series::Kind& k = s.kinds[it.key()];
      if (!it->is_array()) continue;
      for (const json& row : *it) {
        k.time.push_back(kcol(row, "time_s"));
        k.iops.push_back(kcol(row, "iops"));
        k.p50.push_back(kcol(row, "p50_us"));
        k.p99.push_back(kcol(row, "p99_us"));
        k.p999.push_back(kcol(row, "p99_9_us"));
      }
    }
  return s;
}

ChartLine line(const std::string& name, const char* color, bool dashed, const std::vector<double>& x,
               const std::vector<double>& y) {
  ChartLine l{name, color, dashed, {}};
  for (size_t i = 0; i < x.size() && i < y.size(); ++i) l.points.emplace_back(x[i], y[i]);
  return l;
}

// Power cycles, resets and the first failure, marked on every chart's time axis.
std::vector<ChartMark> marks(const json& drive) {
  std::vector<ChartMark> out;
  if (const json& events = member(drive, "events"); events.is_array())
    for (const json& e : events) {
      const std::string kind = str(e, "kind");
      out.push_back({number(e, "seconds"), kind, kind == "reset" ? "#1f8a70" : "#8e44ad", true});
    }
  if (const json& failed = member(drive, "failureSeconds"); failed.is_number())
    out.push_back({failed.get<double>(), "first failure", "#c0392b", false});
  return out;
}

// Decades of a log axis, short enough to stay clear of the axis label: "100us", "1ms", "10ms".
std::string latencyTick(double us) {
  const double ns = us * 1e3;
  char t[32];
  if (ns < 1e3) std::snprintf(t, sizeof t, "%.0fns", ns);
  else if (ns < 1e6) std::snprintf(t, sizeof t, "%.0fus", ns / 1e3);
  else if (ns < 1e9) std::snprintf(t, sizeof t, "%.0fms", ns / 1e6);
  else std::snprintf(t, sizeof t, "%.0fs", ns / 1e9);
  return t;
}

void charts(std::ostringstream& out, const json& drive, double runSeconds) {
  const Series s = readSeries(drive);
  if (s.empty()) return;
  ChartOptions options;
  options.xMax = runSeconds;
  options.marks = marks(drive);
  out << "<div class=\"charts\">\n"
      << svgLineChart("Throughput", "time (s)", "MB/s",
                      {line("written", "#3a78c2", false, s.time, s.written), line("verified", "#2e9d57", true, s.time, s.verified)},
                      options);
  std::vector<ChartLine> iops;
  for (const auto& [kind, k] : s.kinds) iops.push_back(line(kind, kindColor(kind), false, k.time, k.iops));
  if (iops.empty()) iops.push_back(line("all commands", "#3a78c2", false, s.time, s.iops));
  out << svgLineChart("IOPS by command kind", "time (s)", "commands per second", iops, options);
  ChartOptions latency = options;
  latency.logY = true;
  latency.yText = latencyTick;
  if (s.kinds.empty()) {
    std::vector<ChartLine> lines;
    if (!s.p50.empty()) lines.push_back(line("p50", "#2e9d57", false, s.time, s.p50));
    lines.push_back(line("p99", "#d98b1e", false, s.time, s.p99));
    if (!s.p999.empty()) lines.push_back(line("p99.9", "#c2553a", false, s.time, s.p999));
    out << svgLineChart("Latency per interval", "time (s)", "latency (log scale)", lines, latency);
  }
  for (const auto& [kind, k] : s.kinds) {
    // A kind sent now and then (a sync cache before each power cut) makes a chart of a few dots.
    size_t intervals = 0;
    for (double v : k.p50) intervals += v > 0;
    if (intervals < 3 && intervals < k.p50.size()) continue;
    out << svgLineChart(kind + " latency per interval", "time (s)", "latency (log scale)",
                        {line("p50", "#2e9d57", false, k.time, k.p50), line("p99", "#d98b1e", false, k.time, k.p99),
                         line("p99.9", "#c2553a", false, k.time, k.p999)},
                        latency);
  }
  out << "</div>\n";
}

std::string counts(const json& object) {
  if (!object.is_object() || object.empty()) return "";
  std::string out;
  for (auto it = object.begin(); it != object.end(); ++it) out += (out.empty() ? "" : ", ") + it.key() + " " + text(*it);
  return out;
}

std::string statusText(const json& drive) {
  const json& status = member(drive, "agentStatus");
  if (!status.is_number_integer() || status.get<int64_t>() == 0) return "";
  const std::string word = str(drive, "agentStatusText");
  return std::to_string(status.get<int64_t>()) + (word.empty() ? "" : " (" + word + ")");
}

std::string optionalCount(const json& object, const char* key) {
  const json& v = member(object, key);
  return v.is_number() ? text(v) : "";
}

void identityTable(std::ostringstream& out, const json& drive, const json& settings) {
  const json& id = member(drive, "identity");
  LabelledTable t("identity");
  if (str(id, "kind") == "sim" || (id.is_null() && str(member(drive, "geometry"), "path") == "sim")) {
    out << "<p class=\"note\">The simulated drive, with the settings below.</p>\n";
    t = driveSettingsTable(settings);
  } else {
    t.text("kind", str(id, "kind"))
        .text("path", str(id, "path").empty() ? str(member(drive, "geometry"), "path") : str(id, "path"))
        .text("model", str(id, "model"))
        .text("vendor", str(id, "vendor"))
        .text("serial", str(id, "serial"))
        .text("firmware", str(id, "firmware"))
        .text("WWID", str(id, "wwid"))
        .text("size", member(id, "sizeBytes").is_number() ? bytesText(u64(id, "sizeBytes")) + " (" + str(id, "sizeBytes") + " bytes)" : "");
  }
  out << t.html();
}

void failureSection(std::ostringstream& out, const json& drive) {
  const json& diag = member(drive, "diagnosis");
  const json& failure = member(drive, "failure");
  if (!diag.is_object() && !failure.is_object()) return;
  // A passing run may keep its sequence dump for a legal event: said so, not as a failure.
  const bool failed = !str(diag, "class").empty() || member(failure, "lba").is_number() ||
                      !str(failure, "driveHex").empty() || !str(failure, "referenceHex").empty();
  if (!failed) {
    if (const std::string why = str(diag, "dumpReason"); !why.empty())
      out << "<p class=\"note dump-kept\">The command sequence was kept (at the end of the page): " << esc(why) << "</p>\n";
    return;
  }
  out << "<h3>Failure</h3>\n";
  if (diag.is_object()) {
    LabelledTable d("diagnosis");
    const json& ids = member(diag, "commandIds");
    const json& files = member(diag, "dataFiles");
    const json& missing = member(diag, "noDataFile");
    d.text("what the drive did", str(diag, "class"))
        .text("found by", str(diag, "failure"))
        .row("block", member(diag, "lba").is_number() ? "<code>" + hex64(u64(diag, "lba")) + "</code> (" + str(diag, "lba") + ")" : "")
        .text("explanation", str(diag, "text"))
        .text("first differing byte", optionalCount(diag, "offset"))
        .text("bytes differing", optionalCount(diag, "bytes"))
        .text("checking command", optionalCount(ids, "check"))
        .text("expected write", optionalCount(ids, "expected"))
        .text("write found instead", optionalCount(ids, "found"))
        .row("LBA found in the block", member(diag, "foundLba").is_number() ? "<code>" + hex64(u64(diag, "foundLba")) + "</code>" : "")
        .row("drive's data file", str(files, "drive").empty() ? "" : "<code>" + esc(str(files, "drive")) + "</code>")
        .row("reference data file", str(files, "reference").empty() ? "" : "<code>" + esc(str(files, "reference")) + "</code>")
        .text("no drive's data file", str(missing, "drive"))
        .text("no reference data file", str(missing, "reference"))
        .text("sequence dump kept", str(diag, "dumpReason"));
    out << "<div class=\"diagnosis\">" << d.html() << "</div>\n";
  }
  if (!failure.is_object()) return;
  if (member(failure, "lba").is_number())
    out << "<p>Failing LBA: <code class=\"failing-lba\">" << hex64(u64(failure, "lba")) << "</code> ("
        << u64(failure, "lba") << ")</p>\n";
  const std::vector<uint8_t> driveBytes = fromHex(str(failure, "driveHex")), referenceBytes = fromHex(str(failure, "referenceHex"));
  if (!driveBytes.empty() || !referenceBytes.empty()) blockDiff(out, driveBytes, referenceBytes);
  if (const std::string history = str(failure, "history"); history.find_first_not_of(" \n") != std::string::npos)
    out << "<h3>History of the block</h3>\n<pre class=\"history\">" << esc(history) << "</pre>\n";
}

void latencySection(std::ostringstream& out, const json& drive) {
  const json& latency = member(drive, "latency");
  if (!latency.is_object() || latency.empty()) return;
  out << "<h3>Latency</h3>\n<table class=\"grid latency\"><tr><th>command</th><th class=\"num\">commands</th>"
         "<th class=\"num\">IOPS</th><th class=\"num\">mean</th>";
  for (const char* name : kPercentileNames) out << "<th class=\"num\">" << name << "</th>";
  out << "<th class=\"num\">max</th></tr>\n";
  for (auto it = latency.begin(); it != latency.end(); ++it) {
    const json& k = *it;
    char iops[32];
    std::snprintf(iops, sizeof iops, "%.0f", number(k, "iops"));
    out << "<tr><td>" << esc(it.key()) << "</td><td class=\"num\">" << u64(k, "count") << "</td><td class=\"num\">"
        << iops << "</td><td class=\"num\">" << formatLatency(u64(k, "meanNs")) << "</td>";
    for (size_t i = 0; i < std::size(kPercentileNames); ++i) {
      // Records before the layout had a version kept the dot in "p99.9Ns".
      uint64_t ns = u64(k, percentileKey(i).c_str());
      if (ns == 0) ns = u64(k, (std::string(kPercentileNames[i]) + "Ns").c_str());
      out << "<td class=\"num\">" << formatLatency(ns) << "</td>";
    }
    out << "<td class=\"num\">" << formatLatency(u64(k, "maxNs")) << "</td></tr>\n";
  }
  out << "</table>\n<div class=\"charts\">\n";
  for (auto it = latency.begin(); it != latency.end(); ++it) {
    std::vector<HistogramBar> bars;
    if (const json& buckets = member(*it, "buckets"); buckets.is_array())
      for (const json& b : buckets)
        if (b.is_array() && b.size() == 3) bars.push_back({b[0].get<uint64_t>(), b[1].get<uint64_t>(), b[2].get<uint64_t>()});
    out << svgLatencyHistogram(it.key() + " latency, whole run", bars);
  }
  out << "</div>\n";
}

void countersTable(std::ostringstream& out, const json& d) {
  const json& stats = member(d, "deviceStats");
  std::string files;
  if (const json& list = member(d, "outputFiles"); list.is_array())
    for (const json& f : list) files += (files.empty() ? "" : "<br>") + std::string("<code>") + esc(text(f)) + "</code>";
  LabelledTable t("counters");
  t.text("passes", str(d, "passes"))
      .text("commands sent", counts(member(d, "commandsByKind")))
      .text("completions", counts(member(d, "completionsByStatus")))
      .text("written", bytesText(u64(d, "bytesWritten")))
      .text("verified", bytesText(u64(d, "bytesVerified")))
      .text("reads and verifies compared", optionalCount(d, "dataChecks"))
      .text("written blocks awaiting read-back at the end", optionalCount(d, "blocksAwaitingReadBack"))
      .text("failures", str(d, "failures"))
      .text("device errors (no fault rule)", optionalCount(d, "deviceErrors"))
      .text("ended by", statusText(d))
      .text("proved nothing", str(d, "inconclusive"))
      .text("showstop", member(d, "deviceStopped") == true ? "the drive was stopped at the failure" : "")
      .text("drive's commands", optionalCount(stats, "commands"))
      .text("blocks written by the drive", optionalCount(stats, "blocksWritten"))
      .text("blocks read by the drive", optionalCount(stats, "blocksRead"))
      .text("power cycles", optionalCount(stats, "powerCycles"))
      .text("resets", optionalCount(stats, "resets"))
      .text("faults injected", optionalCount(stats, "faultsInjected"))
      .text("drive seed", str(d, "deviceSeed"))
      .row("output files", files);
  out << "<div>" << t.html("Counters") << "</div>\n";
}

void geometryTable(std::ostringstream& out, const json& d) {
  const json& g = member(d, "geometry");
  if (!g.is_object()) return;
  LabelledTable t("geometry");
  t.text("path", str(g, "path"))
      .text("blocks", str(g, "blocks"))
      .text("block size", str(g, "blockSize").empty() ? "" : str(g, "blockSize") + " bytes")
      .text("protection information", str(g, "protectionInfo"))
      .text("logical blocks per physical block (log2)", str(g, "physicalExponent"))
      .text("queue depth", str(g, "queueDepth"))
      .text("cache", str(g, "cache"))
      .text("atomic unit", str(g, "atomicUnit").empty() ? "" : str(g, "atomicUnit") + " blocks");
  out << "<div>" << t.html("Geometry") << "</div>\n";
}

void faultSection(std::ostringstream& out, const json& drive) {
  const json& rules = member(drive, "faultRules");
  const json& tallies = member(drive, "faults");
  const json& injected = member(drive, "injectedFaults");
  const bool hasRules = rules.is_array() && !rules.empty(), hasTallies = tallies.is_object() && !tallies.empty();
  const bool hasInjected = injected.is_array() && !injected.empty();
  if (!hasRules && !hasTallies && !hasInjected) return;
  out << "<h3>Faults</h3>\n";
  if (hasRules) {
    out << "<table class=\"grid fault-rules\"><tr><th>rule</th><th>block</th><th>after commands</th><th>rate</th>"
           "<th class=\"num\">count</th><th class=\"num\">fired</th></tr>\n";
    for (const json& r : rules) {
      auto orAny = [&](const char* key, const char* otherwise) {
        const std::string v = str(r, key);
        return v.empty() ? std::string(otherwise) : v;
      };
      out << "<tr><td>" << esc(str(r, "kind")) << "</td><td>" << esc(orAny("lba", "any")) << "</td><td>"
          << esc(orAny("after", "0")) << "</td><td>" << esc(orAny("rate", "first match")) << "</td><td class=\"num\">"
          << esc(u64(r, "count") == 0 ? "no limit" : str(r, "count")) << "</td><td class=\"num\">" << u64(r, "injected")
          << "</td></tr>\n";
    }
    out << "</table>\n";
  }
  if (hasTallies || hasInjected) {
    std::map<std::string, std::pair<uint64_t, std::string>> blocks;
    if (hasInjected)
      for (const json& f : injected) {
        auto& [n, lbas] = blocks[str(f, "kind")];
        if (++n <= 5) lbas += (lbas.empty() ? "" : ", ") + hex64(u64(f, "lba"));
      }
    out << "<table class=\"grid faults\"><tr><th>kind</th><th class=\"num\">injected</th><th class=\"num\">exposed</th>"
           "<th>first blocks hit</th></tr>\n";
    std::map<std::string, json> kinds;
    if (hasTallies)
      for (auto it = tallies.begin(); it != tallies.end(); ++it) kinds[it.key()] = *it;
    for (const auto& [kind, entry] : blocks)
      if (!kinds.count(kind)) kinds[kind] = json{{"injected", entry.first}};
    for (const auto& [kind, t] : kinds) {
      const auto b = blocks.find(kind);
      out << "<tr><td>" << esc(kind) << "</td><td class=\"num\">" << u64(t, "injected") << "</td><td class=\"num\">"
          << (member(t, "exposed").is_number() ? str(t, "exposed") : "-") << "</td><td><code>"
          << (b == blocks.end() ? "" : b->second.second) << "</code></td></tr>\n";
    }
    out << "</table>\n";
  }
}

// A drive split into slices: each slice's range and figures, beside the drive's added-up ones.
void slicesTable(std::ostringstream& out, const json& drive, double runSeconds) {
  const json& slices = member(drive, "slices");
  if (!slices.is_array() || slices.empty()) return;
  out << "<h3>Slices</h3>\n<table class=\"grid slices\"><tr><th>slice</th><th>LBA range</th>"
         "<th class=\"num\">commands</th><th class=\"num\">written/s</th><th class=\"num\">verified/s</th>"
         "<th class=\"num\">p50</th><th class=\"num\">p99</th><th class=\"num\">CPU s</th><th>failure</th></tr>\n";
  for (const json& s : slices) {
    LatencySnapshot all;
    if (const json& latency = member(s, "latency"); latency.is_object())
      for (auto it = latency.begin(); it != latency.end(); ++it) {
        // The buckets make the slice's percentiles over every kind.
        if (const json& buckets = member(*it, "buckets"); buckets.is_array())
          for (const json& b : buckets)
            if (b.is_array() && b.size() == 3) {
              const size_t bucket = LatencyHistogram::bucketOf(b[0].get<uint64_t>());
              if (all.buckets.size() <= bucket) all.buckets.resize(LatencyHistogram::kBuckets);
              all.buckets[bucket] += b[2].get<uint64_t>();
              all.count += b[2].get<uint64_t>();
            }
        all.maxNs = std::max(all.maxNs, u64(*it, "maxNs"));
      }
    auto rate = [runSeconds](uint64_t bytes) {
      return runSeconds > 0 ? formatBytes(static_cast<uint64_t>(static_cast<double>(bytes) / runSeconds)) : "-";
    };
    char cpu[32];
    std::snprintf(cpu, sizeof cpu, "%.2f", number(s, "cpuSeconds"));
    out << "<tr><td>" << esc(str(s, "name")) << "</td><td>" << u64(s, "firstLba") << "-" << u64(s, "lastLba")
        << "</td><td class=\"num\">" << u64(s, "commands") << "</td><td class=\"num\">"
        << rate(u64(s, "bytesWritten")) << "</td><td class=\"num\">" << rate(u64(s, "bytesVerified"))
        << "</td><td class=\"num\">" << formatLatency(all.percentileNs(0.5)) << "</td><td class=\"num\">"
        << formatLatency(all.percentileNs(0.99)) << "</td><td class=\"num\">" << cpu << "</td><td>"
        << esc(str(s, "failureText")) << "</td></tr>\n";
  }
  out << "</table>\n";
}

void driveSection(std::ostringstream& out, const json& d, const json& settings, double runSeconds) {
  const std::string name = str(d, "name");
  out << "<section class=\"drive\" id=\"drive-" << esc(name) << "\">\n<h2>Drive " << esc(name) << ": "
      << esc(str(d, "device")) << "</h2>\n";
  if (const std::string failure = str(d, "failureText"); !failure.empty()) {
    out << "<p class=\"failure-line\"><span class=\"failure-text\">" << esc(failure) << "</span>";
    if (member(d, "failureSeconds").is_number()) out << " (after " << secondsText(number(d, "failureSeconds")) << ")";
    out << "</p>\n";
  }
  identityTable(out, d, settings);
  charts(out, d, runSeconds);
  failureSection(out, d);
  latencySection(out, d);
  slicesTable(out, d, runSeconds);
  out << "<div class=\"tables\">\n";
  countersTable(out, d);
  geometryTable(out, d);
  out << "</div>\n";
  faultSection(out, d);
  out << "</section>\n";
}

}  // namespace

bool renderHtmlReport(const std::string& jsonText, std::string& page, std::string& error) {
  json run = json::parse(jsonText, nullptr, false);
  if (run.is_discarded() || !run.is_object() || !run.contains("result") || !run.contains("drives") ||
      !run["drives"].is_array()) {
    error = "not the JSON summary of a run (expected an object with \"result\" and \"drives\")";
    return false;
  }
  try {
    std::ostringstream out;
    const std::string result = str(run, "result");
    const bool passed = member(run, "exitStatus") == 0;
    const double runSeconds = number(run, "seconds");
    out << "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n<title>varnox: " << esc(result)
        << " - " << esc(str(run, "file")) << "</title>\n<style>" << kStyle << "</style>\n</head>\n<body>\n"
        << "<h1>varnox run: " << esc(str(run, "file")) << "</h1>\n<div id=\"verdict\" class=\"verdict "
        << (passed ? "pass" : "fail") << "\">Result: " << esc(result) << " (exit " << str(run, "exitStatus")
        << ") after " << secondsText(runSeconds);
    if (member(run, "timeToFirstFailureSeconds").is_number())
      out << "; first failure after " << secondsText(number(run, "timeToFirstFailureSeconds"));
    out << "</div>\n";
    if (const std::string e = str(run, "error"); !e.empty()) out << "<p class=\"error\">Error: " << esc(e) << "</p>\n";
    if (member(run, "interrupted") == true)
      out << "<p>Stopped by " << esc(str(run, "stopSignal").empty() ? "a signal" : str(run, "stopSignal"))
          << " before the run's limit.</p>\n";
    if (const std::string repeat = str(run, "repeat"); !repeat.empty())
      out << "<p>Repeat with: <code id=\"repeat\">" << esc(repeat) << "</code></p>\n";
    const json& configuration = member(run, "configuration");
    const json& driveSettings = member(configuration, "drives");
    for (size_t i = 0; i < run["drives"].size(); ++i) {
      const json& drive = run["drives"][i];
      if (!drive.is_object()) continue;
      static const json kNone;
      const json* settings = &kNone;
      if (driveSettings.is_array())
        for (const json& s : driveSettings)
          if (str(s, "name") == str(drive, "name")) settings = &s;
      driveSection(out, drive, *settings, runSeconds);
    }
    runSection(out, run);
    settingsSection(out, configuration);
    // The command dumps are long: folded, at the end.
    for (const json& drive : run["drives"]) {
      const std::string sequence = str(member(drive, "failure"), "sequence");
      if (sequence.empty()) continue;
      out << "<details class=\"dump\"><summary>Command sequence of drive " << esc(str(drive, "name"))
          << "</summary>\n<pre class=\"sequence\">" << esc(sequence) << "</pre>\n</details>\n";
    }
    out << "</body>\n</html>\n";
    page = out.str();
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

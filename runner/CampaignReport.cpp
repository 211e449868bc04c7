// Drawing the campaign's page from the drives' statuses and results.
#include "CampaignReport.h"

#include <cstdio>
#include <filesystem>
#include <map>
#include <sstream>

#include "HtmlCharts.h"

namespace varnox::cli::campaign {
namespace {

namespace fs = std::filesystem;

std::string esc(const std::string& s) { return htmlEscape(s); }

// The first string found under any of `keys` in the drive's identity or the drive itself.
std::string firstString(const nlohmann::json& drive, std::initializer_list<const char*> keys) {
  for (const char* holder : {"identity", "device", ""}) {
    const nlohmann::json* object = &drive;
    if (*holder != 0) {
      if (!drive.contains(holder) || !drive[holder].is_object()) continue;
      object = &drive[holder];
    }
    for (const char* key : keys)
      if (object->contains(key) && (*object)[key].is_string() && !(*object)[key].get<std::string>().empty())
        return (*object)[key].get<std::string>();
  }
  return "";
}

const nlohmann::json* firstDrive(const nlohmann::json& result) {
  if (!result.is_object() || !result.contains("drives") || !result["drives"].is_array() || result["drives"].empty())
    return nullptr;
  return &result["drives"][0];
}

std::string megabytesPerSecond(const nlohmann::json& result, const char* key) {
  const nlohmann::json* d = firstDrive(result);
  const double seconds = result.value("seconds", 0.0);
  if (d == nullptr || seconds <= 0 || !d->contains(key) || !(*d)[key].is_number()) return "";
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", (*d)[key].get<double>() / seconds / 1e6);
  return text;
}

// p99 of one command kind in microseconds, from either spelling of the percentile key.
std::string p99(const nlohmann::json& result, const char* kind) {
  const nlohmann::json* d = firstDrive(result);
  if (d == nullptr || !d->contains("latency") || !(*d)["latency"].contains(kind)) return "";
  const nlohmann::json& k = (*d)["latency"][kind];
  for (const char* key : {"p99Ns", "p99_ns", "p99"})
    if (k.contains(key) && k[key].is_number()) {
      char text[32];
      std::snprintf(text, sizeof text, "%.0f", k[key].get<double>() / 1000.0);
      return text;
    }
  return "";
}

}  // namespace

DriveIdentity identityOf(const nlohmann::json& result) {
  const nlohmann::json* d = firstDrive(result);
  if (d == nullptr) return {};
  return {firstString(*d, {"model"}), firstString(*d, {"firmware", "firmwareRevision", "revision"}),
          firstString(*d, {"serial"})};
}

std::string campaignPage(const Campaign& c, const std::vector<DriveStatus>& drives, const std::string& pagePath,
                         const std::string& generated) {
  std::map<std::string, int> counts;
  for (const DriveStatus& d : drives) ++counts[d.state];
  std::ostringstream h;
  h << "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\"><title>Campaign " << esc(c.name)
    << "</title>\n<style>body{font-family:sans-serif;margin:1.5em;color:#222}table{border-collapse:collapse;margin:.5em 0 1.5em}"
       "td,th{border:1px solid #ccc;padding:.25em .6em;text-align:left}th{background:#f2f2f2}"
       ".passed{color:#176f2c}.failed,.lost,.device-error{color:#b00020;font-weight:bold}"
       ".num{text-align:right}</style></head><body>\n";
  h << "<h1>Campaign " << esc(c.name) << "</h1>\n<p>" << esc(c.file) << " &middot; test " << esc(c.testFile)
    << " &middot; " << drives.size() << " drives &middot; generated " << esc(generated) << "</p>\n<p>";
  for (const auto& [state, n] : counts) h << "<span class=\"" << esc(state) << "\">" << n << " " << esc(state) << "</span> ";
  h << "</p>\n<h2>Verdict per drive</h2>\n<table><tr><th>Drive</th><th>Model</th><th>Firmware</th><th>Serial</th>"
       "<th>Verdict</th><th>Detail</th><th>Write MB/s</th><th>Verify MB/s</th><th>Write p99 (us)</th>"
       "<th>Read p99 (us)</th><th>Seed</th><th>Report</th></tr>\n";
  const fs::path pageFolder = fs::absolute(pagePath).parent_path();
  for (const DriveStatus& d : drives) {
    const DriveIdentity id = identityOf(d.result);
    std::string link;
    if (!d.folder.empty() && fs::exists(d.folder + "/report.html"))
      link = "<a href=\"" + esc(fs::relative(d.folder + "/report.html", pageFolder).string()) + "\">report</a>";
    std::string cssState = d.state;
    for (char& ch : cssState)
      if (ch == ' ') ch = '-';
    h << "<tr><td>" << esc(d.drive->id) << "</td><td>" << esc(id.model) << "</td><td>" << esc(id.firmware) << "</td><td>"
      << esc(id.serial) << "</td><td class=\"" << esc(cssState) << "\">" << esc(d.state) << "</td><td>" << esc(d.detail)
      << "</td><td class=\"num\">" << megabytesPerSecond(d.result, "bytesWritten") << "</td><td class=\"num\">"
      << megabytesPerSecond(d.result, "bytesVerified") << "</td><td class=\"num\">" << p99(d.result, "Write")
      << "</td><td class=\"num\">" << p99(d.result, "Read") << "</td><td class=\"num\">" << d.drive->seed << "</td><td>"
      << link << "</td></tr>\n";
  }
  h << "</table>\n";
  // Which models, firmware and kinds of failure repeat: one row per group, with its drives.
  std::map<std::tuple<std::string, std::string, std::string>, std::vector<std::string>> groups;
  for (const DriveStatus& d : drives) {
    if (d.state != "failed" && d.state != "device error" && d.state != "lost") continue;
    const DriveIdentity id = identityOf(d.result);
    std::string kind = d.state;
    if (const nlohmann::json* first = firstDrive(d.result);
        first != nullptr && first->contains("diagnosis") && (*first)["diagnosis"].is_object() &&
        (*first)["diagnosis"].contains("class") && (*first)["diagnosis"]["class"].is_string())
      kind = (*first)["diagnosis"]["class"].get<std::string>();
    groups[{id.model.empty() ? "(unknown)" : id.model, id.firmware.empty() ? "(unknown)" : id.firmware, kind}].push_back(
        d.drive->id);
  }
  h << "<h2>Failures by model, firmware and class</h2>\n";
  if (groups.empty()) {
    h << "<p>No drive failed.</p>\n";
  } else {
    h << "<table><tr><th>Model</th><th>Firmware</th><th>Class</th><th>Drives</th><th>Count</th></tr>\n";
    for (const auto& [key, ids] : groups) {
      std::string list;
      for (const std::string& id : ids) list += (list.empty() ? "" : ", ") + id;
      h << "<tr><td>" << esc(std::get<0>(key)) << "</td><td>" << esc(std::get<1>(key)) << "</td><td>"
        << esc(std::get<2>(key)) << "</td><td>" << esc(list) << "</td><td class=\"num\">" << ids.size() << "</td></tr>\n";
    }
    h << "</table>\n";
  }
  h << "</body></html>\n";
  return h.str();
}

}  // namespace varnox::cli::campaign

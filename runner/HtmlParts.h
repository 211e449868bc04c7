#pragma once
// Pieces the HTML report's files share: reading members of the run's JSON record and writing
// labelled tables that leave out rows without a value (the report shows no empty table).
#include <cstdint>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>
#include <utility>
#include <vector>

#include "HtmlCharts.h"

namespace varnox::cli::html {

using nlohmann::json;

inline std::string esc(const std::string& s) {
  return htmlEscape(s);
}

// A member as text: strings as they are, null and missing as "", numbers and booleans as JSON.
inline std::string text(const json& v) {
  if (v.is_string()) return v.get<std::string>();
  if (v.is_null()) return "";
  if (v.is_boolean()) return v.get<bool>() ? "yes" : "no";
  return v.dump();
}

inline std::string str(const json& object, const char* key) {
  if (!object.is_object()) return "";
  auto it = object.find(key);
  return it == object.end() ? std::string() : text(*it);
}

inline uint64_t u64(const json& object, const char* key) {
  if (!object.is_object()) return 0;
  auto it = object.find(key);
  return it != object.end() && it->is_number_unsigned() ? it->get<uint64_t>()
         : it != object.end() && it->is_number() && it->get<double>() > 0
             ? static_cast<uint64_t>(it->get<double>())
             : 0;
}

inline double number(const json& object, const char* key, double otherwise = 0) {
  if (!object.is_object()) return otherwise;
  auto it = object.find(key);
  return it != object.end() && it->is_number() ? it->get<double>() : otherwise;
}

inline const json& member(const json& object, const char* key) {
  static const json kNull;
  if (!object.is_object()) return kNull;
  auto it = object.find(key);
  return it == object.end() ? kNull : *it;
}

inline std::string hex64(uint64_t v) {
  char t[32];
  std::snprintf(t, sizeof t, "0x%016llX", static_cast<unsigned long long>(v));
  return t;
}

inline std::string bytesText(uint64_t bytes) {
  char t[64];
  if (bytes >= (1ull << 30))
    std::snprintf(t, sizeof t, "%.2f GiB", static_cast<double>(bytes) / (1ull << 30));
  else if (bytes >= (1ull << 20))
    std::snprintf(t, sizeof t, "%.2f MiB", static_cast<double>(bytes) / (1ull << 20));
  else
    std::snprintf(t, sizeof t, "%llu bytes", static_cast<unsigned long long>(bytes));
  return t;
}

inline std::string secondsText(double s) {
  char t[32];
  std::snprintf(t, sizeof t, s < 10 ? "%.2f s" : "%.1f s", s);
  return t;
}

// Rows of label and HTML value; rows whose value is empty are left out, and so is a table
// without rows.
class LabelledTable {
 public:
  explicit LabelledTable(std::string cssClass) : class_(std::move(cssClass)) {}
  LabelledTable& row(const std::string& label, const std::string& htmlValue) {
    if (!htmlValue.empty()) rows_.emplace_back(label, htmlValue);
    return *this;
  }
  LabelledTable& text(const std::string& label, const std::string& plain) { return row(label, esc(plain)); }
  bool empty() const { return rows_.empty(); }
  std::string html(const std::string& heading = "") const {
    if (rows_.empty()) return "";
    std::string out = heading.empty() ? "" : "<h3>" + esc(heading) + "</h3>\n";
    out += "<table class=\"facts " + class_ + "\">\n";
    for (const auto& [label, value] : rows_)
      out += "<tr><th>" + esc(label) + "</th><td>" + value + "</td></tr>\n";
    return out + "</table>\n";
  }

 private:
  std::string class_;
  std::vector<std::pair<std::string, std::string>> rows_;
};

}  // namespace varnox::cli::html

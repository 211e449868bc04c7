#include "Units.h"

#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>

#include "Messages.h"

namespace varnox::cli {
namespace {

std::string_view trim(std::string_view s) {
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
  return s;
}

// Splits "12.5MiB" into the number "12.5" and the unit "MiB".
void splitNumber(std::string_view text, std::string_view& number, std::string_view& unit) {
  size_t i = 0;
  while (i < text.size() && (std::isdigit(static_cast<unsigned char>(text[i])) || text[i] == '.')) ++i;
  number = text.substr(0, i);
  unit = trim(text.substr(i));
}

std::optional<double> parseNumber(std::string_view number) {
  if (number.empty()) return std::nullopt;
  double value = 0;
  auto [end, ec] = std::from_chars(number.data(), number.data() + number.size(), value);
  if (ec != std::errc() || end != number.data() + number.size()) return std::nullopt;
  return value;
}

}  // namespace

std::optional<double> parseDuration(std::string_view text, std::string& error) {
  std::string_view number, unit;
  splitNumber(trim(text), number, unit);
  auto value = parseNumber(number);
  if (!value) {
    error = "expected a duration such as \"30s\", \"5m\" or \"1h\", got " + quoted(text);
    return std::nullopt;
  }
  double scale = 0;
  if (unit.empty() || unit == "s") scale = 1;
  else if (unit == "ms") scale = 0.001;
  else if (unit == "m" || unit == "min") scale = 60;
  else if (unit == "h") scale = 3600;
  else {
    error = "unknown duration unit " + quoted(unit) + " in " + quoted(text) + " (use ms, s, m or h)";
    return std::nullopt;
  }
  return *value * scale;
}

std::optional<uint64_t> parseSize(std::string_view text, std::string& error) {
  std::string_view number, unit;
  splitNumber(trim(text), number, unit);
  auto value = parseNumber(number);
  if (!value) {
    error = "expected a size such as \"512MiB\" or \"1GiB\", got " + quoted(text);
    return std::nullopt;
  }
  struct Unit {
    std::string_view name;
    double bytes;
  };
  static constexpr Unit kUnits[] = {
      {"", 1},          {"B", 1},         {"KiB", 1024.0},  {"MiB", 1048576.0},
      {"GiB", 1073741824.0}, {"TiB", 1099511627776.0}, {"KB", 1e3}, {"MB", 1e6},
      {"GB", 1e9},      {"TB", 1e12},     {"K", 1024.0},    {"M", 1048576.0},
      {"G", 1073741824.0}, {"T", 1099511627776.0}};
  for (const Unit& u : kUnits) {
    if (u.name != unit) continue;
    double bytes = *value * u.bytes;
    if (bytes >= 18446744073709551615.0) {
      error = "size " + quoted(text) + " is too large";
      return std::nullopt;
    }
    if (bytes != std::floor(bytes)) {
      error = "size " + quoted(text) + " is not a whole number of bytes";
      return std::nullopt;
    }
    return static_cast<uint64_t>(bytes);
  }
  error = "unknown size unit " + quoted(unit) + " in " + quoted(text) + " (use B, KiB, MiB, GiB, TiB or KB, MB, GB, TB)";
  return std::nullopt;
}

std::string formatDuration(double seconds) {
  char buf[64];
  if (seconds < 60) {
    std::snprintf(buf, sizeof buf, "%.1f s", seconds);
    return buf;
  }
  auto total = static_cast<uint64_t>(seconds + 0.5);
  uint64_t h = total / 3600, m = total / 60 % 60, s = total % 60;
  if (h > 0) std::snprintf(buf, sizeof buf, "%lu h %lu m %lu s", static_cast<unsigned long>(h),
                           static_cast<unsigned long>(m), static_cast<unsigned long>(s));
  else std::snprintf(buf, sizeof buf, "%lu m %lu s", static_cast<unsigned long>(m), static_cast<unsigned long>(s));
  return buf;
}

std::string formatBytes(uint64_t bytes) {
  static constexpr const char* kNames[] = {"B", "KiB", "MiB", "GiB", "TiB", "PiB"};
  if (bytes < 1024) return std::to_string(bytes) + " B";
  double value = static_cast<double>(bytes);
  int i = 0;
  while (value >= 1024 && i < 5) {
    value /= 1024;
    ++i;
  }
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.1f %s", value, kNames[i]);
  return buf;
}

}  // namespace varnox::cli

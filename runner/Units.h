#pragma once
// Sizes and durations as people write them in test files and on the command line.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace varnox::cli {

// "30s", "5m", "1h", "250ms", "1.5h" or a plain number of seconds. Returns the seconds, or
// nothing (with `error` saying what was expected) for an unknown unit, a negative or empty value.
std::optional<double> parseDuration(std::string_view text, std::string& error);

// "512", "4KiB", "512MiB", "1GiB", "2TiB" (binary) or "4KB", "1GB" (decimal, as drives are
// sold). Returns bytes, or nothing with `error` set; overflow of 64 bits is an error.
std::optional<uint64_t> parseSize(std::string_view text, std::string& error);

// "10 s", "2 m 30 s", "1 h 5 m" for messages and summaries.
std::string formatDuration(double seconds);
// "512 B", "1.5 KiB", "12.3 MiB", "1.0 GiB".
std::string formatBytes(uint64_t bytes);

}  // namespace varnox::cli

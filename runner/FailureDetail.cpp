#include "FailureDetail.h"

#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>

#include "Summary.h"

namespace varnox::cli {
namespace {

// A full sequence dump can be long; the report needs the part about the failing block.
constexpr size_t kMaxTextBytes = 256 * 1024;

std::string readText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::string text((std::istreambuf_iterator<char>(in)), {});
  return text;
}

std::string capped(std::string text) {
  if (text.size() > kMaxTextBytes) text = text.substr(0, kMaxTextBytes) + "\n[... cut at 256 KiB]\n";
  return text;
}

bool contains(const std::string& path, const char* part) { return path.find(part) != std::string::npos; }

// "x.bin", or "x.bin.001" when the agent numbered the name so as not to overwrite an earlier run's.
bool hasExtension(const std::string& path, const std::string& extension) {
  const size_t at = path.rfind(extension);
  if (at == std::string::npos) return false;
  const std::string rest = path.substr(at + extension.size());
  return rest.empty() || (rest.size() > 1 && rest[0] == '.' && rest.find_first_not_of("0123456789", 1) == std::string::npos);
}

}  // namespace

std::optional<uint64_t> lbaInLine(const std::string& line) {
  for (const char* marker : {"LBA 0x", "lba:0x"}) {
    const size_t at = line.find(marker);
    if (at == std::string::npos) continue;
    const char* digits = line.c_str() + at + std::strlen(marker);
    char* end = nullptr;
    const unsigned long long lba = std::strtoull(digits, &end, 16);
    if (end != digits) return lba;
  }
  return std::nullopt;
}

FailureDetail readFailureDetail(const DriveReport& drive) {
  FailureDetail detail;
  detail.lba = lbaInLine(drive.failureText);
  for (const std::string& path : drive.outputFiles) {
    if (contains(path, "_drive_") && hasExtension(path, ".bin")) {
      const std::string bytes = readText(path);
      detail.driveBytes.assign(bytes.begin(), bytes.end());
    } else if (contains(path, "_reference_") && hasExtension(path, ".bin")) {
      const std::string bytes = readText(path);
      detail.referenceBytes.assign(bytes.begin(), bytes.end());
    } else if (contains(path, "_trace_") && hasExtension(path, ".txt")) {
      const std::string text = readText(path);
      // The filtered table comes first, then the block's history, then the full sequence.
      size_t full = text.find("Dump of the full command sequence");
      if (full == std::string::npos) full = text.size();
      size_t history = text.find("Context History for lba");
      if (history == std::string::npos || history > full) history = full;
      if (text.starts_with("Dump of all commands that include")) detail.sequence = capped(text.substr(0, history));
      detail.history = capped(text.substr(history, full - history));
      if (detail.sequence.empty() && detail.history.find_first_not_of(" \n") == std::string::npos)
        detail.sequence = capped(text.substr(full));  // no miscompare: the whole sequence it dumped
    }
  }
  return detail;
}

std::string failureJson(const FailureDetail& detail) {
  if (detail.empty()) return {};
  auto hex = [](const std::vector<uint8_t>& bytes) {
    static const char* kDigits = "0123456789abcdef";
    std::string text;
    text.reserve(bytes.size() * 2);
    for (uint8_t b : bytes) {
      text += kDigits[b >> 4];
      text += kDigits[b & 15];
    }
    return text;
  };
  std::ostringstream out;
  out << "\"failure\": {\"lba\": " << (detail.lba ? std::to_string(*detail.lba) : "null")
      << ", \"driveHex\": " << jsonString(hex(detail.driveBytes))
      << ", \"referenceHex\": " << jsonString(hex(detail.referenceBytes)) << ",\n       \"history\": "
      << jsonString(detail.history) << ",\n       \"sequence\": " << jsonString(detail.sequence) << '}';
  return out.str();
}

}  // namespace varnox::cli

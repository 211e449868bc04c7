#include "HtmlBlockDiff.h"

#include <algorithm>
#include <cstdio>

#include "HtmlParts.h"

namespace varnox::cli::html {
namespace {

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
  for (uint32_t i = 0; i < std::min<uint32_t>(h.idBytes, 8) && 17 + i < b.size(); ++i)
    h.cmdId = h.cmdId << 8 | b[17 + i];
  return h;
}

void headerTable(std::ostringstream& out, const std::vector<uint8_t>& drive,
                 const std::vector<uint8_t>& reference) {
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
  out << "<h3>Embedded header</h3>\n<table class=\"grid "
         "header\"><tr><th>field</th><th>drive</th><th>reference</th></tr>\n";
  row("bucket (bytes 0-2)", bucket(d), bucket(r));
  row("LBA (bytes 8-15)", d.present ? hex64(d.lba) : "", r.present ? hex64(r.lba) : "");
  row("identifier bytes (byte 16)", d.present ? std::to_string(d.idBytes) : "",
      r.present ? std::to_string(r.idBytes) : "");
  row("command id (bytes 17..)", d.present ? std::to_string(d.cmdId) : "",
      r.present ? std::to_string(r.cmdId) : "");
  out << "</table>\n";
}

void hexDiff(std::ostringstream& out, const std::vector<uint8_t>& drive,
             const std::vector<uint8_t>& reference) {
  const size_t size = std::max(drive.size(), reference.size());
  size_t differing = 0;
  for (size_t i = 0; i < size; ++i)
    differing += i >= drive.size() || i >= reference.size() || drive[i] != reference[i];
  out << "<h3>Failing block: drive and reference</h3>\n<p class=\"note\">" << size << " bytes, " << differing
      << " differ (marked)</p>\n<table "
         "class=\"hex\"><tr><th>offset</th><th>drive</th><th>reference</th></tr>\n";
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
      if (i >= other.size() || mine[i] != other[i])
        cell += std::string("<span class=\"diff\">") + t + "</span>";
      else
        cell += t;
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

}  // namespace

std::vector<uint8_t> fromHex(const std::string& hex) {
  std::vector<uint8_t> bytes;
  auto nibble = [](char c) { return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10; };
  for (size_t i = 0; i + 1 < hex.size(); i += 2)
    bytes.push_back(static_cast<uint8_t>(nibble(hex[i]) << 4 | nibble(hex[i + 1])));
  return bytes;
}

void blockDiff(std::ostringstream& out, const std::vector<uint8_t>& drive,
               const std::vector<uint8_t>& reference) {
  headerTable(out, drive, reference);
  hexDiff(out, drive, reference);
}

}  // namespace varnox::cli::html

// Writing and reading the journal's manifest (JournalManifest.h).
#include "journal/JournalManifest.h"

#include <cerrno>
#include <charconv>
#include <cstring>
#include <fstream>
#include <sstream>

namespace varnox::journal {
namespace {

// Values stay on one line: a newline or backslash in a path is escaped.
std::string escape(const std::string& value) {
  std::string out;
  for (char c : value) {
    if (c == '\\') out += "\\\\";
    else if (c == '\n') out += "\\n";
    else out += c;
  }
  return out;
}

std::string unescape(const std::string& value) {
  std::string out;
  for (size_t i = 0; i < value.size(); ++i) {
    if (value[i] == '\\' && i + 1 < value.size()) {
      out += value[i + 1] == 'n' ? '\n' : value[i + 1];
      ++i;
    } else {
      out += value[i];
    }
  }
  return out;
}

template <typename T>
bool number(const std::string& text, T& value) {
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  return ec == std::errc() && end == text.data() + text.size();
}

}  // namespace

std::string manifestText(const JournalManifest& manifest) {
  std::ostringstream out;
  out << "varnox-journal=1\n";
  out << "journal_sync=" << escape(manifest.journalSync) << '\n';
  out << "source=" << escape(manifest.source) << '\n';
  for (const JournalDrive& d : manifest.drives) {
    const DeviceSpec& s = d.device;
    out << "drive=" << escape(d.name) << '\n'
        << "file=" << escape(d.file) << '\n'
        << "device=" << escape(s.kind) << '\n'
        << "capacity_blocks=" << d.capacityBlocks << '\n'
        << "block_size=" << d.logicalBlockSize << '\n'
        << "zone_blocks=" << d.zoneBlocks << '\n'
        << "spec_capacity=" << s.capacityBlocks << '\n'
        << "spec_block_size=" << s.logicalBlockSize << '\n'
        << "protection_info=" << s.protectionInfo << '\n'
        << "physical_exponent=" << s.log2LogicalPerPhysical << '\n'
        << "queue_depth=" << s.queueDepth << '\n'
        << "shuffle=" << s.shuffleCompletions << '\n'
        << "write_cache=" << escape(s.writeCache) << '\n'
        << "atomic_unit=" << s.atomicUnitBlocks << '\n'
        << "zone_size=" << s.zoneBlocks << '\n'
        << "zone_model=" << escape(s.zoneModel) << '\n'
        << "seed=" << s.seed << '\n'
        << "direct_io=" << s.directIo << '\n'
        << "precondition=" << s.precondition << '\n'
        << "medium=" << escape(s.medium) << '\n';
    for (const auto& [name, value] : d.identity) out << "identity." << escape(name) << '=' << escape(value) << '\n';
  }
  return out.str();
}

bool parseManifest(const std::string& text, JournalManifest& manifest, std::string& error) {
  manifest = JournalManifest{};
  std::istringstream in(text);
  std::string line;
  int lineNumber = 0;
  bool versioned = false;
  while (std::getline(in, line)) {
    ++lineNumber;
    if (line.empty()) continue;
    const size_t eq = line.find('=');
    const std::string key = line.substr(0, eq);
    const std::string value = eq == std::string::npos ? "" : unescape(line.substr(eq + 1));
    auto bad = [&] {
      error = "line " + std::to_string(lineNumber) + " \"" + line + "\" cannot be read";
      return false;
    };
    if (eq == std::string::npos) return bad();
    if (key == "varnox-journal") {
      if (value != "1") return bad();
      versioned = true;
      continue;
    }
    if (key == "journal_sync") {
      manifest.journalSync = value;
      continue;
    }
    if (key == "source") {
      manifest.source = value;
      continue;
    }
    if (key == "drive") {
      manifest.drives.emplace_back().name = value;
      continue;
    }
    if (manifest.drives.empty()) return bad();
    JournalDrive& d = manifest.drives.back();
    DeviceSpec& s = d.device;
    bool ok = true;
    if (key == "file") d.file = value;
    else if (key == "device") s.kind = value;
    else if (key == "capacity_blocks") ok = number(value, d.capacityBlocks);
    else if (key == "block_size") ok = number(value, d.logicalBlockSize);
    else if (key == "zone_blocks") ok = number(value, d.zoneBlocks);
    else if (key == "spec_capacity") ok = number(value, s.capacityBlocks);
    else if (key == "spec_block_size") ok = number(value, s.logicalBlockSize);
    else if (key == "protection_info") s.protectionInfo = value == "1";
    else if (key == "physical_exponent") ok = number(value, s.log2LogicalPerPhysical);
    else if (key == "queue_depth") ok = number(value, s.queueDepth);
    else if (key == "shuffle") s.shuffleCompletions = value == "1";
    else if (key == "write_cache") s.writeCache = value;
    else if (key == "atomic_unit") ok = number(value, s.atomicUnitBlocks);
    else if (key == "zone_size") ok = number(value, s.zoneBlocks);
    else if (key == "zone_model") s.zoneModel = value;
    else if (key == "seed") ok = number(value, s.seed);
    else if (key == "direct_io") s.directIo = value == "1";
    else if (key == "precondition") s.precondition = value == "1";
    else if (key == "medium") s.medium = value;
    else if (key.rfind("identity.", 0) == 0) d.identity.emplace_back(unescape(key.substr(9)), value);
    else ok = false;
    if (!ok) return bad();
  }
  if (!versioned) {
    error = "it is not a journal manifest (no \"varnox-journal=1\" line)";
    return false;
  }
  return true;
}

bool readManifest(const std::string& dir, JournalManifest& manifest, std::string& error) {
  const std::string path = dir + "/" + kManifestName;
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  if (!in || !(text << in.rdbuf())) {
    error = path + " cannot be read: " + std::strerror(errno);
    return false;
  }
  if (!parseManifest(text.str(), manifest, error)) {
    error = path + ": " + error;
    return false;
  }
  return true;
}

}  // namespace varnox::journal

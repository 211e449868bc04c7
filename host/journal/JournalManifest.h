#pragma once
// The journal's manifest: what it takes to reopen every drive of the run after the host died (the
// drive's settings as the run resolved them, its geometry and its identity) and which file holds
// its records. One `key=value` per line; `drive=NAME` starts a drive.
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "tavik/DeviceSettings.h"

namespace varnox::journal {

inline constexpr const char* kManifestName = "manifest";

struct JournalDrive {
  std::string name;
  std::string file;       // the drive's journal file, within the journal's folder
  DeviceSpec device;      // as the run opened it; its fault rules are left out
  uint32_t logicalBlockSize = 512;
  uint64_t capacityBlocks = 0;
  uint64_t zoneBlocks = 0;
  // The device's identity (name, value) when the run opened it; empty for a simulated drive.
  std::vector<std::pair<std::string, std::string>> identity;
};

struct JournalManifest {
  std::string journalSync = "host";  // "host" or "process"
  std::string source;                // the test file
  std::vector<JournalDrive> drives;
};

std::string manifestText(const JournalManifest& manifest);
// False with `error` naming the line that cannot be read.
bool parseManifest(const std::string& text, JournalManifest& manifest, std::string& error);
// Reads DIR/manifest; false with `error` naming the path.
bool readManifest(const std::string& dir, JournalManifest& manifest, std::string& error);

}  // namespace varnox::journal

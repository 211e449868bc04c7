#pragma once
// How a simulated drive is built. Plain values; simConfigFromSpec fills one from a test file's
// device description and validateSimConfig says what is wrong with one.
#include <cstdint>
#include <string>
#include <vector>

#include "sim/ZoneModel.h"
#include "tavik/DeviceSettings.h"

namespace varnox::sim {

enum class WriteCacheMode {
  WriteThrough,  // data is on the medium when the command completes
  Protected,     // cached, but the cache survives power loss: behaves like write-through
  Volatile,      // everything written since the last SYNCHRONIZE CACHE is lost on power loss
};

inline constexpr uint32_t kMaxQueueDepth = 1024;
inline constexpr uint32_t kProtectionInfoBytes = 8;
// Block sizes a simulated drive or a file takes: every power of two in between, as fio's bs.
inline constexpr uint32_t kMinBlockSize = 512;
inline constexpr uint32_t kMaxBlockSize = 65536;

constexpr bool isUsableBlockSize(uint64_t bytes) {
  return bytes >= kMinBlockSize && bytes <= kMaxBlockSize && (bytes & (bytes - 1)) == 0;
}

struct SimConfig {
  uint32_t logicalBlockSize = 512;  // a power of two from 512 to 65536
  bool protectionInfo = false;      // 8 protection-information bytes stored with every block
  uint32_t log2LogicalPerPhysical = 0;
  uint64_t capacityBlocks = 2097152;
  uint32_t queueDepth = 32;        // 1 to 1024
  bool shuffleCompletions = true;  // else completions come back in submission order
  uint64_t seed = 1;               // completion order and power-loss outcomes follow it
  WriteCacheMode writeCache = WriteCacheMode::WriteThrough;
  uint32_t atomicUnitBlocks = 0;  // largest atomic unit; 0: WRITE ATOMIC is not supported
  uint32_t deviceProperty = 0;    // the value device request 4241 reports
  ZoneKind zones = ZoneKind::None;  // a zoned drive (see ZoneModel.h)
  uint64_t zoneBlocks = 0;          // blocks per zone; set exactly when zoned
  std::vector<FaultRule> faults;
  // Keep the old contents of the blocks an outstanding command overwrites, so that a power loss
  // or reset can leave its transfer lost or cut part-way. Without them a lost write still lands.
  bool keepUndoImages = true;
  // The file that keeps the medium beyond the process (see PersistentMedium.h); empty: memory
  // only. With mediumReadOnly (varnox check and verify) the drive starts from the file but never
  // creates or writes it.
  std::string medium;
  bool mediumReadOnly = false;
};

// Empty when the configuration can be built, else a message naming the bad setting and value.
std::string validateSimConfig(const SimConfig& config);

// Takes the drive settings of `deviceSpec` ("sim" devices); `seed` replaces a seed of 0 in it. False with
// a message naming the key and value when a setting is unusable (e.g. an unknown write-cache mode).
bool simConfigFromSpec(const DeviceSpec& deviceSpec, uint64_t seed, SimConfig& config, std::string& error);

const char* writeCacheModeName(WriteCacheMode mode);

}  // namespace varnox::sim

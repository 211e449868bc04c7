#include "sim/SimConfig.h"

#include "sim/RuleFaults.h"

namespace varnox::sim {

const char* writeCacheModeName(WriteCacheMode mode) {
  switch (mode) {
    case WriteCacheMode::WriteThrough:
      return "write-through";
    case WriteCacheMode::Protected:
      return "protected";
    case WriteCacheMode::Volatile:
      return "volatile";
  }
  return "?";
}

std::string validateSimConfig(const SimConfig& c) {
  auto bad = [](const char* key, uint64_t value, const char* want) {
    return std::string("simulated drive: ") + key + " = " + std::to_string(value) + " is not usable (" +
           want + ")";
  };
  if (!isUsableBlockSize(c.logicalBlockSize))
    return bad("logical block size", c.logicalBlockSize, "a power of two from 512 to 65536");
  if (c.capacityBlocks == 0) return bad("capacity", 0, "at least one block");
  // 2^46 bytes of address space is far beyond what a test wants to keep in memory.
  const uint64_t blockBytes = c.logicalBlockSize + (c.protectionInfo ? kProtectionInfoBytes : 0);
  if (c.capacityBlocks > (uint64_t{1} << 46) / blockBytes)
    return bad("capacity", c.capacityBlocks, "at most 64 TiB of simulated medium");
  if (c.queueDepth == 0 || c.queueDepth > kMaxQueueDepth)
    return bad("queue depth", c.queueDepth, "1 to 1024");
  if (c.log2LogicalPerPhysical > 15)
    return bad("physical block exponent", c.log2LogicalPerPhysical, "0 to 15");
  if (c.atomicUnitBlocks > 0xFFFF || c.atomicUnitBlocks > c.capacityBlocks)
    return bad("atomic unit", c.atomicUnitBlocks, "at most 65535 blocks and the capacity");
  if ((c.zones == ZoneKind::None) != (c.zoneBlocks == 0) || c.zoneBlocks > c.capacityBlocks ||
      (c.zoneBlocks != 0 && c.capacityBlocks / c.zoneBlocks > (uint64_t{1} << 24)))
    return bad("zone size", c.zoneBlocks, "1 block up to the capacity, at most 16777216 zones, with a zone model");
  for (size_t i = 0; i < c.faults.size(); ++i) {
    std::string problem = faultRuleError(c.faults[i], c.capacityBlocks);
    if (problem.empty() && c.faults[i].kind == "pi-corrupt" && !c.protectionInfo)
      problem = "pi-corrupt needs a drive with protection_info = true";
    if (!problem.empty()) return "simulated drive: fault " + std::to_string(i + 1) + ": " + problem;
  }
  return {};
}

bool simConfigFromSpec(const DeviceSpec& deviceSpec, uint64_t seed, SimConfig& config, std::string& error) {
  if (deviceSpec.kind != "sim") {
    error = "device kind \"" + deviceSpec.kind + "\" is not the simulated drive";
    return false;
  }
  SimConfig c;
  c.logicalBlockSize = deviceSpec.logicalBlockSize;
  c.protectionInfo = deviceSpec.protectionInfo;
  c.log2LogicalPerPhysical = deviceSpec.log2LogicalPerPhysical;
  c.capacityBlocks = deviceSpec.capacityBlocks;
  c.queueDepth = deviceSpec.queueDepth;
  c.shuffleCompletions = deviceSpec.shuffleCompletions;
  c.seed = deviceSpec.seed != 0 ? deviceSpec.seed : seed;
  c.atomicUnitBlocks = deviceSpec.atomicUnitBlocks;
  c.faults = deviceSpec.faults;
  c.keepUndoImages = deviceSpec.commandsMayBeLost;
  c.zoneBlocks = deviceSpec.zoneBlocks;
  c.medium = deviceSpec.medium;
  c.mediumReadOnly = deviceSpec.checkOnly;
  if (deviceSpec.zoneModel == "host-managed") {
    c.zones = ZoneKind::HostManaged;
  } else if (deviceSpec.zoneModel == "host-aware") {
    c.zones = ZoneKind::HostAware;
  } else if (!deviceSpec.zoneModel.empty()) {
    error = "zone_model = \"" + deviceSpec.zoneModel + "\" is not one of host-managed, host-aware";
    return false;
  }
  if (deviceSpec.writeCache == "write-through") {
    c.writeCache = WriteCacheMode::WriteThrough;
  } else if (deviceSpec.writeCache == "protected") {
    c.writeCache = WriteCacheMode::Protected;
  } else if (deviceSpec.writeCache == "volatile") {
    c.writeCache = WriteCacheMode::Volatile;
  } else {
    error = "write cache = \"" + deviceSpec.writeCache + "\" is not one of write-through, protected, volatile";
    return false;
  }
  std::string problem = validateSimConfig(c);
  if (!problem.empty()) {
    error = problem;
    return false;
  }
  config = std::move(c);
  return true;
}

}  // namespace varnox::sim

#include "sim/ZoneModel.h"

#include <algorithm>

namespace varnox::sim {
namespace {

constexpr uint8_t kAscqUnalignedWrite = 0x04;
constexpr uint8_t kAscqWriteBoundaryViolation = 0x05;

}  // namespace

const char* zoneKindName(ZoneKind kind) {
  switch (kind) {
    case ZoneKind::HostManaged: return "host-managed";
    case ZoneKind::HostAware: return "host-aware";
    case ZoneKind::None: break;
  }
  return "none";
}

ZoneModel::ZoneModel(ZoneKind kind, uint64_t zoneBlocks, uint64_t capacityBlocks)
    : kind_(kind), zoneBlocks_(zoneBlocks), capacity_(capacityBlocks),
      filled_((capacityBlocks + zoneBlocks - 1) / zoneBlocks, 0) {}

uint64_t ZoneModel::zoneLength(uint64_t zoneStart) const {
  return std::min(zoneBlocks_, capacity_ - zoneStart);
}

uint8_t ZoneModel::refuseWrite(uint64_t lba, uint64_t blocks, uint32_t stride) const {
  if (kind_ != ZoneKind::HostManaged || blocks == 0) return 0;
  const uint64_t zone = lba / zoneBlocks_;
  const uint64_t start = zone * zoneBlocks_;
  // Blocks every other LBA leave holes behind the pointer: never sequential.
  if (lba - start != filled_[zone] || (stride != 1 && blocks > 1)) return kAscqUnalignedWrite;
  if (lba + blocks > start + zoneLength(start)) return kAscqWriteBoundaryViolation;
  return 0;
}

void ZoneModel::wrote(uint64_t lba, uint64_t blocks, uint32_t stride) {
  if (blocks == 0) return;
  const uint64_t last = lba + (blocks - 1) * stride;
  for (uint64_t zone = lba / zoneBlocks_; zone <= last / zoneBlocks_; ++zone) {
    const uint64_t start = zone * zoneBlocks_;
    const uint64_t end = std::min(last + 1, start + zoneLength(start));
    filled_[zone] = std::max(filled_[zone], end - start);
  }
}

void ZoneModel::reset(uint64_t zoneStart) { filled_[zoneStart / zoneBlocks_] = 0; }

}  // namespace varnox::sim

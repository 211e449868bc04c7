#pragma once
// The zones of a zoned simulated drive: fixed-size zones from LBA 0 (the last one may be
// shorter), each with a write pointer that starts at the zone's first block.
//
// Host-managed zones take a write only at their write pointer and within the zone (else ILLEGAL
// REQUEST 21/04 UNALIGNED WRITE COMMAND or 21/05 WRITE BOUNDARY VIOLATION); their blocks past the
// write pointer read as zeros. Host-aware zones take writes anywhere; a write moves the pointer
// to its end when that is further. RESET WRITE POINTER rewinds a zone (the drive zeroes it).
// A write moves the pointer by the command's whole length, also when a fault lands only part
// of it, so that the host's count of where each zone stands stays right.
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace varnox::sim {

enum class ZoneKind { None, HostManaged, HostAware };

class ZoneModel {
 public:
  ZoneModel(ZoneKind kind, uint64_t zoneBlocks, uint64_t capacityBlocks);

  bool hostManaged() const { return kind_ == ZoneKind::HostManaged; }
  uint64_t zoneBlocks() const { return zoneBlocks_; }
  // 0 when a write of `blocks` blocks `stride` apart from `lba` may go ahead, else the ASCQ of
  // the ILLEGAL REQUEST 21/xx that refuses it.
  uint8_t refuseWrite(uint64_t lba, uint64_t blocks, uint32_t stride) const;
  void wrote(uint64_t lba, uint64_t blocks, uint32_t stride);
  bool isZoneStart(uint64_t lba) const { return lba < capacity_ && lba % zoneBlocks_ == 0; }
  // Blocks in the zone that starts at `zoneStart` (the last zone may be shorter).
  uint64_t zoneLength(uint64_t zoneStart) const;
  void reset(uint64_t zoneStart);
  // Per zone, blocks from its start to its write pointer; a kept medium saves and restores them.
  const std::vector<uint64_t>& pointers() const { return filled_; }
  void restorePointers(std::vector<uint64_t> filled) { filled_ = std::move(filled); }
  // Whether a read of `lba` on a host-managed drive finds the zone's unwritten part (zeros).
  bool pastWritePointer(uint64_t lba) const {
    return kind_ == ZoneKind::HostManaged && lba - lba / zoneBlocks_ * zoneBlocks_ >= filled_[lba / zoneBlocks_];
  }

 private:
  ZoneKind kind_;
  uint64_t zoneBlocks_;
  uint64_t capacity_;
  std::vector<uint64_t> filled_;  // per zone: blocks from its start to its write pointer
};

// "host-managed", "host-aware", or "none" for ZoneKind::None.
const char* zoneKindName(ZoneKind kind);

}  // namespace varnox::sim

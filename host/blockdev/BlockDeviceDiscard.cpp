// UNMAP, and WRITE SAME with the UNMAP bit: ranges deallocated one after the other to read back as zeros.
#include <linux/falloc.h>

#include <algorithm>
#include <cerrno>

#include "blockdev/BlockDevice.h"
#include "blockdev/BlockDeviceSlot.h"

namespace varnox::blockdev {

bool BlockDevice::startUnmap(Slot& slot, const DeviceCommand& command, const ParsedCdb& cdb) {
  if (cdb.parameterListBytes == 0) return false;
  if (!command.dataOut || command.dataOutBytes < cdb.parameterListBytes) {
    fail(slot, kSenseIllegalRequest, kAscParameterListLength, 0);
    return false;
  }
  if (!geometry_.supportsUnmap) {
    fail(slot, kSenseIllegalRequest, kAscInvalidOpcode, 0);
    return false;
  }
  int count = unmapDescriptorCount(command.dataOut, cdb.parameterListBytes);
  if (count < 0) {
    fail(slot, kSenseIllegalRequest, kAscInvalidFieldInList, 0);
    return false;
  }
  // Every range is checked before any is touched, so a refused list changes nothing.
  for (int i = 0; i < count; ++i) {
    UnmapRange r = unmapDescriptor(command.dataOut, i);
    if (!rangeValid(r.lba, r.blocks)) {
      fail(slot, kSenseIllegalRequest, kAscLbaOutOfRange, 0);
      return false;
    }
    slot.discards.push_back(r);
  }
  return startDiscard(slot);
}

bool BlockDevice::startDiscard(Slot& slot) {
  // Empty ranges deallocate nothing; a list of only those completes at once.
  std::erase_if(slot.discards, [](const UnmapRange& r) { return r.blocks == 0; });
  if (slot.discards.empty()) return false;
  uint64_t first = UINT64_MAX, end = 0;
  for (const UnmapRange& r : slot.discards) {
    first = std::min(first, r.lba);
    end = std::max(end, r.lba + r.blocks);
  }
  slot.kind = Slot::Kind::Discard;
  slot.write = true;  // ordered against overlapping commands like a write
  return launch(slot, first, end);
}

bool BlockDevice::issueDiscard(Slot& slot) {
  // A punched hole reads as zeros in a file; on a block device the kernel turns it into a
  // discard that guarantees zeros (a plain BLKDISCARD may leave the old data readable, which
  // the read-back would report as a miscompare).
  const UnmapRange& r = slot.discards[slot.discardNext];
  const uint64_t bs = geometry_.logicalBlockSize;
  const int status = queueOf(slot).ring.fallocate(fd_, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, r.lba * bs,
                                                  uint64_t{r.blocks} * bs, tagOf(slot));
  if (status < 0) {
    failErrno(slot, -status, r.lba);
    return false;
  }
  return true;
}

bool BlockDevice::advanceDiscard(Slot& slot, int result) {
  if (result < 0) {
    failErrno(slot, -result, slot.discards[slot.discardNext].lba);
    return true;
  }
  return ++slot.discardNext >= slot.discards.size() || !issueDiscard(slot);
}

}  // namespace varnox::blockdev

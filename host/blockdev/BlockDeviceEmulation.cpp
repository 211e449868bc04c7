// VERIFY and WRITE SAME, which the kernel has no call for: emulated with reads and compares, and writes.
#include <algorithm>
#include <cstring>

#include "blockdev/BlockDevice.h"
#include "blockdev/BlockDeviceSlot.h"

namespace varnox::blockdev {
namespace {

constexpr uint64_t kVerifyWindowBytes = 4ull << 20;  // a verify reads through a window this big
constexpr uint64_t kWriteSameBlocks = 256;           // copies of the block per write of WRITE SAME

}  // namespace

bool BlockDevice::startVerify(Slot& slot, const DeviceCommand& command, const ParsedCdb& cdb) {
  if (!acceptCdb(slot, cdb.bytchk != 2 && cdb.protect == 0, cdb.lba, cdb.blocks)) return false;
  const uint32_t bs = geometry_.logicalBlockSize;
  const uint64_t bytes = uint64_t{cdb.blocks} * bs;
  const uint64_t need = cdb.bytchk == kBytchkCompare ? bytes : cdb.bytchk == kBytchkSame ? bs : 0;
  if (need > 0 && (!command.dataOut || command.dataOutBytes < need)) {
    fail(slot, kSenseIllegalRequest, kAscParameterListLength, 0);
    return false;
  }
  if (bytes == 0) return false;
  slot.kind = Slot::Kind::Verify;
  slot.offset = cdb.lba * bs;
  slot.total = bytes;
  slot.bytchk = cdb.bytchk;
  slot.expected = command.dataOut;
  // The medium is read through a window, so a long verify needs no buffer of its own size.
  slot.cycle = std::min(bytes, kVerifyWindowBytes);
  slot.data = bounce(slot, slot.cycle);
  if (!slot.data) {
    fail(slot, kSenseHardwareError, kAscInternalTargetFailure, 0);
    return false;
  }
  return launch(slot, cdb.lba, cdb.lba + cdb.blocks);
}

bool BlockDevice::startWriteSame(Slot& slot, const DeviceCommand& command, const ParsedCdb& cdb) {
  const bool noData = (cdb.flags & (kCdbUnmap | kCdbNdob)) != 0;
  const uint32_t bs = geometry_.logicalBlockSize;
  const uint32_t stride = command.lbaStride;
  if (!acceptCdb(slot, cdb.protect == 0, cdb.lba, strideSpan(cdb.blocks, stride))) return false;
  if (!noData && (!command.dataOut || command.dataOutBytes < bs)) {
    fail(slot, kSenseIllegalRequest, kAscParameterListLength, 0);
    return false;
  }
  // Zero blocks would mean "to the end of the medium"; refused, as the simulated drive does.
  if (cdb.blocks == 0) {
    fail(slot, kSenseIllegalRequest, kAscInvalidFieldInCdb, 0);
    return false;
  }
  if (cdb.flags & kCdbUnmap) {
    if (!geometry_.supportsUnmap) {
      fail(slot, kSenseIllegalRequest, kAscInvalidFieldInCdb, 0);
      return false;
    }
    if (stride == 1) slot.discards.push_back({cdb.lba, cdb.blocks});
    for (uint64_t i = 0; stride != 1 && i < cdb.blocks; ++i) slot.discards.push_back({cdb.lba + i * stride, 1});
    return startDiscard(slot);
  }
  const uint64_t copies = std::min<uint64_t>(cdb.blocks, kWriteSameBlocks);
  uint8_t* pattern = bounce(slot, copies * bs);
  if (!pattern) {
    fail(slot, kSenseHardwareError, kAscInternalTargetFailure, 0);
    return false;
  }
  for (uint64_t i = 0; i < copies; ++i) {
    if (cdb.flags & kCdbNdob)
      std::memset(pattern + i * bs, 0, bs);
    else
      std::memcpy(pattern + i * bs, command.dataOut, bs);
  }
  slot.write = true;
  slot.offset = cdb.lba * bs;
  slot.total = uint64_t{cdb.blocks} * bs;
  slot.data = pattern;
  slot.cycle = copies * bs;
  setStride(slot, stride);
  return launch(slot, cdb.lba, cdb.lba + strideSpan(cdb.blocks, stride));
}

bool BlockDevice::compareVerified(Slot& slot, uint64_t bytes) {
  if (slot.bytchk == kBytchkNone) return true;
  const uint32_t bs = geometry_.logicalBlockSize;
  const uint8_t* medium = slot.data + slot.done % slot.cycle;
  for (uint64_t i = 0; i < bytes;) {
    const uint64_t position = slot.done + i;  // in the verified range
    const uint64_t inBlock = position % bs;
    const uint64_t length = std::min<uint64_t>(bytes - i, bs - inBlock);
    const uint8_t* expected = slot.expected + (slot.bytchk == kBytchkSame ? inBlock : position);
    if (std::memcmp(expected, medium + i, length) != 0) {
      uint64_t offset = 0;
      while (expected[offset] == medium[i + offset]) ++offset;
      SenseFields sense;
      sense.key = kSenseMiscompare;
      sense.asc = kAscMiscompare;
      sense.hasInformation = true;
      sense.information = position + offset;  // byte offset of the first difference in the verified range
      fail(slot, sense);
      return false;
    }
    i += length;
  }
  return true;
}

}  // namespace varnox::blockdev

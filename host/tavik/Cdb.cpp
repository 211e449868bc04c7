#include "tavik/Cdb.h"

#include <cstring>

namespace varnox {
namespace {

void putBe(uint8_t* at, uint64_t value, int bytes) {
  for (int i = bytes - 1; i >= 0; --i) {
    at[i] = static_cast<uint8_t>(value);
    value >>= 8;
  }
}

uint64_t getBe(const uint8_t* at, int bytes) {
  uint64_t value = 0;
  for (int i = 0; i < bytes; ++i) value = (value << 8) | at[i];
  return value;
}

// The common 16-byte layout: opcode, flags byte, LBA in bytes 2-9, 32-bit length in 10-13.
size_t build16(uint8_t* cdb, uint8_t opcode, uint8_t byte1, uint64_t lba, uint32_t blocks) {
  std::memset(cdb, 0, 16);
  cdb[0] = opcode;
  cdb[1] = byte1;
  putBe(cdb + 2, lba, 8);
  putBe(cdb + 10, blocks, 4);
  return 16;
}

uint8_t protectBits(uint8_t protect) {
  return static_cast<uint8_t>((protect & 7) << 5);
}

}  // namespace

size_t buildRead16(uint8_t* cdb, uint64_t lba, uint32_t blocks, uint8_t rdprotect, bool fua) {
  return build16(cdb, kOpRead16, protectBits(rdprotect) | (fua ? 0x08 : 0), lba, blocks);
}

size_t buildWrite16(uint8_t* cdb, uint64_t lba, uint32_t blocks, uint8_t wrprotect, bool fua) {
  return build16(cdb, kOpWrite16, protectBits(wrprotect) | (fua ? 0x08 : 0), lba, blocks);
}

size_t buildVerify16(uint8_t* cdb, uint64_t lba, uint32_t blocks, uint8_t bytchk, uint8_t vrprotect) {
  return build16(cdb, kOpVerify16, protectBits(vrprotect) | ((bytchk & 3) << 1), lba, blocks);
}

size_t buildWriteSame16(uint8_t* cdb, uint64_t lba, uint32_t blocks, bool unmap, uint8_t wrprotect) {
  return build16(cdb, kOpWriteSame16, protectBits(wrprotect) | (unmap ? 0x08 : 0), lba, blocks);
}

size_t buildWriteAtomic16(uint8_t* cdb, uint64_t lba, uint16_t blocks, uint16_t atomicBoundary,
                          uint8_t wrprotect, bool fua) {
  build16(cdb, kOpWriteAtomic16, protectBits(wrprotect) | (fua ? 0x08 : 0), lba, 0);
  putBe(cdb + 10, atomicBoundary, 2);
  putBe(cdb + 12, blocks, 2);
  return 16;
}

size_t buildSynchronizeCache16(uint8_t* cdb, uint64_t lba, uint32_t blocks, bool immed) {
  return build16(cdb, kOpSynchronizeCache16, immed ? 0x02 : 0, lba, blocks);
}

size_t buildUnmap10(uint8_t* cdb, uint16_t parameterListBytes) {
  std::memset(cdb, 0, 10);
  cdb[0] = kOpUnmap;
  putBe(cdb + 7, parameterListBytes, 2);
  return 10;
}

size_t buildResetWritePointer(uint8_t* cdb, uint64_t zoneStartLba, bool all) {
  std::memset(cdb, 0, 16);
  cdb[0] = kOpZbcOut;
  cdb[1] = kZbcResetWritePointer;
  putBe(cdb + 2, zoneStartLba, 8);
  cdb[14] = all ? 0x01 : 0;
  return 16;
}

size_t buildUnmapParameterList(uint8_t* list, size_t capacity, const UnmapRange* ranges, size_t count) {
  size_t bytes = unmapParameterListBytes(count);
  if (bytes > capacity || bytes > 0xFFFF) return 0;
  std::memset(list, 0, bytes);
  putBe(list, bytes - 2, 2);      // UNMAP data length: what follows the field
  putBe(list + 2, bytes - 8, 2);  // block descriptor data length
  for (size_t i = 0; i < count; ++i) {
    uint8_t* d = list + 8 + 16 * i;
    putBe(d, ranges[i].lba, 8);
    putBe(d + 8, ranges[i].blocks, 4);
  }
  return bytes;
}

int unmapDescriptorCount(const uint8_t* list, size_t bytes) {
  if (bytes < 8) return -1;
  size_t dataLength = getBe(list, 2);
  size_t descriptorBytes = getBe(list + 2, 2);
  if (dataLength + 2 > bytes || descriptorBytes + 8 > bytes || descriptorBytes + 6 > dataLength) return -1;
  return static_cast<int>(descriptorBytes / 16);
}

UnmapRange unmapDescriptor(const uint8_t* list, size_t index) {
  const uint8_t* d = list + 8 + 16 * index;
  return UnmapRange{getBe(d, 8), static_cast<uint32_t>(getBe(d + 8, 4))};
}

int parseCdb(const uint8_t* cdb, size_t bytes, ParsedCdb& parsed) {
  if (bytes == 0) return -1;
  ParsedCdb out;
  out.opcode = cdb[0];
  switch (out.opcode) {
    case kOpRead16:
    case kOpWrite16:
    case kOpVerify16:
    case kOpSynchronizeCache16:
    case kOpWriteSame16:
    case kOpWriteAtomic16:
      out.length = 16;
      break;
    case kOpUnmap:
      out.length = 10;
      break;
    case kOpZbcOut:
      out.length = 16;
      if (bytes < out.length) return -1;
      // Only RESET WRITE POINTER is known; the other zone actions are answered as unknown.
      out.known = (cdb[1] & 0x1F) == kZbcResetWritePointer;
      out.lba = getBe(cdb + 2, 8);
      if (cdb[14] & 0x01) out.flags |= kCdbAll;
      parsed = out;
      return 0;
    default:
      // Group code of the opcode's top three bits gives the length of any other CDB.
      out.length = (out.opcode >> 5) == 0   ? 6
                   : (out.opcode >> 5) == 4 ? 16
                   : (out.opcode >> 5) == 5 ? 12
                                            : 10;
      parsed = out;
      return 0;
  }
  if (bytes < out.length) return -1;
  out.known = true;
  uint8_t b1 = cdb[1];
  if (out.opcode == kOpUnmap) {
    if (b1 & 0x01) out.flags |= kCdbAnchor;
    out.parameterListBytes = static_cast<uint16_t>(getBe(cdb + 7, 2));
    parsed = out;
    return 0;
  }
  out.lba = getBe(cdb + 2, 8);
  out.blocks = static_cast<uint32_t>(getBe(cdb + 10, 4));
  switch (out.opcode) {
    case kOpSynchronizeCache16:
      if (b1 & 0x02) out.flags |= kCdbImmed;
      break;
    case kOpWriteSame16:
      out.protect = b1 >> 5;
      if (b1 & 0x10) out.flags |= kCdbAnchor;
      if (b1 & 0x08) out.flags |= kCdbUnmap;
      if (b1 & 0x01) out.flags |= kCdbNdob;
      break;
    case kOpVerify16:
      out.protect = b1 >> 5;
      if (b1 & 0x10) out.flags |= kCdbDpo;
      out.bytchk = (b1 >> 1) & 3;
      break;
    case kOpWriteAtomic16:
      out.atomicBoundary = static_cast<uint16_t>(getBe(cdb + 10, 2));
      out.blocks = static_cast<uint32_t>(getBe(cdb + 12, 2));
      [[fallthrough]];
    default:  // READ(16), WRITE(16)
      out.protect = b1 >> 5;
      if (b1 & 0x10) out.flags |= kCdbDpo;
      if (b1 & 0x08) out.flags |= kCdbFua;
      break;
  }
  parsed = out;
  return 0;
}

}  // namespace varnox

#pragma once
// Building and decoding the SCSI block commands the host sends: READ(16), WRITE(16), VERIFY(16),
// WRITE SAME(16), WRITE ATOMIC(16), SYNCHRONIZE CACHE(16), UNMAP(10) with its parameter list and
// the zoned RESET WRITE POINTER (ZBC OUT).
// Builders write into a caller's array (at least kCdbMaxBytes) and return the CDB length, so no
// command costs an allocation. Fields wider than the CDB allows are truncated by the caller's
// choice of types; protect fields keep their low three bits.
#include <cstddef>
#include <cstdint>

namespace varnox {

inline constexpr size_t kCdbMaxBytes = 16;

inline constexpr uint8_t kOpRead16 = 0x88;
inline constexpr uint8_t kOpWrite16 = 0x8A;
inline constexpr uint8_t kOpVerify16 = 0x8F;
inline constexpr uint8_t kOpSynchronizeCache16 = 0x91;
inline constexpr uint8_t kOpWriteSame16 = 0x93;
inline constexpr uint8_t kOpWriteAtomic16 = 0x9C;
inline constexpr uint8_t kOpUnmap = 0x42;
inline constexpr uint8_t kOpZbcOut = 0x94;
inline constexpr uint8_t kZbcResetWritePointer = 0x04;  // ZBC OUT service action

// Commands whose blocks follow a skip pattern when the host asks for one (DeviceCommand::lbaStride);
// the others always cover consecutive blocks.
constexpr bool takesLbaStride(uint8_t opcode) {
  return opcode == kOpRead16 || opcode == kOpWrite16 || opcode == kOpWriteAtomic16 || opcode == kOpWriteSame16;
}

// VERIFY(16) byte-check modes.
inline constexpr uint8_t kBytchkNone = 0;     // medium check only, no data sent
inline constexpr uint8_t kBytchkCompare = 1;  // one block of data per verified block
inline constexpr uint8_t kBytchkSame = 3;     // one block of data compared with every verified block

// Flag bits of ParsedCdb::flags.
inline constexpr uint32_t kCdbFua = 1u << 0;
inline constexpr uint32_t kCdbDpo = 1u << 1;
inline constexpr uint32_t kCdbUnmap = 1u << 2;   // WRITE SAME: deallocate instead of writing
inline constexpr uint32_t kCdbNdob = 1u << 3;    // WRITE SAME: no data-out buffer
inline constexpr uint32_t kCdbImmed = 1u << 4;   // SYNCHRONIZE CACHE: complete before the flush
inline constexpr uint32_t kCdbAnchor = 1u << 5;  // WRITE SAME, UNMAP
inline constexpr uint32_t kCdbAll = 1u << 6;     // RESET WRITE POINTER: every zone

size_t buildRead16(uint8_t* cdb, uint64_t lba, uint32_t blocks, uint8_t rdprotect = 0, bool fua = false);
size_t buildWrite16(uint8_t* cdb, uint64_t lba, uint32_t blocks, uint8_t wrprotect = 0, bool fua = false);
size_t buildVerify16(uint8_t* cdb, uint64_t lba, uint32_t blocks, uint8_t bytchk = kBytchkCompare,
                     uint8_t vrprotect = 0);
size_t buildWriteSame16(uint8_t* cdb, uint64_t lba, uint32_t blocks, bool unmap = false,
                        uint8_t wrprotect = 0);
// `atomicBoundary` is the length in blocks of each all-or-nothing unit; 0 makes the whole
// transfer one unit.
size_t buildWriteAtomic16(uint8_t* cdb, uint64_t lba, uint16_t blocks, uint16_t atomicBoundary,
                          uint8_t wrprotect = 0, bool fua = false);
// Blocks 0 means from `lba` to the end of the medium.
size_t buildSynchronizeCache16(uint8_t* cdb, uint64_t lba = 0, uint32_t blocks = 0, bool immed = false);
size_t buildUnmap10(uint8_t* cdb, uint16_t parameterListBytes);
// RESET WRITE POINTER of the zone starting at `zoneStartLba`, or of every zone with `all`.
size_t buildResetWritePointer(uint8_t* cdb, uint64_t zoneStartLba, bool all = false);

// UNMAP parameter list: an 8-byte header and one 16-byte descriptor per range.
struct UnmapRange {
  uint64_t lba = 0;
  uint32_t blocks = 0;
};
constexpr size_t unmapParameterListBytes(size_t ranges) {
  return 8 + 16 * ranges;
}
// Writes the list for `count` ranges; returns its length, or 0 when `capacity` is too small or
// the list would not fit the 16-bit length fields.
size_t buildUnmapParameterList(uint8_t* list, size_t capacity, const UnmapRange* ranges, size_t count);
// Number of complete descriptors in a list of `bytes` (bounded by its block-descriptor length);
// -1 when the list is shorter than its header or its header is inconsistent.
int unmapDescriptorCount(const uint8_t* list, size_t bytes);
// Descriptor `index` (below unmapDescriptorCount) of the list.
UnmapRange unmapDescriptor(const uint8_t* list, size_t index);

// The decoded fields of a CDB. `blocks` is the transfer, verification or unmap-list length as the
// command defines it; `protect` is RDPROTECT, WRPROTECT or VRPROTECT. RESET WRITE POINTER puts the
// zone's first LBA in `lba`.
struct ParsedCdb {
  uint8_t opcode = 0;
  bool known = false;  // one of the commands above (ZBC OUT only with RESET WRITE POINTER)
  uint64_t lba = 0;
  uint32_t blocks = 0;
  uint8_t protect = 0;
  uint8_t bytchk = 0;
  uint32_t flags = 0;
  uint16_t atomicBoundary = 0;      // WRITE ATOMIC
  uint16_t parameterListBytes = 0;  // UNMAP
  size_t length = 0;                // CDB length the opcode implies
};

// Decodes `cdb`. 0 on success; -1 when `bytes` is shorter than the opcode's CDB (or zero). An
// unknown opcode is not an error: `known` is false and only `opcode` and `length` are set, so a
// target can answer it with INVALID COMMAND OPERATION CODE.
int parseCdb(const uint8_t* cdb, size_t bytes, ParsedCdb& parsed);

}  // namespace varnox

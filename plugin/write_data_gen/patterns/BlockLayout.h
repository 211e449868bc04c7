#pragma once
// Content of every block the agent writes and of the expected data it hands to a verify.
//
// A block is a copy of one sector bucket. Multi-byte fields are big-endian:
//   bytes 0..2   bucket number (random buckets carry it as their stamp), byte 3 zero
//   bytes 8..15  embedded LBA            (when embedding)
//   byte  16     n = significant bytes of the command identifier (when embedding)
//   bytes 17..   the identifier in n bytes, no leading zero bytes (when embedding)
// Everything else is bucket bytes. In a command buffer block k starts at k * stride; with the
// E2E Condition holding stride is sectorSize + 8, and those 8 bytes are never written here.
#include <cstdint>

namespace cardamor {

// The content of the block cannot be predicted (never written, aborted, zone reset).
inline constexpr uint32_t INVALID_BUCKET = 0x80001;
// A trimmed block: reads as the zero trimBuffer.
inline constexpr uint32_t TRIM_BUCKET = 0xFF0000;
// Every valid bucket number is below this.
inline constexpr uint32_t kBucketLimit = 0x80000;
// Room the header takes with the longest identifier: 17 + 8 bytes.
inline constexpr uint32_t kMaxHeaderBytes = 25;

// What a block read from the drive says about itself.
struct BlockHeader {
  uint32_t bucket = INVALID_BUCKET;
  uint8_t embedValid = 1;
  uint64_t embedCmdId = 0;
  uint64_t embedLba = 0;
};

// Number of significant bytes of a command identifier: 0 for 0, else 1..8.
uint32_t cmdIdLength(uint64_t cmdId);

// Overwrites bytes 8.. of a block with the embedded LBA, the identifier length and the identifier.
void embedLbaAndCmdId(uint8_t* block, uint64_t lba, uint64_t cmdId);

// Overwrites bytes 16.. with the identifier length and the identifier only.
void embedCmdId(uint8_t* block, uint64_t cmdId);

// Decodes a block's header. A bucket of 0x80000 or more becomes INVALID_BUCKET unless its top
// byte is 0xFF (TRIM_BUCKET and its neighbours pass unchanged). embedValid is always 1.
BlockHeader parseBlockHeader(const uint8_t* block);

// 64-bit hash of a block's bytes: h ^= c + 0x9E3779B9 + (h << 6) + (h >> 2) for every byte c.
uint64_t blockHash(const uint8_t* block, uint64_t length);

// Where written data comes from and goes to.
struct WrittenBlocks {
  const uint8_t* buckets = nullptr;  // the sector bucket table
  uint32_t sectorSize = 0;
  uint64_t stride = 0;  // sectorSize, or sectorSize + 8 with the E2E Condition holding
  uint32_t first = 0;   // first bucket
  uint32_t count = 0;   // blocks to build
  bool embed = false;
  uint64_t lba = 0;      // LBA of block 0
  uint32_t lbaStep = 1;  // 2 with skip commands
  uint64_t cmdId = 0;
};

// Builds `count` blocks into dest: block k is bucket first + k, with LBA lba + k * lbaStep and
// the identifier embedded when asked. The caller guarantees dest holds count * stride bytes and
// the table holds bucket first + count - 1.
void buildWrittenBlocks(uint8_t* dest, const WrittenBlocks& blocks);

}  // namespace cardamor

#include "patterns/BlockLayout.h"

#include <bit>
#include <cstring>

namespace cardamor {

namespace {

// Header fields are big-endian; they are read and written as whole 64-bit words.
uint64_t toBigEndian(uint64_t value) {
  if constexpr (std::endian::native == std::endian::little) return __builtin_bswap64(value);
  return value;
}

uint64_t loadBigEndian64(const uint8_t* in) {
  uint64_t value;
  std::memcpy(&value, in, 8);
  return toBigEndian(value);
}

void storeBigEndian64(uint8_t* out, uint64_t value) {
  value = toBigEndian(value);
  std::memcpy(out, &value, 8);
}

// The identifier's n significant bytes, most significant first, in the first bytes of the word
// as it lies in memory (the rest zero): what goes to bytes 17.. of a block.
uint64_t cmdIdBytes(uint64_t cmdId, uint32_t n) {
  return n == 0 ? 0 : toBigEndian(cmdId << (8 * (8 - n)));
}

}  // namespace

uint32_t cmdIdLength(uint64_t cmdId) {
  return cmdId == 0 ? 0 : 8 - static_cast<uint32_t>(__builtin_clzll(cmdId)) / 8;
}

void embedCmdId(uint8_t* block, uint64_t cmdId) {
  const uint32_t n = cmdIdLength(cmdId);
  const uint64_t bytes = cmdIdBytes(cmdId, n);
  block[16] = static_cast<uint8_t>(n);
  std::memcpy(block + 17, &bytes, n);
}

void embedLbaAndCmdId(uint8_t* block, uint64_t lba, uint64_t cmdId) {
  storeBigEndian64(block + 8, lba);
  embedCmdId(block, cmdId);
}

BlockHeader parseBlockHeader(const uint8_t* block) {
  BlockHeader header;
  uint32_t bucket = (uint32_t{block[0]} << 16) | (uint32_t{block[1]} << 8) | block[2];
  if (bucket >= kBucketLimit && (bucket >> 16) != 0xFF) bucket = INVALID_BUCKET;
  header.bucket = bucket;
  header.embedValid = 1;
  header.embedLba = loadBigEndian64(block + 8);
  // The identifier is its n bytes from byte 17 read as one number; a corrupt length above 8
  // keeps the last eight of them. Either way the word read ends by byte 16+255, which every
  // sector holds.
  const uint32_t n = block[16];
  if (n == 0) {
    header.embedCmdId = 0;
  } else if (n <= 8) {
    header.embedCmdId = loadBigEndian64(block + 17) >> (8 * (8 - n));
  } else {
    header.embedCmdId = loadBigEndian64(block + 9 + n);
  }
  return header;
}

uint64_t blockHash(const uint8_t* block, uint64_t length) {
  uint64_t hash = 0;
  for (uint64_t i = 0; i < length; ++i) hash ^= block[i] + 0x9E3779B9ULL + (hash << 6) + (hash >> 2);
  return hash;
}

void buildWrittenBlocks(uint8_t* dest, const WrittenBlocks& blocks) {
  // The identifier is the same in every block of the command: its bytes are made once.
  const uint32_t n = cmdIdLength(blocks.cmdId);
  const uint64_t idBytes = cmdIdBytes(blocks.cmdId, n);
  const uint8_t* source = blocks.buckets + uint64_t{blocks.first} * blocks.sectorSize;
  for (uint32_t k = 0; k < blocks.count; ++k) {
    uint8_t* block = dest + k * blocks.stride;
    std::memcpy(block, source + uint64_t{k} * blocks.sectorSize, blocks.sectorSize);
    if (!blocks.embed) continue;
    storeBigEndian64(block + 8, blocks.lba + uint64_t{k} * blocks.lbaStep);
    block[16] = static_cast<uint8_t>(n);
    std::memcpy(block + 17, &idBytes, n);
  }
}

}  // namespace cardamor

#include "patterns/BlockLayout.h"

#include <cstring>

namespace cardamor {

namespace {

void putBigEndian64(uint8_t* out, uint64_t value) {
  for (int i = 7; i >= 0; --i) {
    out[i] = static_cast<uint8_t>(value);
    value >>= 8;
  }
}

}  // namespace

uint32_t cmdIdLength(uint64_t cmdId) {
  uint32_t n = 0;
  while (cmdId != 0) {
    ++n;
    cmdId >>= 8;
  }
  return n;
}

void embedCmdId(uint8_t* block, uint64_t cmdId) {
  const uint32_t n = cmdIdLength(cmdId);
  block[16] = static_cast<uint8_t>(n);
  for (uint32_t i = 0; i < n; ++i) block[17 + i] = static_cast<uint8_t>(cmdId >> (8 * (n - 1 - i)));
}

void embedLbaAndCmdId(uint8_t* block, uint64_t lba, uint64_t cmdId) {
  putBigEndian64(block + 8, lba);
  embedCmdId(block, cmdId);
}

BlockHeader parseBlockHeader(const uint8_t* block) {
  BlockHeader header;
  uint32_t bucket = (uint32_t{block[0]} << 16) | (uint32_t{block[1]} << 8) | block[2];
  if (bucket >= kBucketLimit && (bucket >> 16) != 0xFF) bucket = INVALID_BUCKET;
  header.bucket = bucket;
  header.embedValid = 1;
  uint64_t lba = 0;
  for (int i = 8; i < 16; ++i) lba = (lba << 8) | block[i];
  header.embedLba = lba;
  // A corrupt length above 8 just shifts the leading bytes out; it never reads past byte 16+255,
  // which every sector holds.
  const uint32_t n = block[16];
  uint64_t cmdId = 0;
  for (uint32_t i = 0; i < n; ++i) cmdId = (cmdId << 8) | block[17 + i];
  header.embedCmdId = cmdId;
  return header;
}

uint64_t blockHash(const uint8_t* block, uint64_t length) {
  uint64_t hash = 0;
  for (uint64_t i = 0; i < length; ++i) hash ^= block[i] + 0x9E3779B9ULL + (hash << 6) + (hash >> 2);
  return hash;
}

void buildWrittenBlocks(uint8_t* dest, const WrittenBlocks& blocks) {
  for (uint32_t k = 0; k < blocks.count; ++k) {
    uint8_t* block = dest + k * blocks.stride;
    std::memcpy(block, blocks.buckets + (uint64_t{blocks.first} + k) * blocks.sectorSize, blocks.sectorSize);
    if (blocks.embed) embedLbaAndCmdId(block, blocks.lba + uint64_t{k} * blocks.lbaStep, blocks.cmdId);
  }
}

}  // namespace cardamor

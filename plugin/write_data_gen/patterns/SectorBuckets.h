#pragma once
// The sector buckets: a table of "Bucket Count" pre-generated sectors from which every write
// copies its data and against which every read is compared, so that per-command work is a copy
// or a compare. Built once by setup (entry/BucketSetup.h), read-only afterwards. Beside it, the
// trim buffer: one sector of zeros, the content of a trimmed block.
#include <cstdint>

namespace cardamor {

class RandomSource;

// Random-mode content of a table of `bucketCount` buckets of `sectorSize` bytes: the bytes of
// successive draws, least significant first (the last draw cut at the end), then every bucket's
// first four bytes replaced by its bucketStamp.
void fillRandomBuckets(uint8_t* table, uint32_t bucketCount, uint32_t sectorSize, RandomSource& random);

// The first four bytes of bucket `bucket` in random mode: its number as 24-bit big-endian, then
// a zero byte, so a block read back names the bucket it was copied from.
void bucketStamp(uint8_t* bucketStart, uint32_t bucket);

// Fills `bytes` bytes of `out` so that byte i is pattern byte (i mod patternBytes).
void tilePattern(uint8_t* out, uint64_t bytes, const uint8_t* pattern, uint64_t patternBytes);

}  // namespace cardamor

#pragma once
// The sector buckets: a table of "Bucket Count" pre-generated sectors from which every write
// copies its data and against which every read is compared, so that per-command work is a copy
// or a compare. Built once by setup, read-only afterwards. Beside it, the trim buffer: one
// sector of zeros, the content of a trimmed block.
//
// Both builders log their own failure at level 2 through the drive's event log and return the
// status; they leave the member absent on failure.
#include <cstdint>

namespace varnox {
class DriveThread;
}

namespace varnox::Cardamor {

struct ConfigData;
struct DriveData;
class RandomSource;

// Builds `drive.sectorBuckets` and seeds `drive.randomSource` (the seed rule of chooseSeed):
//   -1027 "Drive Blocksize reported as zero" when sectorSize x "Bucket Count" is 0 (32-bit);
//   -1002 "Could not allocate sector buckets";
//   -1056 "The xfer_len * driveBlockSize is too large for 32-bit addressing." (user mode, logged
//         through DriveThread::logEvent) when sectorSize x "TestMaxXferLength" exceeds 32 bits.
// The random source is seeded even when the size or allocation failed. Random mode fills the
// table from 64-bit draws and stamps every bucket with bucketStamp; user mode tiles the "Data
// Buffer" pattern (copied under the configuration's dataBufferMutex) and writes no stamp.
int buildSectorBuckets(DriveThread& thread, ConfigData& config, DriveData& drive);

// Builds `drive.trimBuffer`, one zeroed sector; -1002 "Cardamor: Failed memory allocation for
// trim buffer." when the memory cannot be had.
int buildTrimBuffer(DriveThread& thread, DriveData& drive);

// Random-mode content of a table of `bucketCount` buckets of `sectorSize` bytes: the bytes of
// successive draws, least significant first (the last draw cut at the end), then every bucket's
// first four bytes replaced by its bucketStamp.
void fillRandomBuckets(uint8_t* table, uint32_t bucketCount, uint32_t sectorSize, RandomSource& random);

// The first four bytes of bucket `bucket` in random mode: its number as 24-bit big-endian, then
// a zero byte, so a block read back names the bucket it was copied from.
void bucketStamp(uint8_t* bucketStart, uint32_t bucket);

// Fills `bytes` bytes of `out` so that byte i is pattern byte (i mod patternBytes).
void tilePattern(uint8_t* out, uint64_t bytes, const uint8_t* pattern, uint64_t patternBytes);

}  // namespace varnox::Cardamor

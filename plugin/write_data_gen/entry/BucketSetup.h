#pragma once
// Setup's builders of the drive's sector bucket table (see patterns/SectorBuckets.h) and of its
// trim buffer. Both log their own failure at level 2 through the drive's event log and return
// the status; they leave the member absent on failure.
#include <cstdint>

namespace varnox {
class DriveThread;
}

namespace cardamor {

struct ConfigData;
struct DriveData;

// Builds `drive.sectorBuckets` and seeds `drive.randomSource` (the seed rule of chooseSeed):
//   -1027 "Drive Blocksize reported as zero" when sectorSize x "Bucket Count" is 0 (32-bit);
//   -1002 "Could not allocate sector buckets";
//   -1056 "The xfer_len * driveBlockSize is too large for 32-bit addressing." (user mode, logged
//         through DriveThread::logEvent) when sectorSize x "TestMaxXferLength" exceeds 32 bits.
// The random source is seeded even when the size or allocation failed. Random mode fills the
// table from 64-bit draws and stamps every bucket with bucketStamp; user mode tiles the "Data
// Buffer" pattern (copied under the configuration's dataBufferMutex) and writes no stamp.
int buildSectorBuckets(varnox::DriveThread& thread, ConfigData& config, DriveData& drive);

// Builds `drive.trimBuffer`, one zeroed sector; -1002 "Cardamor: Failed memory allocation for
// trim buffer." when the memory cannot be had.
int buildTrimBuffer(varnox::DriveThread& thread, DriveData& drive);

}  // namespace cardamor

#pragma once
// Small steps shared by the write, atomic-write, read and verify issue operations.
#include <cstdint>

namespace varnox {
class DriveThread;
}

namespace cardamor {

struct ConfigData;
struct DriveData;

// Takes the next command identifier.
uint64_t takeCmdId(DriveData& drive);

// Points "WriteData" at `data` without owning it, releasing anything it owned before.
void pointWriteData(DriveData& drive, uint8_t* data, uint64_t size);

// Whether `blocks` blocks of `stride` bytes fit the tag's local write buffer. When they do not
// (the LBA agent produced a length above "TestMaxXferLength", or the buffers were never made),
// logs "Requested transfer does not fit the write buffer: need=%llu bytes, have=%llu bytes,
// TestMaxXferLength=%u" at level 2 and returns -1022; else 0. Building the data anyway would
// overrun the buffer of a command that may still be in flight.
int checkWriteBuffer(varnox::DriveThread& thread, const DriveData& drive, const ConfigData& config,
                     uint32_t tag, uint64_t blocks, uint64_t stride);

// Whether an outstanding write older than `beforeCmdId` (any, with 0) covers a block of the
// contiguous range [lba, lba + blocks). With skip commands a write's extent is counted whole.
bool overlapsOutstandingWrite(const DriveData& drive, const ConfigData& config, uint64_t lba, uint64_t blocks,
                              uint64_t beforeCmdId = 0);

// Moves a write of `len` blocks at `lba` off the ranges of splice checks still open (queued or
// in flight), to just past them or just before them, when it fits within [MinLBA, MaxLBA].
// A write over such a range would heal a torn one before its check's retry read it; where no
// place fits, the write stays and the check's verdict rests on the tries before it.
void steerClearOfSpliceChecks(const DriveData& drive, const ConfigData& config, uint64_t& lba, uint32_t len);

// LBA distance between the blocks of a command.
inline uint32_t lbaStep(bool skip) {
  return skip ? 2 : 1;
}

}  // namespace cardamor

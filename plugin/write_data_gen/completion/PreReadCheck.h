#pragma once
// A pre-read reads blocks before an atomic write over them. Where the agent already knows what
// such a block must hold (a write issued before the pre-read that completed, or an earlier
// pre-read's hash), the pre-read is a read-back like any other: a wrong block fails the run
// there, instead of being hashed and taken as the truth from then on.
#include <cstdint>

namespace varnox {
class DriveThread;
}

namespace cardamor {

struct ConfigData;
struct DriveData;

// Checks the pre-read cmdId's data, `size` bytes of blocks of `lba`, `xferLength` blocks and
// `step` LBAs apart. 0, or -1046 after reporting the first block that differs from what it had
// to hold ("Miscompare Detected at LBA ..." or a hash mismatch, as for a read).
int checkPreReadData(varnox::DriveThread& thread, DriveData& drive, const ConfigData& config, uint64_t cmdId,
                     uint64_t lba, uint32_t xferLength, uint32_t step, const uint8_t* data, uint64_t size);

// Runs the torn-unit checks of pre-reads that waited for older pre-reads over their range, once
// those have completed or are gone. 0, or -1063 after reporting a torn unit.
int checkDeferredPreReads(varnox::DriveThread& thread, DriveData& drive, const ConfigData& config);

}  // namespace cardamor

#pragma once
// Reporting a detected miscompare: optional showstop of the drive, the miscompare LBA handed to
// the device, the trace event, and the drive record's miscompare state (after which no further
// completion is handled and finish writes the data files and the command sequence).
#include <cstdint>

namespace varnox {
class DriveThread;
}

namespace cardamor {

struct ConfigData;
struct DriveData;

// referenceBucket: the bucket expected; driveBucket: the one recognised in the drive's data
// (both INVALID_BUCKET when no block could be recognised, 0 for a drive-reported verify
// miscompare). Always sets miscompareSeen and miscompareLba, also when the showstop fails.
void reportMiscompare(varnox::DriveThread& thread, DriveData& drive, const ConfigData& config, uint64_t lba,
                      uint32_t referenceBucket, uint32_t driveBucket, uint64_t cmdId, uint8_t invalidated);

// Stops the drive at once so that its state can be examined as it was at the miscompare: sets
// the drive's setting to 1, sends the showstop request block and restores the setting when it
// was not 1. Returns the status of the send, or -1053 when the thread has no device.
int issueShowstop(varnox::DriveThread& thread);

}  // namespace cardamor

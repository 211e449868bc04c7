#pragma once
// Compare side of one execute pass: compares every queued read whose racing writes have all
// completed, block by block, against what the LBA history says each block may hold. The first
// failing block ends that read's compare: it is reported (reportMiscompare), its history goes to
// the trace's context text, and for a content difference its drive and expected bytes are kept
// in miscompareDriveBytes / miscompareReferenceBytes for the dump files.
#include <cstdint>

namespace varnox {
class DriveThread;
}

namespace cardamor {

struct ConfigData;
struct DriveData;
struct PendingCompare;

// Returns 0 or the first error (-1046 miscompare, -1063 torn atomic write, -1022/-1057 bad read
// data, or a history status such as -1003), after logging "doCompares(): %s (%d)". A read still
// waiting for an older overlapping write stays queued and does not hold up later reads.
int doCompares(varnox::DriveThread& thread, DriveData& drive, const ConfigData& config);

// Bytes from one block to the next in a read's data: sectorSize, or sectorSize + 8 when the drive
// delivered the 8 protection bytes behind every block (size is then exactly that much).
uint64_t readDataStride(uint64_t size, uint32_t xferLength, uint64_t sectorSize);

// Compares one read whose snapshot has been taken. Blocks are sectorSize apart, or
// sectorSize + 8 when the data holds protection bytes behind every block (never compared).
int dataCompare(varnox::DriveThread& thread, DriveData& drive, const ConfigData& config,
                PendingCompare& pending);

// Reports the atomic unit seen torn at failLba in a read whose blocks were observed against its
// snapshot ("atomic data ordering failure lba:..."), and returns -1063.
int reportTornUnit(varnox::DriveThread& thread, DriveData& drive, const ConfigData& config,
                   const PendingCompare& pending, uint64_t stride, uint64_t failLba);

// Compares one block: 0 when it matches, or when it differs and its content had been
// invalidated; -1046 (after logging the miscompare, the CDB of the last completed tag and
// capturing both blocks) when it differs, or when an invalidated block still reads unchanged.
int compareBlock(varnox::DriveThread& thread, DriveData& drive, const ConfigData& config, uint64_t lba,
                 const uint8_t* driveBlock, const uint8_t* expectedBlock, uint64_t length, bool invalidated);

}  // namespace cardamor

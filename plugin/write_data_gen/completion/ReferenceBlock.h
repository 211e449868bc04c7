#pragma once
// What a compared block must hold: its sector bucket (or the trim buffer) with, when the write
// embedded them, its LBA and command identifier in the header that BlockLayout.h describes.
#include <cstdint>

namespace cardamor {

struct DriveData;

// The expected sectorSize bytes of a block recorded with `bucket`: the bucket itself, the
// trimBuffer for TRIM_BUCKET, null for anything else (not compared by content). With embedded
// values the block is assembled in drive.expectedDataBuffer, which the next call overwrites.
const uint8_t* referenceBlock(DriveData& drive, uint32_t bucket, uint64_t sectorSize, bool embedded,
                              uint64_t embeddedCmdId, uint64_t embeddedLba);

// Whether `block` equals what referenceBlock would return for the same arguments, decided with
// memcmp but without assembling the expected block (the compare's common case: it matches).
// False when the bucket has no predictable content.
bool matchesReferenceBlock(const DriveData& drive, const uint8_t* block, uint32_t bucket, uint64_t sectorSize,
                           bool embedded, uint64_t embeddedCmdId, uint64_t embeddedLba);

}  // namespace cardamor

#include "completion/ReferenceBlock.h"

#include <cstring>

#include "drive/DriveData.h"
#include "patterns/BlockLayout.h"

namespace cardamor {

namespace {

// The stored bytes a block recorded with `bucket` starts from, before any embedding; null when
// its content is unknown (not compared by content).
const uint8_t* bucketSource(const DriveData& drive, uint32_t bucket, uint64_t sectorSize) {
  if (bucket < kBucketLimit) return drive.sectorBuckets.get() + uint64_t{bucket} * sectorSize;
  if (bucket == TRIM_BUCKET) return drive.trimBuffer.get();
  return nullptr;
}

}  // namespace

const uint8_t* referenceBlock(DriveData& drive, uint32_t bucket, uint64_t sectorSize, bool embedded,
                              uint64_t embeddedCmdId, uint64_t embeddedLba) {
  const uint8_t* source = bucketSource(drive, bucket, sectorSize);
  if (source == nullptr || !embedded) return source;
  uint8_t* expected = drive.expectedDataBuffer.get();
  std::memcpy(expected, source, sectorSize);
  embedLbaAndCmdId(expected, embeddedLba, embeddedCmdId);
  return expected;
}

bool matchesReferenceBlock(const DriveData& drive, const uint8_t* block, uint32_t bucket, uint64_t sectorSize,
                           bool embedded, uint64_t embeddedCmdId, uint64_t embeddedLba) {
  const uint8_t* source = bucketSource(drive, bucket, sectorSize);
  if (source == nullptr) return false;
  if (!embedded) return std::memcmp(block, source, sectorSize) == 0;
  // The embedded values lie inside the first 25 bytes: only that head is assembled.
  constexpr uint64_t kHead = 32;
  if (sectorSize < kHead) return false;
  uint8_t head[kHead];
  std::memcpy(head, source, kHead);
  embedLbaAndCmdId(head, embeddedLba, embeddedCmdId);
  return std::memcmp(block, head, kHead) == 0 &&
         std::memcmp(block + kHead, source + kHead, sectorSize - kHead) == 0;
}

}  // namespace cardamor

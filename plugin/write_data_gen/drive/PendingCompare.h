#pragma once
// A completed read waiting for its compare (the drive record's compareQueue). Read completion
// creates it pointing at the host's read buffer of its tag (see keepReadData); the compare driver
// fills in the snapshot of the history the read was issued against just before it compares,
// then destroys the record.
#include <cstdint>
#include <vector>

#include "base/ByteBuffer.h"
#include "history/ReadSnapshot.h"

namespace cardamor {

struct PendingCompare {
  uint64_t cmdId = 0;       // the read's command id
  uint32_t xferLength = 0;  // the read's transfer length in blocks
  uint64_t lba = 0;         // first LBA of the read
  uint32_t blockCount = 0;  // blocks to compare; 0 drops the record without a compare
  uint8_t step = 1;         // LBA distance between blocks: 2 with "Use Skip Commands"
  uint32_t powerEpoch = 0;  // the drive's power epoch when the read completed
  // Older overlapping writes still outstanding when the read completed, ascending. The
  // compare waits until none of them is outstanding any more.
  std::vector<uint64_t> racingWrites;
  // The read data exactly as the host delivered it: the host's own buffer (not owned) until
  // keepReadData copies it, which every pass does before the tag can be issued again.
  ByteBuffer data;
  ReadSnapshot snapshot;  // taken just before the compare
};

}  // namespace cardamor

#pragma once
// Records of the commands the agent has in flight or still owes a read-back for. They live in
// the drive record's lists in insertion order; the issue side appends them, the completion side
// and reset recovery remove them.
#include <cstdint>

namespace cardamor {

// A write, WriteSame, Trim or atomic write sent and not yet completed (outstandingWrites).
struct WriteRecord {
  uint64_t cmdId = 0;
  uint64_t readCmdId = 0;  // read chosen to race this write while it is outstanding; 0 = none
  uint64_t lba = 0;
  uint32_t xferLength = 0;
  uint32_t tag = 0;
  uint8_t readBack = 1;  // still needs a read-back; cleared when a zone reset covers it
  uint8_t atomic = 0;
};

// A read sent and not yet completed (outstandingReads).
struct ReadRecord {
  uint64_t cmdId = 0;
  uint64_t lba = 0;
  uint32_t xferLength = 0;
  uint32_t tag = 0;
  uint8_t spliceSuspect = 0;  // the range may hold a torn write; write completion may set it
  uint8_t retried = 0;
  uint64_t spliceSince = 0;  // splice check: the cmdId of its first failing try; 0 = none failed
};

// A verify sent and not yet completed (outstandingVerifies).
struct VerifyRecord {
  uint64_t cmdId = 0;
  uint64_t lba = 0;
  uint32_t xferLength = 0;
  uint32_t tag = 0;
  uint8_t expectMiscompare = 0;  // the drive should report a miscompare for this range
};

// A range waiting to be read back (pendingReadBacks); served from the front.
struct ReadBackRequest {
  uint64_t cmdId = 0;  // write whose range is to be read; 0 for a re-queued read
  uint64_t lba = 0;
  uint32_t xferLength = 0;
  uint8_t spliceSuspect = 0;  // must be read (never verified) and never slid
  uint8_t retried = 0;        // times a splice-check read was queued again after an abort or error
  uint64_t spliceSince = 0;   // as ReadRecord::spliceSince, carried to the next try
};

// A pre-read of a range an atomic write will go to (outstandingPreReads, finishedPreReads).
struct PreReadRecord {
  uint64_t cmdId = 0;
  uint64_t atomicCmdId = 0;  // atomic write that has taken this range; 0 = none yet
  uint64_t lba = 0;
  uint32_t xferLength = 0;
  uint32_t tag = 0;
  uint32_t atomicBound = 0;  // "AtomicBound" when the pre-read was issued
};

}  // namespace cardamor

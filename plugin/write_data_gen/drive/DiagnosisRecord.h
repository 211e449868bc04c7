#pragma once
// The first data failure of a drive, explained (see completion/Diagnosis.h, which makes it). The
// drive record keeps it until finish hands it to the host.
#include <cstdint>
#include <string>
#include <vector>

#include "history/AtomicContext.h"

namespace cardamor {

struct Diagnosis {
  std::string failure;         // "read", "pre-read", "verify", "hash", "atomic ordering", "splice"
  std::string kind;            // "corrupted", "stale", "lost", "misdirected", "torn", "unrecognisable"
  uint64_t lba = 0;            // the block that failed
  int64_t offset = -1;         // first byte that differs from the reference, -1 without one
  uint64_t bytes = 0;          // bytes that differ from it
  uint64_t checkCmdId = 0;     // the read, pre-read or verify that failed
  uint64_t expectedCmdId = 0;  // the command whose data the block had to hold
  uint64_t foundCmdId = 0;     // the write whose data it holds (stale, misdirected, torn)
  int64_t foundLba = -1;       // misdirected: the LBA the block says it was written for
  std::string text;            // one sentence for people
  std::string driveFile, referenceFile;      // data files written at finish
  std::string noDriveFile, noReferenceFile;  // why one could not be written
  // A verify's block is not returned by the drive: the host reads it back before finish. Until
  // then the history and the expected event of the block are kept here.
  bool awaitingReadBack = false;
  std::vector<AtomicContext::Event> history;
  bool hasExpected = false;
  AtomicContext::Event expected;
};

}  // namespace cardamor

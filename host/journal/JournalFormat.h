#pragma once
// The records of a drive's journal file: numbered from 1, each ending in a checksum of itself,
// so that a reader finds where a record was cut (a kill or a power cut in the middle of a write)
// and trusts nothing from there on. Little-endian, 8-byte aligned:
//   0  u32 magic "VXJR"     4  u32 length (all of it, checksum included)
//   8  u64 sequence         16 u8 type (1 intent, 2 completion)
//   17 u8 kind (intent) or outcome (completion)    18 u16 zero    20 u32 tag
//   24 u64 command identity
//   intent only: 32 u64 lba, 40 u32 blocks, 44 u32 lba stride, 48 u32 atomic unit,
//                52 u32 hash count, 56 hash count x u64 (XXH3 of each block's data as sent;
//                one for WRITE SAME, none for trims, zone resets, syncs and power losses)
//   last 8 bytes: XXH3 of every byte before them
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "varnox/CommandJournal.h"

namespace varnox::journal {

inline constexpr uint32_t kRecordMagic = 0x524A5856;  // "VXJR"
inline constexpr uint8_t kIntentRecord = 1;
inline constexpr uint8_t kCompletionRecord = 2;
inline constexpr size_t kCompletionRecordBytes = 40;

struct JournalRecord {
  uint8_t type = 0;
  uint64_t sequence = 0;
  JournalKind kind = JournalKind::Write;  // intents
  JournalOutcome outcome = JournalOutcome::Done;  // completions
  uint32_t tag = 0;
  uint64_t identity = 0;
  uint64_t lba = 0;
  uint32_t blocks = 0;
  uint32_t lbaStride = 1;
  uint32_t atomicUnit = 0;
  std::vector<uint64_t> hashes;
};

// The hash the journal keeps of a block's data.
uint64_t blockHash(const uint8_t* data, size_t bytes);

// How many hashes an intent of this kind keeps.
uint32_t intentHashCount(const JournalIntent& intent);
size_t intentRecordBytes(const JournalIntent& intent);

// Encode into `dest` (at least the record's bytes); returns the bytes written. An intent's
// hashes are taken here, of `intent.blockBytes` bytes of each block.
size_t encodeIntent(uint8_t* dest, uint64_t sequence, uint64_t identity, const JournalIntent& intent);
size_t encodeCompletion(uint8_t* dest, uint64_t sequence, uint64_t identity, JournalOutcome outcome);

// What a journal file holds: the records up to the first one that is cut, damaged or out of
// sequence, and whether anything (other than zeros) follows them.
struct JournalContents {
  std::vector<JournalRecord> records;
  bool tornTail = false;
  uint64_t validBytes = 0;
};

JournalContents decodeJournal(const uint8_t* bytes, size_t size);
// Reads a journal file; false with `error` naming the path when it cannot be read.
bool readJournalFile(const std::string& path, JournalContents& contents, std::string& error);

}  // namespace varnox::journal

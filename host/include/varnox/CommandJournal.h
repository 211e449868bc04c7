#pragma once
// The one hook through which a drive's command steps tell the journal what they send: the intent
// of every command that changes what the drive holds, before it is sent, and how it ended. The
// journal (host/journal/) implements it; the steps know nothing else of it.
#include <cstdint>

namespace varnox {

// What a journaled command does to the blocks it names.
enum class JournalKind : uint8_t {
  Write = 1,       // WRITE: each block its own data
  WriteSame = 2,   // WRITE SAME: every block the one block of data
  Trim = 3,        // UNMAP: zeros or the old data
  Atomic = 4,      // WRITE ATOMIC: all or nothing per atomic unit
  ZoneReset = 5,   // RESET WRITE POINTER: the zone reads as zeros
  SyncCache = 6,   // SYNCHRONIZE CACHE: no blocks; covers every write completed before it
  PowerLoss = 7,   // the drive lost power (a toggle or its own): a volatile cache lost what no
                   // sync had covered, so a later sync covers nothing completed before it
};

// A command about to be sent. `data` holds `blocks` blocks `dataStride` bytes apart (one block for
// WRITE SAME, none for the others), of which the first `blockBytes` are the block's data.
struct JournalIntent {
  JournalKind kind = JournalKind::Write;
  uint32_t tag = 0;
  uint64_t lba = 0;
  uint32_t blocks = 0;
  uint32_t lbaStride = 1;   // block k is at lba + k * lbaStride
  uint32_t atomicUnit = 0;  // WRITE ATOMIC: blocks per unit, counted from lba; 0 the whole write
  const uint8_t* data = nullptr;
  uint64_t dataStride = 0;
  uint32_t blockBytes = 0;
};

// How a journaled command ended: with its data on the drive (GOOD, RECOVERED ERROR), with an error
// (its blocks may hold old or new data), or lost unsent or in flight to a power toggle or reset.
enum class JournalOutcome : uint8_t { Done = 0, Failed = 1, Lost = 2 };

class CommandJournal {
 public:
  virtual ~CommandJournal() = default;
  // Records the intent and returns its command identity. The command may be sent once
  // durable(identity) holds; until then the caller holds it back and goes on with other work.
  virtual uint64_t recordIntent(const JournalIntent& intent) = 0;
  virtual bool durable(uint64_t identity) const = 0;
  // Blocks until durable(identity): the caller has nothing else to do.
  virtual void waitDurable(uint64_t identity) = 0;
  // Records how a command ended; never waits for the record to be durable.
  virtual void recordCompletion(uint64_t identity, JournalOutcome outcome) = 0;
  // Records that the drive lost power; never waits either.
  virtual void recordPowerLoss() = 0;
  // False once the journal could not record (its file system full, an I/O error): the drive must
  // stop, as a command sent now would not be journaled. `error` says why.
  virtual bool healthy(const char** error) const = 0;
};

}  // namespace varnox

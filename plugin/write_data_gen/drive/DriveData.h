#pragma once
// The agent's per-drive record: the drive variables it shares with the host and the other
// agents of the flow, and all of its state for that drive between calls. Touched only from the
// drive's own thread, so nothing here locks (the two range queues lock themselves).
//
// Lifecycle: registerDriveVariables creates and maps it; setupTest fills the trace, buckets and
// buffers; the first execute pass runs and destroys `deferredSetup`; deleteDriveData releases
// whatever exists, so a record whose setup failed part-way is released safely.
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <vector>

#include "base/ByteArray.h"
#include "base/ByteBuffer.h"
#include "base/CommandRecords.h"
#include "base/RecordList.h"
#include "drive/DiagnosisRecord.h"
#include "drive/PendingCompare.h"
#include "history/AtomicContext.h"
#include "patterns/RandomSource.h"
#include "trace/CommandTrace.h"
#include "varnox/Buffer.h"
#include "varnox/LBARangeQueue.h"
#include "varnox/TaggedBuffer.h"

namespace varnox {
class DriveThread;
}

namespace cardamor {

struct ConfigData;
struct DriveData;

// The one-shot step that setup leaves for the first execute pass (allocateLocalWriteBuffers).
using DeferredSetup = std::function<int(varnox::DriveThread*, DriveData*, const ConfigData*)>;

struct DriveData {
  // --- drive variables; pointers owned by the drive thread, valid while the record lives.
  uint64_t* lba = nullptr;                            // "LBA"
  uint32_t* xferLength = nullptr;                     // "XferLength"
  uint32_t* testMaxXferLength = nullptr;              // "TestMaxXferLength"
  uint64_t* maxLba = nullptr;                         // "MaxLBA"
  uint64_t* minLba = nullptr;                         // "MinLBA"
  varnox::Buffer* writeData = nullptr;                // "WriteData"
  varnox::Buffer* lastErrSenseData = nullptr;         // "LastErrSenseData"
  varnox::TaggedBuffer* cdb = nullptr;                // "CDB[TagID]"
  varnox::TaggedBuffer* recvCdb = nullptr;            // "RecvCDB[TagID]"
  varnox::TaggedBuffer* parameterList = nullptr;      // "ParameterList[TagID]"
  varnox::TaggedBuffer* readDataPtr = nullptr;        // "ReadDataPtr[TagID]"
  uint32_t* skipGen = nullptr;                        // "SkipGen"
  uint32_t* epo = nullptr;                            // "EPO"
  uint32_t* lastTagId = nullptr;                      // "LastTagID"
  uint32_t* deviceInterface = nullptr;                // "DeviceInterface"
  uint32_t* readDataIsValid = nullptr;                // "ReadDataIsValid"
  uint32_t* lastStatusByte = nullptr;                 // "LastStatusByte"
  uint32_t* bucketIndex = nullptr;                    // "BucketIndex"
  uint32_t* atomicBound = nullptr;                    // "AtomicBound"
  bool* deviceReset = nullptr;                        // "DeviceReset"
  uint32_t* writeCacheVolatile = nullptr;             // "WriteCacheVolatile": the host says a power loss may lose unsynchronized writes
  // A slice of a drive: the host numbers the completions it hands over ("CompletionNumber") and
  // says up to which number the other slices' syncs made this slice's writes durable
  // ("SyncedCompletions", and "SyncedCompletionsBeforePowerOn" for syncs that completed before
  // the power loss "EPO" reports). Null on a drive of one slice.
  uint64_t* completionNumber = nullptr;
  uint64_t* syncedCompletions = nullptr;
  uint64_t* syncedCompletionsBeforePowerOn = nullptr;
  uint64_t* pendingReadBackBlocks = nullptr;          // "PendingReadBackBlocks": written blocks not yet read back, set at finish
  varnox::Buffer* diagnosisText = nullptr;            // "Diagnosis": key=value lines for the host, set at finish
  uint64_t* diagnosisReadLba = nullptr;               // "DiagnosisReadLBA": a block the host reads back before finish
  varnox::Buffer* diagnosisReadData = nullptr;        // "DiagnosisReadData": what that read returned
  uint64_t* writeLba = nullptr;                       // "WriteLBA"
  uint32_t* writeXferLength = nullptr;                // "WriteXferLength"
  uint32_t* writeCmdUsed = nullptr;                   // "WriteCmdUsed"
  varnox::LBARangeQueue* csZoneReset = nullptr;       // "CSZoneReset"; null after setup when no agent writes it
  varnox::LBARangeQueue* invalidateRanges = nullptr;  // "CardamorInvalidateRanges"; likewise
  uint32_t* hostManaged = nullptr;                    // "HostManaged"

  // --- state
  uint64_t nextCmdId = 1;                      // 0 means no command
  // A pre-read's torn-unit check that waits for older pre-reads over its range: their hashes
  // may be all the agent will know of the content before an atomic write (PreReadCheck.h).
  struct DeferredOrdering {
    uint64_t cmdId = 0;
    uint64_t lba = 0;
    uint32_t xferLength = 0;
    uint32_t step = 1;
    std::vector<uint8_t> data;
    std::vector<bool> raced;           // per block: an older write was in flight over it
    std::vector<uint64_t> lbas;        // the blocks the history knew at the pre-read's completion
    std::vector<uint64_t> awaiting;    // the older pre-reads still out
  };
  std::vector<DeferredOrdering> deferredOrderings;
  ByteArray sectorBuckets;                     // bucketCount x sectorSize bytes
  ByteArray expectedDataBuffer;                // "TestMaxXferLength" x sectorSize bytes
  ByteArray trimBuffer;                        // one sectorSize of zeros
  bool setSkipGen = true;
  std::vector<ByteArray> localWriteBuffers;    // one per tag, made by the deferred setup
  SmallObjectPool listNodes;                   // the lists' nodes; declared before them to outlive them
  RecordList<PreReadRecord> finishedPreReads{NodeAllocator<PreReadRecord>(&listNodes)};
  RecordList<PreReadRecord> outstandingPreReads{NodeAllocator<PreReadRecord>(&listNodes)};
  RecordList<ReadRecord> outstandingReads{NodeAllocator<ReadRecord>(&listNodes)};
  RecordList<VerifyRecord> outstandingVerifies{NodeAllocator<VerifyRecord>(&listNodes)};
  RecordList<WriteRecord> outstandingWrites{NodeAllocator<WriteRecord>(&listNodes)};
  RecordList<ReadBackRequest> pendingReadBacks{NodeAllocator<ReadBackRequest>(&listNodes)};
  RecordList<PendingCompare> compareQueue{NodeAllocator<PendingCompare>(&listNodes)};
  // Read-data copies of compared reads, kept for the next completions so that a read in
  // steady state does not allocate (see recycleReadData).
  std::vector<ByteBuffer> spareReadData;
  AtomicContext atomicContext;
  std::unique_ptr<CommandTrace> commandTrace;
  RandomSource randomSource;
  bool lastChoiceWasRead = false;
  bool syncCacheOutstanding = false;
  bool syncCacheSucceeded = false;
  bool miscompareSeen = false;
  bool spliceDetected = false;
  uint64_t miscompareLba = 0;
  uint64_t readsBeforeOlderWrite = 0;          // reads that completed before an older overlapping write
  std::unique_ptr<Diagnosis> diagnosis;        // the first failure, explained
  std::unique_ptr<ByteBuffer> miscompareReferenceBytes;
  std::unique_ptr<ByteBuffer> miscompareDriveBytes;
  double lastPowerEventMs = 0;
  // Writes with a command id below syncedBelowCmdId were issued before a sync cache that
  // completed GOOD, so a power loss cannot take them back; syncCacheFromCmdId is that bound for
  // the sync cache in flight.
  uint64_t syncCacheFromCmdId = 0;
  uint64_t syncedBelowCmdId = 0;
  // Writes still in flight when the sync cache was sent: it need not cover them (they may reach
  // the cache after it flushed). For the sync in flight, and for the last one that completed
  // (exceptions below syncedBelowCmdId); sorted.
  std::vector<uint64_t> syncCacheSkipsCmdIds;
  std::vector<uint64_t> unsyncedBelowCmdIds;
  // A slice's recent write completions (their number, their command id), so that another
  // slice's sync, which covers the completions up to a number, can be turned into a command id
  // bound; the oldest are forgotten beyond kSliceSyncWindow, and forgottenCompletions is the
  // highest number forgotten (a sync that covers less is dropped).
  std::deque<std::pair<uint64_t, uint64_t>> recentWriteCompletions;
  uint64_t forgottenCompletions = 0;
  // Power-ons seen so far. A completed read remembers the epoch it completed in, so that its
  // compare ignores what later power cuts made uncertain.
  uint32_t powerEpoch = 0;
  // Another writer's commands in flight, as handed over when sent: the same range handed over
  // again is that command's outcome (they never overlap while in flight).
  std::vector<varnox::LBARange> foreignWritesInFlight;
  uint32_t deviceProperty4241 = 0xFFFFFFFF;
  std::unique_ptr<DeferredSetup> deferredSetup;

  DriveData() = default;
  DriveData(const DriveData&) = delete;
  DriveData& operator=(const DriveData&) = delete;
};

// Creates the record for `thread` and maps its 29 drive variables in order. Every mapping is
// attempted even after one failed; the record is registered with the thread only when all
// succeeded. Returns 0 (the host now owns the record), -1002 when it cannot be allocated, the
// mapping error, or the registration status; on failure the record is destroyed here.
int registerDriveVariables(varnox::DriveThread* thread);

// The buffer for a completed read's data copy: a spare one from an earlier compare when there is
// one (its capacity kept, its content stale), else an empty one.
ByteBuffer takeReadData(DriveData& drive);

// Gives the read that completed in this pass, if it is still queued for its compare, its own
// copy of the data: until then it compares straight from the host's read buffer of its tag, which
// is free for the next command once the pass ends. At most one read completes per pass, so only
// the queue's last record can still borrow. Returns 0, or -1002 when the copy finds no memory.
int keepReadData(DriveData& drive);

// Keeps a compared read's data buffer for a later read. At most eight are kept: in steady state
// each completed read takes one back, and more would only hold memory after a burst.
void recycleReadData(DriveData& drive, ByteBuffer&& data);

// Bytes of one local write buffer, as setup's allocateLocalWriteBuffers sizes it.
uint64_t localWriteBufferBytes(const varnox::DriveThread& thread, const DriveData& drive,
                               const ConfigData& config);

// Releases a record made by registerDriveVariables: the trace, the bucket table, the expected
// and trim buffers, the miscompare buffers, the local write buffers, a deferred setup that
// never ran, then the rest of the record. `record` must not be null.
void deleteDriveData(DriveData* record);

}  // namespace cardamor

#pragma once
// What a data failure says about the drive: the failing block's embedded header and the LBA's
// history decide whether it was corrupted in place, is an older write of the LBA (stale), reads
// as zeros (lost), carries another LBA (misdirected), is part of one write and part of another
// (torn), or is unrecognisable. The first failure of a drive is kept in its record; finish hands
// it to the host as key=value lines in the "Diagnosis" drive variable (see DriveThread.h).
#include <cstdint>
#include <string>
#include <vector>

#include "drive/DiagnosisRecord.h"
#include "history/AtomicContext.h"

namespace varnox {
class DriveThread;
}

namespace cardamor {

struct ByteBuffer;
struct ConfigData;
struct DriveData;
struct PendingCompare;

// The drive's diagnosis, made on its first failure; later failures keep the first one.
Diagnosis& startDiagnosis(DriveData& drive, const char* failure, uint64_t lba, uint64_t checkCmdId);

// Classifies the block read at lba against the event it had to hold (`expected`, may be null)
// and the LBA's other events (`history`, newest first), filling kind, text, offset and bytes.
void diagnoseBlock(varnox::DriveThread& thread, DriveData& drive, const ConfigData& config, Diagnosis& d,
                   uint64_t lba, const uint8_t* block, const std::vector<AtomicContext::Event>& history,
                   const AtomicContext::Event* expected);

// A read's block that failed its compare: diagnoseBlock against the Node's expected event. A
// block whose content had been invalidated and still reads unchanged is stale.
void diagnoseReadBlock(varnox::DriveThread& thread, DriveData& drive, const ConfigData& config,
                       uint64_t checkCmdId, uint64_t lba, const uint8_t* block,
                       const AtomicContext::Node& node, bool invalidated);

// A block whose hash differs from the one a pre-read took: the drive's block is captured; there
// is no reference block, only the hash.
void diagnoseHashBlock(varnox::DriveThread& thread, DriveData& drive, const ConfigData& config,
                       const char* failure, uint64_t checkCmdId, uint64_t lba, const uint8_t* block,
                       const std::vector<AtomicContext::Event>& history,
                       const AtomicContext::Event* expected);

// An atomic unit seen torn at failLba: older data there, the unit's data next to it. Captures
// the drive's block at failLba and the unit's version of it.
void diagnoseTornUnit(varnox::DriveThread& thread, DriveData& drive, const PendingCompare& pending,
                      uint64_t stride, uint64_t failLba);

// A verify the drive failed at lba: its history (copied before the verify released it) names
// the expected event, whose block is captured as the reference; the drive's block is asked of
// the host through "DiagnosisReadLBA" and classified at finish (finishReadBack).
void awaitVerifyBlock(varnox::DriveThread& thread, DriveData& drive, Diagnosis& d,
                      std::vector<AtomicContext::Event> history, uint64_t verifyCmdId);

// At finish: takes the block the host read back, if one was asked for, as the drive's bytes and
// classifies it; without it says why there is no drive file.
void finishReadBack(varnox::DriveThread& thread, DriveData& drive, const ConfigData& config);

// The event a read of a Node had to see: the observed one, else the newest finished one; null
// when there is none. Mirrors expectedFromNode, which returns a view without the command id.
const AtomicContext::Event* expectedEventOf(const AtomicContext::Node& node);

// A copy of the LBA's history in the table, newest first (empty without a record).
std::vector<AtomicContext::Event> historyOf(const AtomicContext& context, uint64_t lba);

// Copies `length` bytes into a capture buffer (a buffer pointing at foreign memory is emptied
// first). Without memory the capture is left out.
void captureBytes(ByteBuffer& buffer, const uint8_t* bytes, uint64_t length);

// The key=value lines the host reads: the diagnosis when there is one, and `dumpReason` when a
// sequence dump was kept although nothing failed.
std::string diagnosisText(const Diagnosis* d, const std::string& dumpReason);

}  // namespace cardamor

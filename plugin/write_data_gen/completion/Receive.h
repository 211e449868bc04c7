#pragma once
// The receive handlers: one per kind of command, each ending the life of the command that the
// host reports through "LastTagID" and "LastStatusByte" (the dispatcher picks the handler by
// the kind of the tag's last trace event). Each returns 0 or an error that ends the pass; a
// failing handler has already logged its own line.
#include <cstdint>

#include "trace/CommandTrace.h"

namespace varnox {
class DriveThread;
}

namespace cardamor {

struct ConfigData;
struct DriveData;

// Write, WriteSame, Trim and atomic write: updates the history and decides whether and how the
// range is read back (normally, as a splice check, or not at all).
int recvWrite(varnox::DriveThread& thread, DriveData& drive, const ConfigData& config, const TagState& state);

// Read: splice-check verdicts, racing-write detection and the hand-over of the data to the
// compare queue.
int recvRead(varnox::DriveThread& thread, DriveData& drive, const ConfigData& config, const TagState& state);

// Pre-read ahead of an atomic write: records a hash event for every block it read.
int recvPreRead(varnox::DriveThread& thread, DriveData& drive, const ConfigData& config,
                const TagState& state);

// Verify: judges the drive's answer against what the history expected; -1046 on a miscompare.
int recvVerify(varnox::DriveThread& thread, DriveData& drive, const ConfigData& config,
               const TagState& state);

// Sync cache: clears syncCacheOutstanding and sets syncCacheSucceeded on GOOD status.
void recvSyncCache(DriveData& drive, const ConfigData& config);

// LBA distance between the blocks of a command: 2 with "Use Skip Commands", else 1.
uint32_t blockStep(const ConfigData& config);

}  // namespace cardamor

#pragma once
// The command sequence dump: the drive's traced events as a text file written at test finish.
// After a miscompare the file starts with the events that touch the failing LBA (or share its
// media block), then the trace's context text (the failing LBA's history), then the full
// retained sequence. Idx is an event's position among the retained events, so one event has
// the same Idx in both tables.

#include <cstdint>
#include <cstdio>
#include <string>

namespace varnox {
class DriveThread;
}

namespace cardamor {

class CommandTrace;

// Writes the dump to `path` (opened with openUniqueFile, options 7; `path` is updated to the
// name really opened) and logs the outcome in the thread's event log. Returns the opening
// status (0 or the work-around it needed) when written, -1052 when no file could be opened.
// missLba is the failing LBA; mediaMask maps an LBA to its media block (all ones: no media
// block information). A null trace is dumped as an empty one.
int dumpSequence(const CommandTrace* trace, varnox::DriveThread* thread, std::string& path, bool miscompare,
                 uint64_t missLba, uint64_t mediaMask);

// Writes one table to `stream`: the filtered (miscompare) table or the full one.
void printSequence(const CommandTrace* trace, FILE* stream, bool filtered, bool miscompare, uint64_t missLba,
                   uint64_t mediaMask);

}  // namespace cardamor

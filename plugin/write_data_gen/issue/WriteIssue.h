#pragma once
// Issue of a normal write, WriteSame or Trim: picks the kind the test wants, applies its
// Condition, builds the blocks in the tag's local buffer, points "WriteData" at them, records
// every LBA in the history and the issue in the trace, and appends a WriteRecord.
#include <cstdint>

#include "issue/CommandSelection.h"

namespace varnox {
class DriveThread;
}

namespace cardamor {

struct ConfigData;
struct DriveData;

// 0, or (after logging "doAWrite(): %s (%d)") -1022 for a length of "Bucket Count" or more or
// one the tag's buffer cannot hold, -1050 when no kind or more than one is chosen, or the
// history's status. The WriteRecord is appended in every case.
int doAWrite(varnox::DriveThread& thread, DriveData& drive, const ConfigData& config, uint32_t tag,
             const readSelectionFlags& sel);

}  // namespace cardamor

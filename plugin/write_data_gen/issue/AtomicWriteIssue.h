#pragma once
// Issue of an atomic write. To judge later whether each atomic unit was applied all or nothing,
// the history must know what the blocks held before; when it does not, the range is pre-read
// first and the atomic write goes to a pre-read range on a later pass.
#include <cstdint>

#include "issue/CommandSelection.h"

namespace varnox {
class DriveThread;
}

namespace cardamor {

struct ConfigData;
struct DriveData;

// Either issues a pre-read (returns 0) or prepares the atomic write: "LBA", "XferLength" and
// "AtomicBound" are taken from a pre-read when the proposed range is not fully known. 0, or
// (after logging "doAWriteAtomic(): %s (%d)") -1022 for a length of "Bucket Count" or more or
// one the tag's buffer cannot hold, or the history's status.
int doAWriteAtomic(varnox::DriveThread& thread, DriveData& drive, const ConfigData& config, uint32_t tag,
                   const readSelectionFlags& sel);

// Reads the range "LBA"/"XferLength" hold: traces it, appends a PreReadRecord and applies the
// Read Condition. Registers nothing with the history (its completion adds hash events). 0.
int issuePreRead(varnox::DriveThread& thread, DriveData& drive, const ConfigData& config, uint32_t tag);

}  // namespace cardamor

#pragma once
// Issue of a read or verify: picks the range to check (the oldest pending read-back, else the
// oldest outstanding write without a read), decides between a read (the agent compares the
// data) and a verify (the drive compares against data the agent supplies), sets "LBA" and
// "XferLength", applies the Condition, registers the LBAs with the history, traces the issue
// and remembers the command until it completes.
#include <cstdint>

#include "issue/CommandSelection.h"

namespace varnox {
class DriveThread;
}

namespace cardamor {

struct ConfigData;
struct DriveData;
struct ReadBackRequest;
struct WriteRecord;

// 0, or -1050 when both or neither of read and verify are chosen, or the status of doARead /
// doAVerify (-1200 when there was nothing to read).
int doAReadOrVerify(varnox::DriveThread& thread, DriveData& drive, const ConfigData& config, uint32_t tag,
                    const readSelectionFlags& sel);

// Exactly one of request and write is given, or neither after a failed selection (-1200).
// The read may be slid (see slideRead); source blocks it leaves out are released with readSkip,
// blocks beyond the source are registered without an expectation.
int doARead(varnox::DriveThread& thread, DriveData& drive, const ConfigData& config, uint32_t tag,
            uint64_t cmdId, const ReadBackRequest* request, const WriteRecord* write);

// Verifies the first run of known blocks of the source range (the whole range, expecting a
// miscompare, when none is known). Source blocks outside the run are released with readSkip.
int doAVerify(varnox::DriveThread& thread, DriveData& drive, const ConfigData& config, uint32_t tag,
              uint64_t cmdId, const ReadBackRequest* request, const WriteRecord* write);

// With bit 62 of a random draw set, the read takes the current "XferLength" and a random start
// that still covers the source's first block (when longer) or stays inside the source (when
// shorter), within "MinLBA".."MaxLBA"; with skip it stays on the source's LBA parity.
void slideRead(DriveData& drive, uint64_t& lba, uint32_t& xferLength, bool skip);

// Builds the verify's expected data in the tag's local buffer from the history's current
// expectation of each LBA of [lba, lba + count) and points "WriteData" at it. The caller has
// checked that the tag's buffer holds count blocks of the stride (doAVerify refuses with -1022).
void buildVerifyData(varnox::DriveThread& thread, DriveData& drive, const ConfigData& config, uint64_t cmdId,
                     uint32_t tag, uint64_t lba, uint32_t count);

}  // namespace cardamor

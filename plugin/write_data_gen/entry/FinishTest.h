#pragma once
// Ends a drive's test: points "WriteData" at the bucket table and writes the output files that
// the test's outcome calls for. Files are named <base>_trace_<drive>.txt, <base>_drive_<drive>.bin
// and <base>_reference_<drive>.bin, base being "Miscompare Output Path" ("./datacompare" when
// empty); each is opened with openUniqueFile, so an earlier run's file is never overwritten.
//   - after a miscompare: the sequence dump (filtered around the failing LBA), then the drive's
//     bytes, then the expected bytes of the failing block, in that order;
//   - otherwise, after a write splice or with "Always Dump Sequence": the full sequence only;
//   - otherwise nothing, and nothing is logged.
// A data file is written only when its block was captured: never an empty one. The diagnosis
// (with the files written, or why one was not) goes to the "Diagnosis" variable, and so does why
// a run without a failure kept its sequence dump.
// A file that cannot be opened is logged and skipped; finish never fails the test.
#include <cstdint>

namespace varnox {
class DriveThread;
}

namespace cardamor {

struct ConfigData;
struct DriveData;

// Does nothing when any of the three is null.
void finishTest(varnox::DriveThread* thread, ConfigData* config, DriveData* drive);

// Mask that maps an LBA to its media (physical) block: with n = physical block bytes divided by
// the sector size (unsigned 32-bit), ~(n - 1) as an unsigned 32-bit value, upper half zero.
// All ones when the sector or physical size is unknown (zero).
uint64_t mediaBlockMask(const varnox::DriveThread& thread);

}  // namespace cardamor

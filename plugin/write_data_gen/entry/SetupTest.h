#pragma once
// Per-drive test setup, run once before the drive's flow starts: validates the configuration,
// creates the command trace, builds the sector buckets, the trim buffer and the miscompare
// buffers, seeds the random source, and leaves `deferredSetup` for the first execute pass.
//
// Every check runs even after an earlier one failed; each failure logs its message and
// replaces the status, so the last failing check decides the result. What setup created stays
// in the record for deleteDriveData, also when setup fails.
//
// A transfer length above "TestMaxXferLength" is not refused here: setup only sizes buffers
// from it, and the issue side refuses a larger write (-1022) before touching a buffer.
#include <cstdint>

namespace varnox {
class DriveThread;
}

namespace cardamor {

struct ConfigData;
struct DriveData;

// 0 when the drive can run the test, otherwise the status of the last failing check.
int setupTest(varnox::DriveThread* thread, ConfigData* config, DriveData* drive);

// The deferred step: one local write buffer per tag of "TestMaxXferLength" x (block size +
// protection-information bytes when enabled + 8 when the E2E Condition is set) bytes. Every
// tag is attempted; -1002 (logged "Cardamor: Failed memory allocation of local write buffers")
// when any allocation failed, else 0.
int allocateLocalWriteBuffers(varnox::DriveThread* thread, DriveData* drive, const ConfigData* config);

}  // namespace cardamor

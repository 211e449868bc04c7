#pragma once
// Completion side of one execute pass: hands the command that the host reports through
// "LastTagID", "LastStatusByte" and "LastErrSenseData" to the receive handler of the kind of
// command last issued on that tag. Returns 0, or the handler's error, which ends the pass.
// Once a miscompare has been reported no further completion is handled.
namespace varnox {
class DriveThread;
}

namespace cardamor {

struct ConfigData;
struct DriveData;

int dispatchCompletion(varnox::DriveThread& thread, DriveData& drive, const ConfigData& config);

}  // namespace cardamor

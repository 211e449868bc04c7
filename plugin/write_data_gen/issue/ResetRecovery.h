#pragma once
// Reset recovery: every outstanding command of the drive is treated as lost (tags freed, reads
// re-queued, writes aborted in the history and queued for read-back where needed). Always 0.
namespace varnox {
class DriveThread;
}

namespace cardamor {

struct ConfigData;
struct DriveData;

int handleReset(varnox::DriveThread& thread, const ConfigData& config, DriveData& drive);

}  // namespace cardamor

#pragma once
// Runs one pass of the agent on a drive: deferred setup, power event, queued range resets and
// invalidations, the completion of the last command, due compares, and the choice of the next
// command. Returns the first non-zero status.
namespace varnox {
class DriveThread;
}

namespace cardamor {

struct ConfigData;
struct DriveData;

int execute(varnox::DriveThread& thread, const ConfigData& config, DriveData& drive);

}  // namespace cardamor

#pragma once
// Runs one pass of the agent on a drive: deferred setup, power event, queued range resets and
// invalidations, the completion of the last command, due compares, and the choice of the next
// command. Returns the first non-zero status.
namespace varnox {
class DriveThread;
}

namespace varnox::Cardamor {

struct ConfigData;
struct DriveData;

int execute(DriveThread& thread, const ConfigData& config, DriveData& drive);

}  // namespace varnox::Cardamor

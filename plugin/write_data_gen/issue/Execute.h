#pragma once
// Runs one pass of the agent on a drive: completions, compares and the choice of the next command.
namespace varnox {
class DriveThread;
}

namespace varnox::Cardamor {

struct ConfigData;
struct DriveData;

int execute(DriveThread* thread, ConfigData* config, DriveData* drive);

}  // namespace varnox::Cardamor

#pragma once
// Power toggle: every outstanding command is recorded as aborted, then the PowerToggle
// Condition selects the flow's power-toggle step.
namespace varnox {
class DriveThread;
}

namespace varnox::Cardamor {

struct ConfigData;
struct DriveData;

void powerToggle(DriveThread& thread, DriveData& drive, const ConfigData& config);

}  // namespace varnox::Cardamor

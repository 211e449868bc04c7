#pragma once
// Power toggle: every outstanding command is recorded as aborted, then the PowerToggle
// Condition selects the flow's power-toggle step.
namespace varnox {
class DriveThread;
}

namespace cardamor {

struct ConfigData;
struct DriveData;

void powerToggle(varnox::DriveThread& thread, DriveData& drive, const ConfigData& config);

}  // namespace cardamor

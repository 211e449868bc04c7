#pragma once
// Reset recovery: every outstanding command of the drive is treated as lost; always returns 0.
namespace varnox {
class DriveThread;
}

namespace varnox::Cardamor {

struct ConfigData;
struct DriveData;

int handleReset(DriveThread* thread, ConfigData* config, DriveData* drive);

}  // namespace varnox::Cardamor

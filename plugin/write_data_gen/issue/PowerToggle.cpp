#include "issue/PowerToggle.h"

namespace varnox::Cardamor {

void powerToggle(DriveThread& /*thread*/, DriveData& /*drive*/, const ConfigData& /*config*/) {}

}  // namespace varnox::Cardamor

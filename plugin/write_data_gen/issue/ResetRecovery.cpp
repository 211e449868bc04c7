#include "issue/ResetRecovery.h"

namespace varnox::Cardamor {

int handleReset(DriveThread& /*thread*/, const ConfigData& /*config*/, DriveData& /*drive*/) { return 0; }

}  // namespace varnox::Cardamor

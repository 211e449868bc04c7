#include "issue/Execute.h"

namespace varnox::Cardamor {

int execute(DriveThread& /*thread*/, const ConfigData& /*config*/, DriveData& /*drive*/) { return 0; }

}  // namespace varnox::Cardamor

#include "issue/ResetRecovery.h"

namespace varnox::Cardamor {

int handleReset(DriveThread* /*thread*/, ConfigData* /*config*/, DriveData* /*drive*/) {
  return 0;
}

}  // namespace varnox::Cardamor

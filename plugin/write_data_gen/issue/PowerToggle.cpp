#include "issue/PowerToggle.h"

#include "base/ConfigData.h"
#include "drive/DriveData.h"
#include "issue/ResetRecovery.h"
#include "trace/CommandTrace.h"
#include "varnox/Condition.h"
#include "varnox/DriveThread.h"

namespace cardamor {

void powerToggle(varnox::DriveThread& thread, DriveData& drive, const ConfigData& config) {
  // Everything in flight dies with the power: account for it before the cut is requested.
  handleReset(thread, config, drive);
  varnox::applyCondition(config.powerToggleCondition, thread.conditionMask());
  if (drive.commandTrace) drive.commandTrace->recordPowerToggleOff();
}

}  // namespace cardamor

#include "issue/PowerToggle.h"

#include "frame/ConfigData.h"
#include "frame/DriveData.h"
#include "issue/ResetRecovery.h"
#include "trace/CommandTrace.h"
#include "varnox/Condition.h"
#include "varnox/DriveThread.h"

namespace varnox::Cardamor {

void powerToggle(DriveThread& thread, DriveData& drive, const ConfigData& config) {
  // Everything in flight dies with the power: account for it before the cut is requested.
  handleReset(thread, config, drive);
  applyCondition(config.powerToggleCondition, thread.conditionMask());
  if (drive.commandTrace) drive.commandTrace->recordPowerToggleOff();
}

}  // namespace varnox::Cardamor

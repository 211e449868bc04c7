#include "issue/CommandSelection.h"

#include "base/ConfigData.h"
#include "drive/DriveData.h"
#include "issue/AtomicWriteIssue.h"
#include "issue/PowerToggle.h"
#include "issue/ReadIssue.h"
#include "issue/ResetRecovery.h"
#include "issue/WriteIssue.h"
#include "varnox/Clock.h"
#include "varnox/DriveThread.h"

namespace cardamor {

namespace {

readSelectionFlags takeSelectionFlags(const ConfigData& config, uint64_t& mask) {
  readSelectionFlags sel;
  sel.read = conditionSelected(config.readCondition, mask);
  sel.verify = conditionSelected(config.verifyCondition, mask);
  sel.write = conditionSelected(config.writeCondition, mask);
  sel.writeAtomic = conditionSelected(config.writeAtomicCondition, mask);
  sel.writeSame = conditionSelected(config.writeSameCondition, mask);
  sel.trim = conditionSelected(config.trimCondition, mask);
  // From here on the mask selects no command, so a pass that ends early sends nothing. The E2E
  // Condition is not a command and stays.
  for (const varnox::Condition* c :
       {&config.readCondition, &config.verifyCondition, &config.writeCondition, &config.writeAtomicCondition,
        &config.writeSameCondition, &config.trimCondition, &config.powerToggleCondition,
        &config.syncCacheCondition}) {
    mask &= ~(c->anyBits | c->allBits);
  }
  return sel;
}

enum class PowerStep { kNone, kToggled, kSyncCache };

// The power-toggle cycle: once the interval has elapsed, a sync cache first (when one is
// configured and has not yet succeeded), then the toggle.
PowerStep pollPowerToggle(varnox::DriveThread& thread, DriveData& drive, const ConfigData& config,
                          uint32_t tag, uint64_t counter, uint64_t frequency) {
  const double nowMs = static_cast<double>(counter) / (static_cast<double>(frequency) / 1000.0);
  const double elapsedSeconds = (nowMs - drive.lastPowerEventMs) / 1000.0;
  if (elapsedSeconds < static_cast<double>(config.powerToggleFreq)) return PowerStep::kNone;
  if (!conditionSet(config.syncCacheCondition) || drive.syncCacheSucceeded) {
    powerToggle(thread, drive, config);
    return PowerStep::kToggled;
  }
  if (!drive.syncCacheOutstanding) {
    drive.syncCacheOutstanding = true;
    drive.syncCacheFromCmdId = drive.nextCmdId;  // what the host sent before it, it flushes
    // Writes still in flight are covered too: every device completes a SYNCHRONIZE CACHE only
    // after the writes sent before it (the simulated drive runs them in order, files and block
    // devices make the flush wait for them). Taking them as uncovered marked blocks whose older
    // content the history no longer holds, and failed legal power cuts.
    drive.syncCacheSkipsCmdIds.clear();
    varnox::applyCondition(config.syncCacheCondition, thread.conditionMask());
    drive.commandTrace->recordSyncCacheIssued(tag);
    return PowerStep::kSyncCache;
  }
  return PowerStep::kNone;  // the sync cache is still out: keep reading and writing meanwhile
}

}  // namespace

uint64_t readBackDistance(const DriveData& drive) {
  uint64_t distance = drive.pendingReadBacks.size();
  for (const WriteRecord& write : drive.outstandingWrites) {
    if (write.readBack != 0 && write.readCmdId == 0) ++distance;
  }
  return distance;
}

bool chooseWrite(DriveData& drive, const ConfigData& config) {
  const uint64_t d = readBackDistance(drive);
  bool write;
  if (d < config.minQueueSize) {
    write = true;
  } else if (d >= config.maxQueueSize) {
    write = false;
  } else if (config.randomSelection) {
    const uint64_t b = drive.randomSource.draw() & 0xFF;
    const uint64_t p = (d * 100) / config.maxQueueSize;
    if (p < 25) {
      write = b >= 64;
    } else if (p > 75) {
      write = b >= 192;
    } else {
      write = b >= 128;
    }
  } else {
    // Sticky alternation: writes until the distance reaches the maximum, then reads until it
    // falls below the minimum.
    write = !drive.lastChoiceWasRead;
  }
  drive.lastChoiceWasRead = !write;
  return write;
}

int commandSelection(varnox::DriveThread& thread, DriveData& drive, const ConfigData& config) {
  uint64_t& mask = thread.conditionMask();
  const readSelectionFlags sel = takeSelectionFlags(config, mask);

  // Only peeked: the flow's command step takes the tag when it sends the command.
  const uint32_t tag = thread.freeTagQueue().peekNextFreeTag();
  if (tag == varnox::kNoTag) {
    // A reset met with every tag in use is recovered now all the same: left for a later pass,
    // the host frees the lost tags meanwhile, another agent's step takes one of them, and the
    // recovery would free that command's tag while the drive still holds it.
    if (*drive.deviceReset) {
      drive.syncCacheOutstanding = false;
      handleReset(thread, config, drive);
      *drive.deviceReset = false;
    }
    return 0;
  }

  const bool deviceReset = *drive.deviceReset;
  // A sync cache in flight died with the reset; waiting for its completion would stop the
  // power-toggle cycle for good.
  if (deviceReset) drive.syncCacheOutstanding = false;

  PowerStep power = PowerStep::kNone;
  if (conditionSet(config.powerToggleCondition)) {
    // The clock is read only by a flow that toggles power: for the others it was a clock read
    // (some 30 ns) in every pass.
    const uint64_t counter = varnox::queryPerformanceCounter();
    const uint64_t frequency = varnox::queryPerformanceFrequency();
    power = pollPowerToggle(thread, drive, config, tag, counter, frequency);
    if (power == PowerStep::kToggled) return 0;
  }

  if (deviceReset) {
    handleReset(thread, config, drive);
    *drive.deviceReset = false;
    return 0;
  }

  if (power == PowerStep::kSyncCache) return 0;
  // A zoned drive's agent hands out no write position while every open zone is busy: a pass
  // then reads back what waits for it, or sends nothing.
  if (*drive.hostManaged != 0 && *drive.writeXferLength == 0) {
    if (readBackDistance(drive) == 0) return 0;
    return doAReadOrVerify(thread, drive, config, tag, sel);
  }
  if (!chooseWrite(drive, config)) return doAReadOrVerify(thread, drive, config, tag, sel);
  if (!sel.writeAtomic) return doAWrite(thread, drive, config, tag, sel);
  return doAWriteAtomic(thread, drive, config, tag, sel);
}

}  // namespace cardamor

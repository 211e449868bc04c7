#include "entry/SetupTest.h"

#include <memory>
#include <new>

#include "base/ConfigData.h"
#include "drive/DriveData.h"
#include "entry/BucketSetup.h"
#include "tavik/Tavik.h"
#include "varnox/Clock.h"
#include "varnox/DriveThread.h"
#include "varnox/Errors.h"

namespace cardamor {
namespace {

// Checks on the configuration alone; the status of the last one that fails.
int checkConfiguration(varnox::EventLog& log, const ConfigData& config) {
  int status = 0;
  if (config.minQueueSize > config.maxQueueSize) {
    log.logf(2, "Min Queue Size > Max Queue Size: %u > %u", config.minQueueSize, config.maxQueueSize);
    status = varnox::VARNOX_ERR_QUEUE_SIZE_ORDER;
  }
  if (!config.readCondition.isSet() && !config.verifyCondition.isSet()) {
    log.logf(2, "Read or verify Condition Must Be Set");
    status = varnox::VARNOX_ERR_CONFIG_MISSING;
  }
  if (!config.writeCondition.isSet() && !config.writeAtomicCondition.isSet() && !config.writeSameCondition.isSet() &&
      !config.trimCondition.isSet()) {
    log.logf(2, "A Write Condition Must Be Set");
    status = varnox::VARNOX_ERR_CONFIG_MISSING;
  }
  if (config.userDefinedData && config.dataBuffer.size == 0) {
    log.logf(2, "UserData: No Data Was Specified");
    status = varnox::VARNOX_ERR_CONFIG_MISSING;
  }
  return status;
}

// Buckets, random source, trim buffer and miscompare buffers; stops at the first failure.
int buildPatternsAndBuffers(varnox::DriveThread& thread, ConfigData& config, DriveData& drive) {
  int status = buildSectorBuckets(thread, config, drive);
  if (status != 0) return status;
  status = buildTrimBuffer(thread, drive);
  if (status != 0) return status;

  drive.miscompareReferenceBytes.reset(new (std::nothrow) ByteBuffer());
  drive.miscompareDriveBytes.reset(new (std::nothrow) ByteBuffer());
  if (!drive.miscompareReferenceBytes || !drive.miscompareDriveBytes) {
    status = varnox::VARNOX_ERR_NO_MEMORY;
  } else {
    // One logical block each: the captured bytes of a miscompare exclude protection information.
    const uint32_t blockBytes = thread.logicalBlockSize();
    if (drive.miscompareDriveBytes->grow(blockBytes) != 0 || drive.miscompareReferenceBytes->grow(blockBytes) != 0)
      status = varnox::VARNOX_ERR_NO_MEMORY;
  }
  if (status != 0) thread.eventLog().logf(2, "Could not allocate miscompare info buffers");
  return status;
}

}  // namespace

int setupTest(varnox::DriveThread* threadPtr, ConfigData* configPtr, DriveData* drivePtr) {
  varnox::DriveThread& thread = *threadPtr;
  ConfigData& config = *configPtr;
  DriveData& drive = *drivePtr;
  varnox::EventLog& log = thread.eventLog();

  int status = checkConfiguration(log, config);

  // The host always gives a drive that reaches setup a device; the test stays usable without.
  if (varnox::Tavik* device = thread.tavik();
      device == nullptr || device->ioctl(varnox::kIoctlDeviceProperty, 1, &drive.deviceProperty4241) != 0) {
    drive.deviceProperty4241 = 0;
  }

  if (status == 0) {
    drive.commandTrace = CommandTrace::create(traceSlotCount(config.traceDepth, config.maxQueueSize));
    if (!drive.commandTrace) {
      log.logf(2, "Cardamor: Failed memory allocation for the command trace.");
      status = varnox::VARNOX_ERR_NO_MEMORY;
    }
  }
  if (status == 0) status = buildPatternsAndBuffers(thread, config, drive);

  if (!config.embedLba) {
    config.embedData = false;
    log.logf(1, "Cardamor: Use of DEPRECATED Embed LBA option, forcing Embed Data option to disabled");
  }
  if (config.writeSameCondition.isSet() && config.useSkipCommands) {
    log.logf(2, "Cardamor: Cannot use writesame and skip commands together");
    status = varnox::VARNOX_ERR_COMMAND_CHOICE;
  }
  // The write and the atomic write then share the flow, so "SkipGen" is left to the issue side.
  if (config.writeAtomicCondition.isSet() && config.writeCondition.isSet()) drive.setSkipGen = false;
  if (config.writeSpliceDetection && !config.readCondition.isSet()) {
    log.logf(2, "Cardamor: Cannot use splice checking without read enabled");
    status = varnox::VARNOX_ERR_COMMAND_CHOICE;
  }
  if (config.trimCondition.isSet() && config.useSkipCommands) {
    log.logf(2, "Cardamor: Cannot use trim and skip commands together");
    status = varnox::VARNOX_ERR_COMMAND_CHOICE;
  } else if (status == 0) {
    const uint32_t maxXfer = drive.testMaxXferLength != nullptr ? *drive.testMaxXferLength : 0;
    const uint32_t expectedBytes = maxXfer * thread.sectorSize();  // 32-bit, as the compare engine indexes it
    drive.expectedDataBuffer = allocateByteArray(expectedBytes, false);
    if (!drive.expectedDataBuffer) {
      log.logf(2, "Cardamor: Failed memory allocation. Try disabling <Embed Data>.");
      status = varnox::VARNOX_ERR_NO_MEMORY;
    } else {
      drive.lastPowerEventMs = static_cast<double>(thread.testStartCounter()) /
                               (static_cast<double>(varnox::queryPerformanceFrequency()) / 1000.0);
    }
  }

  drive.deferredSetup = std::make_unique<DeferredSetup>(allocateLocalWriteBuffers);

  // Without a writer the queues stay empty for the whole test; null lets execute skip them.
  if (thread.countVarWriters("CSZoneReset") == 0) drive.csZoneReset = nullptr;
  if (thread.countVarWriters("CardamorInvalidateRanges") == 0) drive.invalidateRanges = nullptr;
  if (thread.countVarWriters("CompletionNumber") == 0 || thread.countVarWriters("SyncedCompletions") == 0) {
    drive.completionNumber = nullptr;
    drive.syncedCompletions = drive.syncedCompletionsBeforePowerOn = nullptr;
  }
  return status;
}

int allocateLocalWriteBuffers(varnox::DriveThread* thread, DriveData* drive, const ConfigData* config) {
  const uint64_t bytes = localWriteBufferBytes(*thread, *drive, *config);
  drive->localWriteBuffers.resize(thread->freeTagQueue().getMaxQueueDepth());
  int result = 0;
  for (ByteArray& buffer : drive->localWriteBuffers) {
    ByteArray fresh = allocateByteArray(bytes, false);
    if (fresh) {
      buffer = std::move(fresh);
    } else {
      result = varnox::VARNOX_ERR_NO_MEMORY;
    }
  }
  if (result != 0) thread->eventLog().logf(2, "Cardamor: Failed memory allocation of local write buffers");
  return result;
}

}  // namespace cardamor

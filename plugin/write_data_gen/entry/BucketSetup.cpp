#include "entry/BucketSetup.h"

#include <mutex>

#include "base/ConfigData.h"
#include "drive/DriveData.h"
#include "patterns/RandomSource.h"
#include "patterns/SectorBuckets.h"
#include "varnox/DriveThread.h"
#include "varnox/Errors.h"

namespace cardamor {

namespace {

int fillUserBuckets(varnox::DriveThread& thread, ConfigData& config, DriveData& drive, uint64_t tableBytes) {
  const uint64_t sectorSize = thread.sectorSize();
  const uint64_t maxXfer = drive.testMaxXferLength != nullptr ? *drive.testMaxXferLength : 0;
  uint64_t patternBytes = sectorSize * maxXfer;
  if (patternBytes > 0xFFFFFFFFull) {
    thread.logEvent(2, "The xfer_len * driveBlockSize is too large for 32-bit addressing.");
    return varnox::VARNOX_ERR_USER_PATTERN;
  }
  if (patternBytes == 0) patternBytes = sectorSize;

  ByteArray pattern = allocateByteArray(patternBytes, false);
  if (!pattern) {
    thread.eventLog().logf(2, "Cardamor: Failed memory allocation for the user data pattern of %llu bytes.",
                           static_cast<unsigned long long>(patternBytes));
    return varnox::VARNOX_ERR_NO_MEMORY;
  }
  {
    std::lock_guard<std::mutex> hold(config.dataBufferMutex);
    if (config.dataBuffer.size == 0 || config.dataBuffer.data == nullptr) {
      // Setup refuses an empty pattern before it gets here; never divide by its size.
      thread.eventLog().logf(2, "UserData: No Data Was Specified");
      return varnox::VARNOX_ERR_CONFIG_MISSING;
    }
    tilePattern(pattern.get(), patternBytes, config.dataBuffer.data, config.dataBuffer.size);
  }
  tilePattern(drive.sectorBuckets.get(), tableBytes, pattern.get(), patternBytes);
  return 0;
}

}  // namespace

int buildSectorBuckets(varnox::DriveThread& thread, ConfigData& config, DriveData& drive) {
  varnox::EventLog& log = thread.eventLog();
  const uint32_t sectorSize = thread.sectorSize();
  const uint64_t wideBytes = static_cast<uint64_t>(sectorSize) * config.bucketCount;
  const uint32_t tableBytes = static_cast<uint32_t>(wideBytes);  // the table is addressed with 32 bits
  int status = 0;
  if (wideBytes > 0xFFFFFFFFull) {
    // Only sectors of 8 KiB and more with the largest bucket count get here; refuse rather
    // than build a table shorter than the buckets that writes would copy from.
    log.logf(2, "Cardamor: Bucket Count %u x sector size %u is too large for 32-bit addressing.",
             config.bucketCount, sectorSize);
    status = varnox::VARNOX_ERR_BAD_VALUE;
  } else if (tableBytes == 0) {
    log.logf(2, "Drive Blocksize reported as zero");
    status = varnox::VARNOX_ERR_CONFIG_MISSING;
  } else {
    drive.sectorBuckets = allocateByteArray(tableBytes, false);
    if (!drive.sectorBuckets) {
      log.logf(2, "Could not allocate sector buckets");
      status = varnox::VARNOX_ERR_NO_MEMORY;
    }
  }

  drive.randomSource.seedRandomSource(0, UINT64_MAX, chooseSeed(config.randomSeed, thread.tavik()));
  if (status != 0) return status;

  if (!config.userDefinedData) {
    fillRandomBuckets(drive.sectorBuckets.get(), config.bucketCount, sectorSize, drive.randomSource);
    return 0;
  }
  return fillUserBuckets(thread, config, drive, tableBytes);
}

int buildTrimBuffer(varnox::DriveThread& thread, DriveData& drive) {
  drive.trimBuffer = allocateByteArray(thread.sectorSize(), true);
  if (!drive.trimBuffer) {
    thread.eventLog().logf(2, "Cardamor: Failed memory allocation for trim buffer.");
    return varnox::VARNOX_ERR_NO_MEMORY;
  }
  return 0;
}

}  // namespace cardamor

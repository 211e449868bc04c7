#include "patterns/SectorBuckets.h"

#include <algorithm>
#include <cstring>
#include <mutex>

#include "frame/ConfigData.h"
#include "frame/DriveData.h"
#include "patterns/RandomSource.h"
#include "varnox/DriveThread.h"
#include "varnox/Errors.h"

namespace varnox::Cardamor {

void bucketStamp(uint8_t* bucketStart, uint32_t bucket) {
  bucketStart[0] = static_cast<uint8_t>((bucket >> 16) & 0xFF);
  bucketStart[1] = static_cast<uint8_t>((bucket >> 8) & 0xFF);
  bucketStart[2] = static_cast<uint8_t>(bucket & 0xFF);
  bucketStart[3] = 0;
}

void fillRandomBuckets(uint8_t* table, uint32_t bucketCount, uint32_t sectorSize, RandomSource& random) {
  const uint64_t tableBytes = static_cast<uint64_t>(bucketCount) * sectorSize;
  for (uint64_t at = 0; at < tableBytes; at += 8) {
    uint64_t value = random.draw();
    const uint64_t take = std::min<uint64_t>(8, tableBytes - at);
    for (uint64_t i = 0; i < take; ++i) {
      table[at + i] = static_cast<uint8_t>(value & 0xFF);
      value >>= 8;
    }
  }
  // A sector shorter than the stamp cannot carry it; real drives never have one.
  if (sectorSize < 4) return;
  for (uint32_t b = 0; b < bucketCount; ++b) bucketStamp(table + static_cast<uint64_t>(b) * sectorSize, b);
}

void tilePattern(uint8_t* out, uint64_t bytes, const uint8_t* pattern, uint64_t patternBytes) {
  if (bytes == 0 || patternBytes == 0) return;
  const uint64_t first = std::min(bytes, patternBytes);
  std::memcpy(out, pattern, first);
  // Doubling copies from the already tiled prefix keep the pattern phase for any length.
  uint64_t done = first;
  while (done < bytes) {
    const uint64_t chunk = std::min(done - done % patternBytes, bytes - done);
    std::memcpy(out + done, out, chunk);
    done += chunk;
  }
}

namespace {

int fillUserBuckets(DriveThread& thread, ConfigData& config, DriveData& drive, uint64_t tableBytes) {
  const uint64_t sectorSize = thread.sectorSize();
  const uint64_t maxXfer = drive.testMaxXferLength != nullptr ? *drive.testMaxXferLength : 0;
  uint64_t patternBytes = sectorSize * maxXfer;
  if (patternBytes > 0xFFFFFFFFull) {
    thread.logEvent(2, "The xfer_len * driveBlockSize is too large for 32-bit addressing.");
    return VARNOX_ERR_USER_PATTERN;
  }
  if (patternBytes == 0) patternBytes = sectorSize;

  ByteArray pattern = allocateByteArray(patternBytes, false);
  if (!pattern) {
    thread.eventLog().logf(2, "Cardamor: Failed memory allocation for the user data pattern of %llu bytes.",
                           static_cast<unsigned long long>(patternBytes));
    return VARNOX_ERR_NO_MEMORY;
  }
  {
    std::lock_guard<std::mutex> hold(config.dataBufferMutex);
    if (config.dataBuffer.size == 0 || config.dataBuffer.data == nullptr) {
      // Setup refuses an empty pattern before it gets here; never divide by its size.
      thread.eventLog().logf(2, "UserData: No Data Was Specified");
      return VARNOX_ERR_CONFIG_MISSING;
    }
    tilePattern(pattern.get(), patternBytes, config.dataBuffer.data, config.dataBuffer.size);
  }
  tilePattern(drive.sectorBuckets.get(), tableBytes, pattern.get(), patternBytes);
  return 0;
}

}  // namespace

int buildSectorBuckets(DriveThread& thread, ConfigData& config, DriveData& drive) {
  EventLog& log = thread.eventLog();
  const uint32_t sectorSize = thread.sectorSize();
  const uint64_t wideBytes = static_cast<uint64_t>(sectorSize) * config.bucketCount;
  const uint32_t tableBytes = static_cast<uint32_t>(wideBytes);  // the table is addressed with 32 bits
  int status = 0;
  if (wideBytes > 0xFFFFFFFFull) {
    // Only sectors of 8 KiB and more with the largest bucket count get here; refuse rather
    // than build a table shorter than the buckets that writes would copy from.
    log.logf(2, "Cardamor: Bucket Count %u x sector size %u is too large for 32-bit addressing.",
             config.bucketCount, sectorSize);
    status = VARNOX_ERR_BAD_VALUE;
  } else if (tableBytes == 0) {
    log.logf(2, "Drive Blocksize reported as zero");
    status = VARNOX_ERR_CONFIG_MISSING;
  } else {
    drive.sectorBuckets = allocateByteArray(tableBytes, false);
    if (!drive.sectorBuckets) {
      log.logf(2, "Could not allocate sector buckets");
      status = VARNOX_ERR_NO_MEMORY;
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

int buildTrimBuffer(DriveThread& thread, DriveData& drive) {
  drive.trimBuffer = allocateByteArray(thread.sectorSize(), true);
  if (!drive.trimBuffer) {
    thread.eventLog().logf(2, "Cardamor: Failed memory allocation for trim buffer.");
    return VARNOX_ERR_NO_MEMORY;
  }
  return 0;
}

}  // namespace varnox::Cardamor

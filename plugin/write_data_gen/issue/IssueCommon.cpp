#include "issue/IssueCommon.h"

#include <algorithm>

#include "base/ConfigData.h"
#include "drive/DriveData.h"
#include "varnox/DriveThread.h"
#include "varnox/Errors.h"

namespace cardamor {

uint64_t takeCmdId(DriveData& drive) {
  return drive.nextCmdId++;
}

void pointWriteData(DriveData& drive, uint8_t* data, uint64_t size) {
  drive.writeData->pointAt(data, size);
}

int checkWriteBuffer(varnox::DriveThread& thread, const DriveData& drive, const ConfigData& config,
                     uint32_t tag, uint64_t blocks, uint64_t stride) {
  const bool present = tag < drive.localWriteBuffers.size() && drive.localWriteBuffers[tag] != nullptr;
  const uint64_t have = present ? localWriteBufferBytes(thread, drive, config) : 0;
  const uint64_t need = blocks * stride;
  if (need <= have) return 0;
  thread.eventLog().logf(
      2,
      "Requested transfer does not fit the write buffer: need=%llu bytes, have=%llu bytes, "
      "TestMaxXferLength=%u",
      static_cast<unsigned long long>(need), static_cast<unsigned long long>(have),
      drive.testMaxXferLength != nullptr ? *drive.testMaxXferLength : 0u);
  return varnox::VARNOX_ERR_READ_DATA;
}

bool overlapsOutstandingWrite(const DriveData& drive, const ConfigData& config, uint64_t lba, uint64_t blocks,
                              uint64_t beforeCmdId) {
  const uint32_t step = lbaStep(config.useSkipCommands);
  for (const WriteRecord& write : drive.outstandingWrites) {
    if (beforeCmdId != 0 && write.cmdId >= beforeCmdId) continue;
    const uint64_t writeEnd = write.lba + uint64_t{step} * write.xferLength;
    if (write.lba < lba + blocks && writeEnd > lba) return true;
  }
  return false;
}

void steerClearOfSpliceChecks(const DriveData& drive, const ConfigData& config, uint64_t& lba, uint32_t len) {
  if (!config.writeSpliceDetection || len == 0) return;
  const uint64_t step = lbaStep(config.useSkipCommands);
  const uint64_t span = step * len;
  const uint64_t minLba = *drive.minLba, maxLba = *drive.maxLba;
  // The first open check that [start, start + span) overlaps, as [first, end); none: first == end.
  auto clash = [&](uint64_t start, uint64_t& first, uint64_t& end) {
    auto hit = [&](uint64_t l, uint32_t n) {
      if (start < l + step * n && l < start + span) {
        first = l;
        end = l + step * n;
        return true;
      }
      return false;
    };
    for (const ReadBackRequest& r : drive.pendingReadBacks)
      if (r.spliceSuspect != 0 && hit(r.lba, r.xferLength)) return true;
    for (const ReadRecord& r : drive.outstandingReads)
      if (r.spliceSuspect != 0 && hit(r.lba, r.xferLength)) return true;
    return false;
  };
  uint64_t first = 0, end = 0;
  if (!clash(lba, first, end)) return;
  // Past the clashing range (upwards), else before it (downwards), on the write's own parity
  // with skip commands; a few hops at most, as open checks are few.
  for (const bool up : {true, false}) {
    uint64_t at = lba, f = first, e = end;
    for (int hop = 0; hop < 8; ++hop) {
      if (up) {
        at = e + ((e - lba) % step);
      } else {
        if (f < span + minLba) break;
        at = f - span;
        at -= (at - lba) % step == 0 ? 0 : 1;
      }
      if (at < minLba || at > maxLba || maxLba - at + 1 < span - (step - 1)) break;
      if (!clash(at, f, e)) {
        lba = at;
        return;
      }
    }
  }
}

}  // namespace cardamor

#include "issue/IssueCommon.h"

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

}  // namespace cardamor

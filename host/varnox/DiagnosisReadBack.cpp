#include "DiagnosisReadBack.h"

#include <vector>

#include "tavik/Cdb.h"
#include "tavik/Device.h"
#include "varnox/DriveThread.h"

namespace varnox {

void answerDiagnosisRead(DriveThread& thread, Device& device) {
  const uint64_t* lba = thread.findU64("DiagnosisReadLBA");
  Buffer* out = thread.findBuffer("DiagnosisReadData");
  if (lba == nullptr || out == nullptr || *lba == kNoDiagnosisRead || device.stopped()) return;
  if (*lba >= device.geometry().capacityBlocks) return;
  std::vector<uint8_t> block(thread.sectorSize());
  DeviceCommand command;
  command.tag = 0;  // every command of the run has completed: any tag is free
  command.cdbLength =
      static_cast<uint32_t>(buildRead16(command.cdb, *lba, 1, thread.protectionInfoEnabled() ? 1 : 0));
  command.dataIn = block.data();
  command.dataInBytes = block.size();
  if (device.submit(command) != 0) return;
  DeviceCompletion completion;
  while (device.poll(completion, true) && completion.tag != command.tag) {
  }
  if (completion.tag != command.tag || completion.status != kStatusGood || completion.bytesIn < block.size()) return;
  out->assign(block.data(), block.size());
}

}  // namespace varnox

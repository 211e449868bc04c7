#include "entry/FinishTest.h"

#include <string>

#include "base/ConfigData.h"
#include "completion/Diagnosis.h"
#include "drive/DriveData.h"
#include "trace/MiscompareData.h"
#include "trace/SequenceDump.h"
#include "varnox/DriveThread.h"

namespace cardamor {
namespace {

constexpr uint64_t kNoMediaBlock = ~uint64_t{0};

// A data file holds a block or does not exist: an empty capture is not written, and the
// diagnosis says why (`why`, unless it already gave a reason).
void dumpBytes(varnox::DriveThread* thread, const ByteBuffer* buffer, const std::string& path,
               std::string* written, std::string* why) {
  if (buffer == nullptr || buffer->data == nullptr || buffer->size == 0) {
    if (why != nullptr && why->empty()) *why = "no block was captured";
    return;
  }
  std::string name = writeMiscompareData(thread, buffer->data, buffer->size, path);
  if (written != nullptr) *written = name;
  if (name.empty() && why != nullptr) *why = "the file could not be opened";
}

// Why a run that did not fail kept its sequence dump.
std::string dumpReason(const ConfigData& config, const DriveData& drive) {
  std::string reason;
  if (drive.readsBeforeOlderWrite != 0)
    reason = std::to_string(drive.readsBeforeOlderWrite) +
             (drive.readsBeforeOlderWrite == 1 ? " read" : " reads") +
             " completed before an older overlapping write, a legal event the dump is kept for";
  if (config.alwaysDumpSequence) reason += std::string(reason.empty() ? "" : "; ") + "\"Always Dump Sequence\" is set";
  return reason;
}

}  // namespace

uint64_t mediaBlockMask(const varnox::DriveThread& thread) {
  const uint32_t sectorSize = thread.sectorSize();
  const uint32_t physicalSize = (1u << thread.log2LogicalPerPhysical()) * thread.logicalBlockSize();
  if (sectorSize == 0 || physicalSize == 0) return kNoMediaBlock;
  uint32_t n = physicalSize / sectorSize;
  // With protection information a sector can outgrow a one-block physical size; a media block
  // is never smaller than one LBA, and a mask of 0 would mark every command of the trace.
  if (n == 0) n = 1;
  return static_cast<uint64_t>(static_cast<uint32_t>(~(n - 1u)));
}

void finishTest(varnox::DriveThread* thread, ConfigData* config, DriveData* drive) {
  if (thread == nullptr || config == nullptr || drive == nullptr) return;

  // What the run left unproven: written blocks still waiting for their read-back.
  if (drive->pendingReadBackBlocks != nullptr) {
    uint64_t blocks = 0;
    for (const ReadBackRequest& request : drive->pendingReadBacks) blocks += request.xferLength;
    for (const WriteRecord& write : drive->outstandingWrites)
      if (write.readBack != 0) blocks += write.xferLength;
    *drive->pendingReadBackBlocks = blocks;
  }

  if (drive->writeData != nullptr) {
    // The table stays the record's: the buffer only points at it.
    const uint64_t bytes =
        drive->sectorBuckets ? static_cast<uint64_t>(thread->sectorSize()) * config->bucketCount : 0;
    drive->writeData->pointAt(drive->sectorBuckets.get(), bytes);
  }

  const std::string base = config->miscompareOutputPath.empty() ? "./datacompare" : config->miscompareOutputPath;
  const std::string driveName = thread->driveName().c_str();  // up to its terminating zero
  std::string tracePath = base + "_trace_" + driveName + ".txt";

  finishReadBack(*thread, *drive, *config);
  Diagnosis* diagnosis = drive->diagnosis.get();
  std::string reason;
  if (drive->miscompareSeen) {
    dumpSequence(drive->commandTrace.get(), thread, tracePath, true, drive->miscompareLba, mediaBlockMask(*thread));
    dumpBytes(thread, drive->miscompareDriveBytes.get(), base + "_drive_" + driveName + ".bin",
              diagnosis ? &diagnosis->driveFile : nullptr, diagnosis ? &diagnosis->noDriveFile : nullptr);
    dumpBytes(thread, drive->miscompareReferenceBytes.get(), base + "_reference_" + driveName + ".bin",
              diagnosis ? &diagnosis->referenceFile : nullptr, diagnosis ? &diagnosis->noReferenceFile : nullptr);
  } else if (config->alwaysDumpSequence || drive->spliceDetected) {
    dumpSequence(drive->commandTrace.get(), thread, tracePath, false, 0, kNoMediaBlock);
    if (diagnosis == nullptr) reason = dumpReason(*config, *drive);
  }
  if (drive->diagnosisText != nullptr) {
    const std::string text = diagnosisText(diagnosis, reason);
    drive->diagnosisText->assign(reinterpret_cast<const uint8_t*>(text.data()), text.size());
  }
}

}  // namespace cardamor

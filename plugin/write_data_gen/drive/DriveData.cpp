#include "drive/DriveData.h"

#include <cstring>
#include <new>
#include <utility>

#include "base/ConfigData.h"
#include "varnox/DriveThread.h"
#include "varnox/Errors.h"

namespace cardamor {
namespace {

// Maps every variable even after a failure, so the host reports all bad mappings at once.
void mapVariables(varnox::DriveThread& t, DriveData& d, int* err) {
  d.lba = t.mapU64("LBA", varnox::kVarReadWrite, err, 0);
  d.xferLength = t.mapU32("XferLength", varnox::kVarReadWrite, err, 0);
  d.atomicBound = t.mapU32("AtomicBound", varnox::kVarReadWrite, err, 0);
  d.testMaxXferLength = t.mapU32("TestMaxXferLength", varnox::kVarRead, err, 0);
  d.maxLba = t.mapU64("MaxLBA", varnox::kVarRead, err, 0);
  d.minLba = t.mapU64("MinLBA", varnox::kVarRead, err, 0);
  d.epo = t.mapU32("EPO", varnox::kVarProvided, err, 0);
  d.lastTagId = t.mapU32("LastTagID", varnox::kVarRead, err, 0);
  d.readDataIsValid = t.mapU32("ReadDataIsValid", varnox::kVarRead, err, 0);
  d.deviceInterface = t.mapU32("DeviceInterface", varnox::kVarRead, err, 0);
  d.lastStatusByte = t.mapU32("LastStatusByte", varnox::kVarRead, err, 0);
  d.readDataPtr = t.mapTaggedBuffer("ReadDataPtr[TagID]", varnox::kVarProvided, err);
  d.cdb = t.mapTaggedBuffer("CDB[TagID]", varnox::kVarRead, err);
  d.recvCdb = t.mapTaggedBuffer("RecvCDB[TagID]", varnox::kVarRead, err);
  d.writeData = t.mapBuffer("WriteData", varnox::kVarWrite, err);
  d.lastErrSenseData = t.mapBuffer("LastErrSenseData", varnox::kVarRead, err);
  d.parameterList = t.mapTaggedBuffer("ParameterList[TagID]", varnox::kVarProvided, err);
  d.bucketIndex = t.mapU32("BucketIndex", varnox::kVarWrite, err, 0);
  d.skipGen = t.mapU32("SkipGen", varnox::kVarWrite, err, 0);
  d.deviceReset = t.mapBool("DeviceReset", varnox::kVarReadWrite, err, false);
  d.writeLba = t.mapU64("WriteLBA", varnox::kVarProvided, err, 0);
  d.writeXferLength = t.mapU32("WriteXferLength", varnox::kVarProvided, err, 0);
  d.writeCmdUsed = t.mapU32("WriteCmdUsed", varnox::kVarWrite, err, 0);
  d.csZoneReset = t.mapLBARangeQueue("CSZoneReset", varnox::kVarProvided, err);
  d.hostManaged = t.mapU32("HostManaged", varnox::kVarProvided, err, 0);
  d.invalidateRanges = t.mapLBARangeQueue("CardamorInvalidateRanges", varnox::kVarProvided, err);
  d.writeCacheVolatile = t.mapU32("WriteCacheVolatile", varnox::kVarRead, err, 0);
  d.completionNumber = t.mapU64("CompletionNumber", varnox::kVarProvided, err, 0);
  d.syncedCompletions = t.mapU64("SyncedCompletions", varnox::kVarProvided, err, 0);
  d.syncedCompletionsBeforePowerOn = t.mapU64("SyncedCompletionsBeforePowerOn", varnox::kVarProvided, err, 0);
  d.pendingReadBackBlocks = t.mapU64("PendingReadBackBlocks", varnox::kVarWrite, err, 0);
  d.diagnosisText = t.mapBuffer("Diagnosis", varnox::kVarWrite, err);
  d.diagnosisReadLba = t.mapU64("DiagnosisReadLBA", varnox::kVarWrite, err, 0);
  if (d.diagnosisReadLba) *d.diagnosisReadLba = varnox::kNoDiagnosisRead;
  d.diagnosisReadData = t.mapBuffer("DiagnosisReadData", varnox::kVarRead, err);
}

}  // namespace

int registerDriveVariables(varnox::DriveThread* thread) {
  auto* record = new (std::nothrow) DriveData();
  if (record == nullptr) return varnox::VARNOX_ERR_NO_MEMORY;
  int err = 0;
  mapVariables(*thread, *record, &err);
  if (err == 0) {
    const int status = thread->registerDriveData(record);
    if (status == 0) return 0;  // the host owns the record now
    err = status;
  }
  delete record;
  return err;
}

ByteBuffer takeReadData(DriveData& drive) {
  if (drive.spareReadData.empty()) return {};
  ByteBuffer data = std::move(drive.spareReadData.back());
  drive.spareReadData.pop_back();
  return data;
}

int keepReadData(DriveData& drive) {
  if (drive.compareQueue.empty()) return 0;
  ByteBuffer& data = drive.compareQueue.back().data;
  if (data.ownsData || data.data == nullptr) return 0;
  ByteBuffer copy = takeReadData(drive);
  if (const int status = copy.grow(data.size); status != 0) return status;
  if (data.size != 0) std::memcpy(copy.data, data.data, data.size);
  copy.size = data.size;
  data = std::move(copy);
  return 0;
}

void recycleReadData(DriveData& drive, ByteBuffer&& data) {
  constexpr size_t kSpareReadData = 8;
  if (!data.ownsData || drive.spareReadData.size() >= kSpareReadData) return;
  try {
    drive.spareReadData.reserve(kSpareReadData);
  } catch (const std::bad_alloc&) {
    return;  // the buffer is simply freed with its record
  }
  data.size = 0;
  drive.spareReadData.push_back(std::move(data));
}

uint64_t localWriteBufferBytes(const varnox::DriveThread& thread, const DriveData& drive,
                               const ConfigData& config) {
  const uint64_t maxXfer = drive.testMaxXferLength != nullptr ? *drive.testMaxXferLength : 0;
  // The 8 extra bytes per block hold the protection information of a protected write.
  const uint64_t perBlock = static_cast<uint64_t>(thread.logicalBlockSize()) +
                            (thread.protectionInfoEnabled() ? thread.protectionInfoBytes() : 0) +
                            (config.e2eCondition.isSet() ? 8 : 0);
  return maxXfer * perBlock;
}

void deleteDriveData(DriveData* record) {
  DriveData& d = *record;
  d.commandTrace.reset();  // its context text, its entries, then the trace
  d.sectorBuckets.reset();
  d.expectedDataBuffer.reset();
  d.trimBuffer.reset();
  d.miscompareReferenceBytes.reset();
  d.miscompareDriveBytes.reset();
  for (ByteArray& buffer : d.localWriteBuffers) buffer.reset();
  d.deferredSetup.reset();  // only still here when the first execute pass never ran
  d.randomSource.release();
  // The history, the command lists and the buffer vector's storage go with the record.
  delete record;
}

}  // namespace cardamor

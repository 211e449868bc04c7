#include "frame/DriveData.h"

#include <new>
#include <utility>

#include "varnox/DriveThread.h"
#include "varnox/Errors.h"

namespace varnox::Cardamor {
namespace {

// Maps every variable even after a failure, so the host reports all bad mappings at once.
void mapVariables(DriveThread& t, DriveData& d, int* err) {
  d.lba = t.mapU64("LBA", kVarReadWrite, err, 0);
  d.xferLength = t.mapU32("XferLength", kVarReadWrite, err, 0);
  d.atomicBound = t.mapU32("AtomicBound", kVarReadWrite, err, 0);
  d.testMaxXferLength = t.mapU32("TestMaxXferLength", kVarRead, err, 0);
  d.maxLba = t.mapU64("MaxLBA", kVarRead, err, 0);
  d.minLba = t.mapU64("MinLBA", kVarRead, err, 0);
  d.epo = t.mapU32("EPO", kVarProvided, err, 0);
  d.lastTagId = t.mapU32("LastTagID", kVarRead, err, 0);
  d.readDataIsValid = t.mapU32("ReadDataIsValid", kVarRead, err, 0);
  d.deviceInterface = t.mapU32("DeviceInterface", kVarRead, err, 0);
  d.lastStatusByte = t.mapU32("LastStatusByte", kVarRead, err, 0);
  d.readDataPtr = t.mapTaggedBuffer("ReadDataPtr[TagID]", kVarProvided, err);
  d.cdb = t.mapTaggedBuffer("CDB[TagID]", kVarRead, err);
  d.recvCdb = t.mapTaggedBuffer("RecvCDB[TagID]", kVarRead, err);
  d.writeData = t.mapBuffer("WriteData", kVarWrite, err);
  d.lastErrSenseData = t.mapBuffer("LastErrSenseData", kVarRead, err);
  d.parameterList = t.mapTaggedBuffer("ParameterList[TagID]", kVarProvided, err);
  d.bucketIndex = t.mapU32("BucketIndex", kVarWrite, err, 0);
  d.skipGen = t.mapU32("SkipGen", kVarWrite, err, 0);
  d.deviceReset = t.mapBool("DeviceReset", kVarReadWrite, err, false);
  d.writeLba = t.mapU64("WriteLBA", kVarProvided, err, 0);
  d.writeXferLength = t.mapU32("WriteXferLength", kVarProvided, err, 0);
  d.writeCmdUsed = t.mapU32("WriteCmdUsed", kVarWrite, err, 0);
  d.csZoneReset = t.mapLBARangeQueue("CSZoneReset", kVarProvided, err);
  d.hostManaged = t.mapU32("HostManaged", kVarProvided, err, 0);
  d.invalidateRanges = t.mapLBARangeQueue("CardamorInvalidateRanges", kVarProvided, err);
  d.writeCacheVolatile = t.mapU32("WriteCacheVolatile", kVarRead, err, 0);
  d.pendingReadBackBlocks = t.mapU64("PendingReadBackBlocks", kVarWrite, err, 0);
  d.diagnosisText = t.mapBuffer("Diagnosis", kVarWrite, err);
  d.diagnosisReadLba = t.mapU64("DiagnosisReadLBA", kVarWrite, err, 0);
  if (d.diagnosisReadLba) *d.diagnosisReadLba = kNoDiagnosisRead;
  d.diagnosisReadData = t.mapBuffer("DiagnosisReadData", kVarRead, err);
}

}  // namespace

int registerDriveVariables(DriveThread* thread) {
  auto* record = new (std::nothrow) DriveData();
  if (record == nullptr) return VARNOX_ERR_NO_MEMORY;
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

}  // namespace varnox::Cardamor

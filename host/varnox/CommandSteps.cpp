#include "CommandSteps.h"

#include <cstdarg>

#include "varnox/Errors.h"

namespace varnox {

CommandSteps::CommandSteps(DriveThread& thread, Device& device)
    : thread_(thread),
      device_(device),
      blockBytes_(thread.sectorSize()),
      protectionInfo_(device.geometry().protectionInfoEnabled),
      inFlight_(thread.freeTagQueue().getMaxQueueDepth()),
      latency_(std::make_unique<CommandLatency>()) {}

int CommandSteps::mapVariables(const std::vector<std::pair<StepKind, std::string>>& steps, std::string& error) {
  int err = 0;
  DriveThread& t = thread_;
  // The host's own variables come first so that their starting values are the host's: no
  // completion to report, no tag.
  t.setMapper("host");
  epo_ = t.mapU32("EPO", kVarWrite, &err, 0);
  deviceReset_ = t.mapBool("DeviceReset", kVarReadWrite, &err, false);
  deviceInterface_ = t.mapU32("DeviceInterface", kVarWrite, &err, 0);
  if (sliced_) {
    syncedCompletions_ = t.mapU64("SyncedCompletions", kVarWrite, &err, 0);
    syncedCompletionsBeforePowerOn_ = t.mapU64("SyncedCompletionsBeforePowerOn", kVarWrite, &err, 0);
  }
  for (const auto& [kind, name] : steps) {
    t.setMapper(name);
    switch (kind) {
      case StepKind::GetStatus:
        lastTagId_ = t.mapU32("LastTagID", kVarWrite, &err, 255);
        lastStatusByte_ = t.mapU32("LastStatusByte", kVarWrite, &err, kNoStatus);
        lastErrSense_ = t.mapBuffer("LastErrSenseData", kVarWrite, &err);
        readDataIsValid_ = t.mapU32("ReadDataIsValid", kVarWrite, &err, 0);
        recvCdb_ = t.mapTaggedBuffer("RecvCDB[TagID]", kVarWrite, &err);
        if (sliced_) completionNumber_ = t.mapU64("CompletionNumber", kVarWrite, &err, 0);
        break;
      case StepKind::PowerToggle:
      case StepKind::Agent:
        break;
      case StepKind::ZoneReset:
        cdb_ = t.mapTaggedBuffer("CDB[TagID]", kVarWrite, &err);
        zoneResetLba_ = t.mapU64("ZoneResetLBA", kVarRead, &err, 0);
        break;
      case StepKind::Invalidate:
        cdb_ = t.mapTaggedBuffer("CDB[TagID]", kVarWrite, &err);
        invalidateLba_ = t.mapU64("InvalidateLBA", kVarRead, &err, 0);
        invalidateXfer_ = t.mapU32("InvalidateXferLength", kVarRead, &err, 0);
        invalidateData_ = t.mapBuffer("InvalidateData", kVarRead, &err);
        break;
      default:
        cdb_ = t.mapTaggedBuffer("CDB[TagID]", kVarWrite, &err);
        if (kind == StepKind::SyncCache) break;
        lba_ = t.mapU64("LBA", kVarRead, &err, 0);
        xferLength_ = t.mapU32("XferLength", kVarRead, &err, 0);
        if (kind == StepKind::Read) readData_ = t.mapTaggedBuffer("ReadDataPtr[TagID]", kVarWrite, &err);
        if (kind == StepKind::Trim) parameterList_ = t.mapTaggedBuffer("ParameterList[TagID]", kVarWrite, &err);
        if (kind == StepKind::WriteAtomic) atomicBound_ = t.mapU32("AtomicBound", kVarRead, &err, 0);
        if (isWrite(kind) || kind == StepKind::Verify) writeData_ = t.mapBuffer("WriteData", kVarRead, &err);
        break;
    }
    if (err != 0) {
      error = "step \"" + name + "\" on drive " + t.driveName() + ": a drive variable it uses has another type";
      return err;
    }
  }
  t.setMapper("");
  if (err != 0) error = "drive " + t.driveName() + ": a host variable has another type";
  return err;
}

int CommandSteps::fail(const std::string& stepName, int status, const char* format, ...) {
  char text[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof(text), format, args);
  va_end(args);
  thread_.eventLog().logf(2, "%s: %s", stepName.c_str(), text);
  return status;
}

}  // namespace varnox

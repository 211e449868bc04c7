#include "CommandSteps.h"

#include <algorithm>
#include <cstdarg>
#include <cstring>

#include "tavik/Cdb.h"
#include "tavik/ProtectionInfo.h"
#include "varnox/Errors.h"

namespace varnox {
namespace {

constexpr uint32_t kNoStatus = 0xFFFFFFFF;

// Copies into owned memory, reusing it when it is large enough: the status path runs on every
// pass and should not allocate once the buffers have grown.
bool copyInto(Buffer& buffer, const uint8_t* src, uint64_t bytes) {
  if (buffer.ownsData && buffer.capacity >= bytes && buffer.data != nullptr) {
    if (bytes != 0) std::memcpy(buffer.data, src, bytes);
    buffer.size = bytes;
    return true;
  }
  return buffer.assign(src, bytes);
}

// Makes the buffer own at least `bytes`, keeping larger memory it already owns.
bool ensureOwned(Buffer& buffer, uint64_t bytes) {
  if (buffer.ownsData && buffer.capacity >= bytes && buffer.data != nullptr) {
    buffer.size = bytes;
    return true;
  }
  return buffer.allocate(bytes);
}

const char* statusName(uint8_t status) {
  switch (status) {
    case kStatusGood: return "GOOD";
    case kStatusCheckCondition: return "CHECK CONDITION";
    case kStatusTaskAborted: return "TASK ABORTED";
    default: return "OTHER";
  }
}

bool isWrite(StepKind kind) {
  return kind == StepKind::Write || kind == StepKind::WriteSame || kind == StepKind::WriteAtomic;
}

}  // namespace

const char* stepKindName(StepKind kind) {
  switch (kind) {
    case StepKind::Agent: return "Agent";
    case StepKind::Write: return "Write";
    case StepKind::WriteSame: return "WriteSame";
    case StepKind::Trim: return "Trim";
    case StepKind::WriteAtomic: return "WriteAtomic";
    case StepKind::Read: return "Read";
    case StepKind::Verify: return "Verify";
    case StepKind::SyncCache: return "SyncCache";
    case StepKind::PowerToggle: return "PowerToggle";
    case StepKind::ZoneReset: return "ZoneReset";
    case StepKind::Invalidate: return "Invalidate";
    case StepKind::GetStatus: return "GetStatus";
  }
  return "Unknown";
}

std::map<std::string, uint64_t> CommandCounters::commandsByKind() const {
  std::map<std::string, uint64_t> named;
  for (size_t kind = 0; kind < kKinds; ++kind) {
    if (commandsOfKind[kind] != 0) named[stepKindName(static_cast<StepKind>(kind))] += commandsOfKind[kind];
  }
  return named;
}

std::map<std::string, uint64_t> CommandCounters::completionsByStatus() const {
  std::map<std::string, uint64_t> named;
  for (size_t status = 0; status < completionsOfStatus.size(); ++status) {
    if (completionsOfStatus[status] != 0) named[statusName(static_cast<uint8_t>(status))] += completionsOfStatus[status];
  }
  return named;
}

CommandSteps::CommandSteps(DriveThread& thread, Device& device)
    : thread_(thread),
      device_(device),
      blockBytes_(thread.sectorSize()),
      protectionInfo_(device.geometry().protectionInfoEnabled),
      inFlight_(thread.freeTagQueue().getMaxQueueDepth()),
      latency_(std::make_unique<CommandLatency>()) {}

void CommandSteps::setTiming(double timeoutSeconds, bool recordLatency) {
  recordLatency_ = recordLatency;
  timeoutSeconds_ = timeoutSeconds > 0 ? timeoutSeconds : 0;
  const double ns = timeoutSeconds_ * 1e9;
  timeoutTicks_ = timeoutSeconds_ > 0 ? std::max<uint64_t>(1, clock_.fromNanoseconds(ns < 1.8e19 ? static_cast<uint64_t>(ns) : UINT64_MAX)) : 0;
  // Scanning the tags is cheap but not free: a sixteenth of the timeout, at most 100 ms, finds
  // a late command soon enough.
  scanPeriodTicks_ = std::min(timeoutTicks_ / 16, clock_.fromNanoseconds(100'000'000));
  timed_ = recordLatency_ || timeoutTicks_ != 0;
}

int CommandSteps::mapVariables(const std::vector<std::pair<StepKind, std::string>>& steps, std::string& error) {
  int err = 0;
  DriveThread& t = thread_;
  // The host's own variables come first so that their starting values are the host's: no
  // completion to report, no tag.
  t.setMapper("host");
  epo_ = t.mapU32("EPO", kVarWrite, &err, 0);
  deviceReset_ = t.mapBool("DeviceReset", kVarReadWrite, &err, false);
  deviceInterface_ = t.mapU32("DeviceInterface", kVarWrite, &err, 0);
  for (const auto& [kind, name] : steps) {
    t.setMapper(name);
    switch (kind) {
      case StepKind::GetStatus:
        lastTagId_ = t.mapU32("LastTagID", kVarWrite, &err, 255);
        lastStatusByte_ = t.mapU32("LastStatusByte", kVarWrite, &err, kNoStatus);
        lastErrSense_ = t.mapBuffer("LastErrSenseData", kVarWrite, &err);
        readDataIsValid_ = t.mapU32("ReadDataIsValid", kVarWrite, &err, 0);
        recvCdb_ = t.mapTaggedBuffer("RecvCDB[TagID]", kVarWrite, &err);
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

int CommandSteps::issue(StepKind kind, const std::string& stepName) {
  FreeTagQueue& tags = thread_.freeTagQueue();
  const uint32_t tag = tags.peekNextFreeTag();
  if (tag == kNoTag) return VARNOX_OK;  // every tag is in flight: GetStatus waits for one

  DeviceCommand command;
  command.tag = tag;
  // The device applies it only to the commands that take it; foreign data covers whole ranges.
  command.lbaStride = kind == StepKind::Invalidate ? 1 : lbaStride_;
  const bool invalidate = kind == StepKind::Invalidate;
  const uint64_t lba = invalidate ? *invalidateLba_ : lba_ ? *lba_ : 0;
  const uint32_t blocks = invalidate ? *invalidateXfer_ : xferLength_ ? *xferLength_ : 0;
  const uint64_t bytes = static_cast<uint64_t>(blocks) * blockBytes_;
  // End to end: each block travels with the 8 protection bytes behind it.
  const bool endToEnd = protectionInfo_ && endToEnd_.isSet() && endToEnd_.holds(thread_.conditionMask()) &&
                        (kind == StepKind::Write || kind == StepKind::WriteAtomic || kind == StepKind::Verify ||
                         kind == StepKind::Read);
  const uint8_t protect = endToEnd ? 1 : protectionInfo_ && !endToEnd_.isSet() ? 3 : 0;
  const uint64_t stride = blockBytes_ + (endToEnd ? kProtectionTupleBytes : 0);
  const uint64_t transfer = blocks * stride;
  Buffer* const source = invalidate ? invalidateData_ : writeData_;
  const char* const sourceName = invalidate ? "InvalidateData" : "WriteData";
  auto needWriteData = [&](uint64_t need) -> bool {
    return source != nullptr && source->data != nullptr && source->size >= need;
  };
  auto writeDataError = [&](uint64_t need) {
    return fail(stepName, VARNOX_ERR_READ_DATA, "\"%s\" holds %llu bytes, the command needs %llu", sourceName,
                static_cast<unsigned long long>(source && source->data ? source->size : 0),
                static_cast<unsigned long long>(need));
  };
  uint64_t countedBytes = 0;

  switch (kind) {
    case StepKind::Write:
    case StepKind::WriteAtomic:
    case StepKind::Verify:
    case StepKind::Invalidate:
      if (!needWriteData(transfer)) return writeDataError(transfer);
      if (endToEnd) {
        // The agents leave these bytes free behind each block; a verify's blocks are consecutive.
        const uint64_t step = kind == StepKind::Verify ? 1 : lbaStride_;
        for (uint64_t k = 0; k < blocks; ++k) {
          uint8_t* block = source->data + k * stride;
          fillProtection(block + blockBytes_, block, blockBytes_, lba + k * step);
        }
      }
      command.dataOut = source->data;
      command.dataOutBytes = transfer;
      countedBytes = invalidate ? 0 : bytes;
      if (kind == StepKind::Write || invalidate) {
        command.cdbLength = static_cast<uint32_t>(buildWrite16(command.cdb, lba, blocks, protect));
      } else if (kind == StepKind::Verify) {
        command.cdbLength = static_cast<uint32_t>(buildVerify16(command.cdb, lba, blocks, kBytchkCompare, protect));
      } else {
        if (blocks > 0xFFFF) {
          return fail(stepName, VARNOX_ERR_BAD_VALUE, "\"XferLength\" %u does not fit an atomic write (at most 65535)",
                      blocks);
        }
        const uint32_t bound = atomicBound_ ? *atomicBound_ : 0;
        command.cdbLength = static_cast<uint32_t>(buildWriteAtomic16(
            command.cdb, lba, static_cast<uint16_t>(blocks), static_cast<uint16_t>(bound > 0xFFFF ? 0 : bound),
            protect));
      }
      break;
    case StepKind::WriteSame:
      if (!needWriteData(blockBytes_)) return writeDataError(blockBytes_);
      command.dataOut = writeData_->data;
      command.dataOutBytes = blockBytes_;
      countedBytes = bytes;
      command.cdbLength = static_cast<uint32_t>(buildWriteSame16(command.cdb, lba, blocks, false, protect));
      break;
    case StepKind::Trim: {
      // UNMAP has no stride: a skip trim lists each of its blocks as a range of its own.
      const size_t ranges = lbaStride_ == 1 ? 1 : blocks;
      const size_t listBytes = unmapParameterListBytes(ranges);
      if (listBytes > 0xFFFF) {
        return fail(stepName, VARNOX_ERR_BAD_VALUE,
                    "\"XferLength\" %u is too long for a skip trim (one UNMAP lists at most 4095 blocks)", blocks);
      }
      unmapRanges_.clear();
      for (size_t i = 0; i < ranges; ++i)
        unmapRanges_.push_back(lbaStride_ == 1 ? UnmapRange{lba, blocks} : UnmapRange{lba + i * lbaStride_, 1});
      Buffer* list = parameterList_->buffer(tag);
      if (!ensureOwned(*list, listBytes)) return fail(stepName, VARNOX_ERR_NO_MEMORY, "no memory for the UNMAP list");
      buildUnmapParameterList(list->data, listBytes, unmapRanges_.data(), ranges);
      parameterList_->lock(tag);
      command.dataOut = list->data;
      command.dataOutBytes = listBytes;
      command.cdbLength = static_cast<uint32_t>(buildUnmap10(command.cdb, static_cast<uint16_t>(listBytes)));
      break;
    }
    case StepKind::Read: {
      Buffer* data = readData_->buffer(tag);
      if (!ensureOwned(*data, transfer)) {
        return fail(stepName, VARNOX_ERR_NO_MEMORY, "no memory for %llu bytes of read data",
                    static_cast<unsigned long long>(transfer));
      }
      readData_->lock(tag);
      command.dataIn = data->data;
      command.dataInBytes = transfer;
      countedBytes = bytes;
      command.cdbLength = static_cast<uint32_t>(buildRead16(command.cdb, lba, blocks, protect));
      break;
    }
    case StepKind::SyncCache:
      command.cdbLength = static_cast<uint32_t>(buildSynchronizeCache16(command.cdb));
      break;
    case StepKind::ZoneReset:
      command.cdbLength = static_cast<uint32_t>(buildResetWritePointer(command.cdb, *zoneResetLba_));
      break;
    default:
      return fail(stepName, VARNOX_ERR_GENERIC, "is not a command step");
  }

  Buffer* cdbBuffer = cdb_->buffer(tag);
  if (!copyInto(*cdbBuffer, command.cdb, command.cdbLength)) {
    return fail(stepName, VARNOX_ERR_NO_MEMORY, "no memory for the CDB");
  }
  cdb_->lock(tag);
  tags.takeFreeTag();
  // A held command's latency counts from here: the hold is part of what the host waits.
  const uint64_t submitted = timed_ ? clock_.now() : 0;
  if (syncInFlight_ != 0 && holdBehindSync_) {
    held_.emplace_back(command, stepName);
    ++counters_.heldCommands;
  } else if (const int status = submit(command, stepName); status != VARNOX_OK) {
    return status;
  }
  inFlight_[tag] = InFlight{true, kind, command.cdb[0], blocks, lba, countedBytes, submitted};
  ++inFlightCount_;
  if (kind == StepKind::SyncCache) ++syncInFlight_;
  ++counters_.commandsOfKind[static_cast<size_t>(kind)];
  ++counters_.commands;
  return VARNOX_OK;
}

int CommandSteps::submit(const DeviceCommand& command, const std::string& stepName) {
  const int status = device_.submit(command);
  if (status == 0) return VARNOX_OK;
  const uint32_t tag = command.tag;
  thread_.freeTagQueue().pushFreeTag(tag, 1);
  cdb_->unlock(tag);
  if (readData_) readData_->unlock(tag);
  if (parameterList_) parameterList_->unlock(tag);
  if (device_.stopped()) {
    return fail(stepName, VARNOX_ERR_DEVICE, "the device is stopped and takes no more commands");
  }
  return fail(stepName, VARNOX_ERR_DEVICE, "the device refused the command on tag %u (status %d)", tag, status);
}

void CommandSteps::releaseHeld() {
  releaseOnNextStatus_ = false;
  for (size_t i = 0; i < held_.size(); ++i) {
    const auto& [command, stepName] = held_[i];
    if (submit(command, stepName) != VARNOX_OK) {
      // The device took none of the rest either: they are as lost as after a reset.
      for (size_t j = i; j < held_.size(); ++j) {
        const uint32_t tag = held_[j].first.tag;
        if (inFlight_[tag].active) {
          ++counters_.lostCommands;
          finishTag(tag);
        }
      }
      break;
    }
  }
  held_.clear();
}

int CommandSteps::powerToggle() {
  ++counters_.commandsOfKind[static_cast<size_t>(StepKind::PowerToggle)];
  ++counters_.commands;
  const uint64_t start = timed_ ? clock_.now() : 0;
  const int status = device_.powerToggle();
  if (recordLatency_) {
    InFlight toggle;
    toggle.kind = StepKind::PowerToggle;
    toggle.submitted = start;
    recordLatency(toggle, clock_.now());
  }
  forgetInFlight();  // also the commands held back behind a sync cache: they never ran
  if (status != 0) {
    thread_.eventLog().logf(2, "PowerToggle: the device failed to cycle power (status %d)", status);
    return VARNOX_ERR_DEVICE;
  }
  return VARNOX_OK;
}

void CommandSteps::finishTag(uint32_t tag) {
  if (cdb_) cdb_->unlock(tag);
  if (readData_) readData_->unlock(tag);
  if (parameterList_) parameterList_->unlock(tag);
  if (inFlight_[tag].active) {
    --inFlightCount_;
    if (inFlight_[tag].kind == StepKind::SyncCache && syncInFlight_ != 0) --syncInFlight_;
  }
  inFlight_[tag].active = false;
}

void CommandSteps::forgetInFlight() {
  for (uint32_t tag = 0; tag < inFlight_.size(); ++tag) {
    if (inFlight_[tag].active) {
      ++counters_.lostCommands;
      finishTag(tag);
    }
  }
  held_.clear();
  syncInFlight_ = 0;
  releaseOnNextStatus_ = false;
}

void CommandSteps::freeLostTags() {
  // Tags of commands the device lost are for the agents' reset recovery to free; when every tag
  // is held that way nothing would ever complete, so the host frees them rather than stall.
  FreeTagQueue& tags = thread_.freeTagQueue();
  uint32_t freed = 0;
  for (uint32_t tag = tags.getNotFreeTag(0, false); tag != kNoTag; tag = tags.getNotFreeTag(tag + 1, false)) {
    if (!inFlight_[tag].active) {
      tags.pushFreeTag(tag, 0);
      ++freed;
    }
  }
  if (freed != 0) {
    thread_.eventLog().logf(1, "GetStatus: freed %u tags of commands the device lost; no agent recovered them", freed);
  }
}

void CommandSteps::recordLatency(const InFlight& done, uint64_t now) {
  latency_->byKind[static_cast<size_t>(done.kind)].record(clock_.toNanoseconds(now - done.submitted));
}

int CommandSteps::checkTimeouts(uint64_t now) {
  if (timeoutTicks_ == 0 || now < nextScan_) return VARNOX_OK;
  nextScan_ = now + scanPeriodTicks_;
  const InFlight* oldest = nullptr;
  uint32_t oldestTag = 0;
  for (uint32_t tag = 0; tag < inFlight_.size(); ++tag) {
    const InFlight& f = inFlight_[tag];
    if (f.active && now - f.submitted > timeoutTicks_ && (oldest == nullptr || f.submitted < oldest->submitted)) {
      oldest = &f;
      oldestTag = tag;
    }
  }
  if (oldest == nullptr) return VARNOX_OK;
  timedOut_ = true;
  thread_.eventLog().logf(2,
                          "Command timed out on drive %s: tag %u, opcode 0x%02X (%s), LBA 0x%016llX, %u blocks, "
                          "outstanding %.3f s (command_timeout %g s)",
                          thread_.driveName().c_str(), oldestTag, oldest->opcode, stepKindName(oldest->kind),
                          static_cast<unsigned long long>(oldest->lba), oldest->blocks,
                          static_cast<double>(clock_.toNanoseconds(now - oldest->submitted)) / 1e9, timeoutSeconds_);
  return VARNOX_ERR_DEVICE;
}

int CommandSteps::drain() {
  DeviceCompletion completion;
  while (device_.outstanding() > 0) {
    if (device_.poll(completion, true)) {
      if (completion.tag < inFlight_.size() && inFlight_[completion.tag].active) {
        if (recordLatency_) recordLatency(inFlight_[completion.tag], clock_.now());
        finishTag(completion.tag);
      }
      continue;
    }
    if (timeoutTicks_ == 0) break;
    if (const int status = checkTimeouts(clock_.now()); status != VARNOX_OK) return status;
  }
  return VARNOX_OK;
}

int CommandSteps::getStatus() {
  FreeTagQueue& tags = thread_.freeTagQueue();
  if (releaseOnNextStatus_ && syncInFlight_ == 0) releaseHeld();
  DeviceCompletion completion;
  bool got = device_.poll(completion, false);
  if (!got && tags.peekNextFreeTag() == kNoTag) {
    if (device_.outstanding() > 0) got = device_.poll(completion, true);
    if (!got && device_.outstanding() == 0) freeLostTags();
  }
  // A completion for a tag the device has since lost (reset) carries nothing to report.
  if (got && (completion.tag >= inFlight_.size() || !inFlight_[completion.tag].active)) got = false;
  const uint64_t now = timed_ ? clock_.now() : 0;
  if (!got) {
    *lastStatusByte_ = kNoStatus;
    return checkTimeouts(now);
  }

  const uint32_t tag = completion.tag;
  const InFlight done = inFlight_[tag];
  // The drive proved a block's data and its protection bytes apart: the data's integrity failed.
  uint64_t failedLba = done.lba;
  if (const std::string check = protectionCheckFailure(completion, failedLba); !check.empty()) {
    finishTag(tag);
    tags.pushFreeTag(tag, 0);
    return fail("GetStatus", VARNOX_ERR_MISCOMPARE,
                "Protection information check failed at LBA 0x%016llX: %s, on a %s of %u blocks from LBA 0x%016llX",
                static_cast<unsigned long long>(failedLba), check.c_str(), stepKindName(done.kind), done.blocks,
                static_cast<unsigned long long>(done.lba));
  }
  if (deviceErrors_.count(completion, stepKindName(done.kind), done.lba, done.blocks)) {
    finishTag(tag);
    tags.pushFreeTag(tag, 0);
    return fail("GetStatus", VARNOX_ERR_DEVICE, "%s", deviceErrors_.describe().c_str());
  }
  *lastTagId_ = tag;
  *lastStatusByte_ = completion.status;
  if (completion.sense.empty()) {
    if (lastErrSense_->ownsData) {
      lastErrSense_->size = 0;
    } else {
      lastErrSense_->release();
    }
  } else if (!copyInto(*lastErrSense_, completion.sense.data(), completion.sense.size())) {
    return fail("GetStatus", VARNOX_ERR_NO_MEMORY, "no memory for sense data");
  }
  const bool good = completion.status == kStatusGood;
  // A RECOVERED ERROR delivered the data as GOOD does, and it is checked the same way.
  const bool delivered = completionDeliveredData(completion);
  *readDataIsValid_ = (done.kind == StepKind::Read && delivered) ? 1 : 0;
  uint64_t cdbBytes = 0;
  const uint8_t* cdb = cdb_ ? cdb_->getData(tag, &cdbBytes) : nullptr;
  if (cdb != nullptr && !copyInto(*recvCdb_->buffer(tag), cdb, cdbBytes)) {
    return fail("GetStatus", VARNOX_ERR_NO_MEMORY, "no memory for the received CDB");
  }

  ++counters_.completionsOfStatus[completion.status];
  if (recordLatency_) recordLatency(done, now);
  if (!good) ++counters_.errorCompletions;
  if (good && isWrite(done.kind)) {
    counters_.bytesWritten += done.bytes;
    ++counters_.goodWrites;
  }
  if (done.kind == StepKind::Read || done.kind == StepKind::Verify) {
    if (delivered) {
      counters_.bytesVerified += done.bytes;
      ++counters_.goodReadBacks;
    }
    // A verify's MISCOMPARE is a comparison made too; the count is only whether any was.
    if (delivered || (done.kind == StepKind::Verify && completionIsMiscompare(completion))) ++counters_.dataChecks;
  }
  if (done.kind == StepKind::SyncCache) releaseOnNextStatus_ = true;
  finishTag(tag);
  tags.markCompleted(tag);
  tags.pushFreeTag(tag, 0);
  return checkTimeouts(now);
}

}  // namespace varnox

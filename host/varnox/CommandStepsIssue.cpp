// Building a command step's CDB and data from the drive variables and sending it, or holding
// it back behind a SYNCHRONIZE CACHE until that completes.
#include "BufferReuse.h"
#include "CommandSteps.h"
#include "tavik/Cdb.h"
#include "tavik/ProtectionInfo.h"
#include "varnox/Errors.h"

namespace varnox {

int CommandSteps::issue(StepKind kind, const std::string& stepName) {
  if (journal_ != nullptr) {
    if (const int status = sendJournaled(); status != VARNOX_OK) return status;
  }
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

  const uint64_t journalId = journal_ ? journalIntent(kind, command, lba, blocks, stride) : 0;
  if (journalId == UINT64_MAX) return fail(stepName, VARNOX_ERR_GENERIC, "%s", journalError().c_str());
  Buffer* cdbBuffer = cdb_->buffer(tag);
  if (!copyInto(*cdbBuffer, command.cdb, command.cdbLength)) {
    return fail(stepName, VARNOX_ERR_NO_MEMORY, "no memory for the CDB");
  }
  cdb_->lock(tag);
  tags.takeFreeTag();
  // A held command's latency counts from here: the hold is part of what the host waits.
  const uint64_t submitted = timed_ ? clock_.now() : 0;
  const bool hold = syncInFlight_ != 0 && holdBehindSync_;
  if (awaitingHead_ < awaiting_.size() || (journalId != 0 && !journal_->durable(journalId))) {
    awaiting_.push_back(Awaiting{command, &stepName, journalId, hold});
  } else if (hold) {
    held_.emplace_back(command, stepName);
    ++counters_.heldCommands;
  } else if (const int status = submit(command, stepName); status != VARNOX_OK) {
    return status;
  }
  inFlight_[tag] = InFlight{true, kind, command.cdb[0], blocks, lba, countedBytes, submitted, journalId};
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

}  // namespace varnox

#include "sim/FaultingDevice.h"

#include <algorithm>

#include "tavik/Errors.h"

namespace varnox::sim {
namespace {

constexpr uint32_t kTagLimit = 1024;

}  // namespace

bool faultKindWorksOnRealDevices(const std::string& kind) {
  return std::find(kFileFaultKinds.begin(), kFileFaultKinds.end(), kind) != kFileFaultKinds.end();
}

FaultingDevice::FaultingDevice(std::unique_ptr<Device> inner, std::vector<FaultRule> rules, uint64_t seed)
    : inner_(std::move(inner)),
      rules_(std::move(rules), seed, inner_->geometry().capacityBlocks, inner_->geometry().logicalBlockSize, nullptr),
      written_(kTagLimit),
      sense_(kTagLimit),
      inDevice_(kTagLimit, false) {}

int FaultingDevice::submit(const DeviceCommand& command) {
  ParsedCdb cdb;
  if (inner_->stopped() || command.tag >= kTagLimit || command.cdbLength == 0 ||
      command.cdbLength > sizeof(command.cdb) || command.lbaStride == 0 ||
      parseCdb(command.cdb, command.cdbLength, cdb) != 0)
    return inner_->submit(command);  // the device answers for itself
  CommandContext ctx{command.tag, commandIndex_++, &cdb, takesLbaStride(cdb.opcode) ? command.lbaStride : 1u};
  ctx.dataOut = command.dataOut;
  ctx.dataOutBytes = command.dataOutBytes;
  const Intervention action = rules_.beforeCommand(ctx);
  sense_[command.tag].clear();
  if (action.kind == Intervention::Kind::Abort ||
      (action.kind == Intervention::Kind::CheckCondition && !action.execute)) {
    interventions_.fetch_add(1, std::memory_order_relaxed);
    DeviceCompletion& made = made_.emplace_back();
    made.tag = command.tag;
    made.injected = true;
    if (action.kind == Intervention::Kind::Abort) {
      made.status = kStatusTaskAborted;
    } else {
      made.status = kStatusCheckCondition;
      made.sense = fixedSense(action.sense);
    }
    return 0;
  }
  if (action.kind == Intervention::Kind::CheckCondition) {
    interventions_.fetch_add(1, std::memory_order_relaxed);
    sense_[command.tag] = fixedSense(action.sense);
  }
  if (!isDataWrite(cdb) || command.dataOut == nullptr) return sent(command.tag, inner_->submit(command));

  // The blocks pass the rules on their way to the device; a corrupt rule changes its block here.
  const uint64_t blockBytes = inner_->geometry().logicalBlockSize;
  const uint64_t blocks = cdb.opcode == kOpWriteSame16 ? 1 : cdb.blocks;
  std::vector<uint8_t>& data = written_[command.tag];
  data.assign(command.dataOut, command.dataOut + std::min(command.dataOutBytes, blocks * blockBytes));
  for (uint64_t i = 0; i < blocks && (i + 1) * blockBytes <= data.size(); ++i) {
    const uint64_t lba = cdb.lba + i * ctx.lbaStride;  // a skip write's blocks are every other LBA
    StoreTarget target{true, lba};
    rules_.beforeStore(ctx, target);
    rules_.afterStore(ctx, lba, data.data() + i * blockBytes, blockBytes);
  }
  DeviceCommand changed = command;
  changed.dataOut = data.data();
  changed.dataOutBytes = data.size();
  return sent(command.tag, inner_->submit(changed));
}

int FaultingDevice::sent(uint32_t tag, int status) {
  if (status == 0) inDevice_[tag] = true;
  return status;
}

int FaultingDevice::powerToggle() {
  // The device loses what it held, and the completions made here are lost with it.
  const int status = inner_->powerToggle();
  if (status == VARNOX_ERR_NOT_SUPPORTED) return status;
  for (uint32_t tag = 0; tag < kTagLimit; ++tag) {
    if (inDevice_[tag]) rules_.dropped(tag);
    inDevice_[tag] = false;
  }
  for (const DeviceCompletion& made : made_) rules_.dropped(made.tag);
  made_.clear();
  return status;
}

bool FaultingDevice::poll(DeviceCompletion& completion, bool wait) {
  return pollTags(completion, wait, 0, kTagLimit);
}

bool FaultingDevice::pollTags(DeviceCompletion& completion, bool wait, uint32_t firstTag, uint32_t endTag) {
  const auto made = std::find_if(made_.begin(), made_.end(), [firstTag, endTag](const DeviceCompletion& c) {
    return c.tag >= firstTag && c.tag < endTag;
  });
  if (made != made_.end()) {
    completion = std::move(*made);
    made_.erase(made);
  } else {
    if (!inner_->pollTags(completion, wait, firstTag, endTag)) return false;
    if (completion.tag < kTagLimit) inDevice_[completion.tag] = false;
    // A recovered error is reported only over a success; the data moved all the same (bytesIn).
    if (completion.tag < kTagLimit && !sense_[completion.tag].empty() && completion.status == kStatusGood) {
      completion.status = kStatusCheckCondition;
      completion.sense = sense_[completion.tag];
      completion.injected = true;
    }
  }
  rules_.completed(completion.tag, completion);
  return true;
}

DeviceStats FaultingDevice::stats() const {
  DeviceStats s = inner_->stats();
  s.faultsInjected += interventions_.load(std::memory_order_relaxed) + rules_.injected();
  return s;
}

}  // namespace varnox::sim

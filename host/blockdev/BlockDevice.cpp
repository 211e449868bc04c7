// The submission queue of a file or block device: commands in, kernel requests out, completions back.
#include "blockdev/BlockDevice.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "blockdev/BlockDeviceSlot.h"
#include "tavik/Errors.h"
#include "tavik/Tavik.h"

namespace varnox::blockdev {
namespace {

constexpr uint64_t kMaxPieceBytes = 1ull << 30;   // one kernel request at most
constexpr uint64_t kCancelUserData = UINT64_MAX;  // the request that cancels at a power toggle

// Atomic writes arrived in Linux 6.11; older C library headers lack the flag's name.
#ifdef RWF_ATOMIC
constexpr int kRwfAtomic = RWF_ATOMIC;
#else
constexpr int kRwfAtomic = 0x00000040;
#endif

}  // namespace

void BlockDevice::AlignedFree::operator()(uint8_t* p) const {
  std::free(p);
}

BlockDevice::~BlockDevice() {
  // The rings must not write into buffers that die with the slots.
  for (auto& queue : queues_) {
    while (queue->outstanding > queue->done.size()) {
      DeviceCompletion ignored;
      if (!pollQueue(*queue, ignored, true, 0, kTagLimit)) break;
    }
  }
  if (fd_ >= 0) ::close(fd_);
}

int BlockDevice::submit(const DeviceCommand& command) {
  if (stopped() || fd_ < 0) return VARNOX_ERR_DEVICE;  // a showstop, or lost at a power toggle
  if (command.tag >= kTagLimit || command.cdbLength == 0 || command.cdbLength > sizeof(command.cdb) ||
      command.lbaStride == 0)
    return VARNOX_ERR_BAD_VALUE;
  Slot& slot = slots_[command.tag];
  if (slot.busy) return VARNOX_ERR_BAD_VALUE;
  Queue& queue = queueOf(command.tag);
  if (queue.outstanding >= queue.depth) return VARNOX_ERR_GENERIC;

  slot.busy = true;
  slot.sequence = ++queue.submitted;
  slot.status = kStatusGood;
  slot.senseBytes = 0;
  slot.bytesIn = 0;
  slot.done = slot.total = 0;
  slot.cycle = slot.unit = 0;
  slot.runBytes = slot.runStride = 0;
  slot.rwFlags = 0;
  slot.copyOut = nullptr;
  slot.expected = nullptr;
  slot.kind = Slot::Kind::Transfer;
  slot.write = false;
  slot.discards.clear();
  slot.discardNext = 0;
  queue.outstanding.fetch_add(1, std::memory_order_relaxed);
  queue.commands.fetch_add(1, std::memory_order_relaxed);

  ParsedCdb cdb;
  if (parseCdb(command.cdb, command.cdbLength, cdb) != 0) {
    fail(slot, kSenseIllegalRequest, kAscInvalidFieldInCdb, 0);
    queue.done.push_back(command.tag);
    return 0;
  }
  start(slot, command, cdb);
  return 0;
}

void BlockDevice::start(Slot& slot, const DeviceCommand& command, const ParsedCdb& cdb) {
  const uint32_t tag = command.tag;
  bool inKernel = false;
  if (!cdb.known) {
    fail(slot, kSenseIllegalRequest, kAscInvalidOpcode, 0);
  } else {
    switch (cdb.opcode) {
      case kOpRead16:
      case kOpWrite16:
      case kOpWriteAtomic16:
        inKernel = startTransfer(slot, command, cdb);
        break;
      case kOpVerify16:
        inKernel = startVerify(slot, command, cdb);
        break;
      case kOpWriteSame16:
        inKernel = startWriteSame(slot, command, cdb);
        break;
      case kOpUnmap:
        inKernel = startUnmap(slot, command, cdb);
        break;
      case kOpSynchronizeCache16: {
        if (!rangeValid(cdb.lba, cdb.blocks)) {
          fail(slot, kSenseIllegalRequest, kAscLbaOutOfRange, 0);
          break;
        }
        // fdatasync flushes the whole file whatever range is named, as most drives do; it
        // waits for every write sent before it (waitsFor()).
        slot.kind = Slot::Kind::Sync;
        inKernel = launch(slot, 0, UINT64_MAX);
        break;
      }
    }
  }
  if (!inKernel) queueOf(tag).done.push_back(tag);
}

bool BlockDevice::startTransfer(Slot& slot, const DeviceCommand& command, const ParsedCdb& cdb) {
  const bool isRead = cdb.opcode == kOpRead16;
  const uint32_t stride = command.lbaStride;
  if (cdb.opcode == kOpWriteAtomic16) {
    if (geometry_.atomicUnitBlocks == 0) {
      fail(slot, kSenseIllegalRequest, kAscInvalidOpcode, 0);
      return false;
    }
    // The kernel takes only naturally aligned power-of-two units, of adjacent blocks.
    uint64_t unit = cdb.atomicBoundary ? cdb.atomicBoundary : cdb.blocks;
    if (unit == 0 || unit > geometry_.atomicUnitBlocks || (unit & (unit - 1)) != 0 || cdb.lba % unit != 0 ||
        cdb.blocks % unit != 0 || (stride != 1 && unit != 1)) {
      fail(slot, kSenseIllegalRequest, kAscInvalidFieldInCdb, 0);
      return false;
    }
    slot.unit = unit * geometry_.logicalBlockSize;
    slot.rwFlags = kRwfAtomic;
  }
  if (!acceptCdb(slot, cdb.protect == 0, cdb.lba, strideSpan(cdb.blocks, stride))) return false;
  const uint64_t bytes = uint64_t{cdb.blocks} * geometry_.logicalBlockSize;
  const uint64_t have =
      isRead ? (command.dataIn ? command.dataInBytes : 0) : (command.dataOut ? command.dataOutBytes : 0);
  if (have < bytes) {
    fail(slot, kSenseIllegalRequest, kAscParameterListLength, 0);
    return false;
  }
  if (bytes == 0) return false;
  slot.write = !isRead;
  slot.offset = cdb.lba * geometry_.logicalBlockSize;
  slot.total = bytes;
  if ((cdb.flags & kCdbFua) && !isRead) slot.rwFlags |= RWF_DSYNC;
  const void* callerBuffer = isRead ? static_cast<const void*>(command.dataIn) : command.dataOut;
  if (!direct_ || aligned(callerBuffer)) {
    slot.data = isRead ? command.dataIn : const_cast<uint8_t*>(command.dataOut);  // the kernel only reads it
  } else {
    slot.data = bounce(slot, bytes);
    if (!slot.data) {
      fail(slot, kSenseHardwareError, kAscInternalTargetFailure, 0);
      return false;
    }
    if (isRead)
      slot.copyOut = command.dataIn;
    else
      std::memcpy(slot.data, command.dataOut, bytes);
  }
  setStride(slot, stride);
  return launch(slot, cdb.lba, cdb.lba + strideSpan(cdb.blocks, stride));
}
bool BlockDevice::waitsFor(const Slot& slot, const Slot& other) {
  // A sync must flush what was written before it, and the kernel would start an fdatasync beside
  // the writes still in flight, which may then land after it: so it waits for the writes (and
  // discards) sent before it. Nothing waits for a sync: what is sent after it is not its to flush.
  if (slot.kind == Slot::Kind::Sync) return other.write && other.sequence < slot.sequence;
  if (other.kind == Slot::Kind::Sync) return false;
  return (slot.write || other.write) && slot.firstLba < other.endLba && other.firstLba < slot.endLba;
}

bool BlockDevice::launch(Slot& slot, uint64_t firstLba, uint64_t endLba) {
  // The kernel runs overlapping requests in any order, and a buffered read can copy a page while
  // a write is filling it. A drive keeps every block whole and overlapping commands in order,
  // so a command waits here while it overlaps an earlier one that writes (or that it writes over).
  // Of a split device, a group waits for its own commands only: no other group's touch its blocks.
  slot.firstLba = firstLba;
  slot.endLba = endLba;
  const uint32_t tag = tagOf(slot);
  Queue& queue = queueOf(tag);
  bool blocked = false;
  for (uint32_t other : queue.active) blocked = blocked || waitsFor(slot, slots_[other]);
  for (uint32_t other : queue.waiting) blocked = blocked || waitsFor(slot, slots_[other]);
  if (blocked) {
    queue.waiting.push_back(tag);
    return true;
  }
  if (!issue(slot)) return false;
  queue.active.push_back(tag);
  return true;
}

void BlockDevice::retire(uint32_t tag) {
  Queue& queue = queueOf(tag);
  std::vector<uint32_t>& active = queue.active;
  std::vector<uint32_t>& waiting = queue.waiting;
  auto at = std::find(active.begin(), active.end(), tag);
  if (at != active.end()) active.erase(at);
  // Start what waited for it, oldest first, unless it still overlaps something earlier.
  for (size_t i = 0; i < waiting.size();) {
    Slot& slot = slots_[waiting[i]];
    bool blocked = false;
    for (uint32_t other : active) blocked = blocked || waitsFor(slot, slots_[other]);
    for (size_t j = 0; j < i; ++j) blocked = blocked || waitsFor(slot, slots_[waiting[j]]);
    if (blocked) {
      ++i;
      continue;
    }
    const uint32_t started = waiting[i];
    waiting.erase(waiting.begin() + static_cast<std::ptrdiff_t>(i));
    if (issue(slot))
      active.push_back(started);
    else
      queue.done.push_back(started);
  }
}

bool BlockDevice::issue(Slot& slot) {
  if (slot.kind == Slot::Kind::Discard) return issueDiscard(slot);
  if (slot.kind == Slot::Kind::Sync) {
    const int status = queueOf(slot).ring.fdatasync(fd_, tagOf(slot));
    if (status < 0) failErrno(slot, -status, 0);
    return status == 0;
  }
  const uint64_t position = slot.done;
  const uint64_t inData = slot.cycle ? position % slot.cycle : position;
  uint64_t bytes = std::min(slot.total - position, kMaxPieceBytes);
  if (slot.cycle) bytes = std::min(bytes, slot.cycle - inData);
  if (slot.unit) bytes = std::min(bytes, slot.unit - position % slot.unit);
  if (slot.runBytes) bytes = std::min(bytes, slot.runBytes - position % slot.runBytes);
  const uint64_t tag = tagOf(slot);
  const uint64_t offset = deviceOffset(slot, position);
  UringQueue& ring = queueOf(slot).ring;
  int status = slot.write ? ring.write(fd_, slot.data + inData, static_cast<uint32_t>(bytes), offset,
                                       slot.rwFlags, tag)
                          : ring.read(fd_, slot.data + inData, static_cast<uint32_t>(bytes), offset, tag);
  if (status < 0) {
    failErrno(slot, -status, offset / geometry_.logicalBlockSize);
    return false;
  }
  return true;
}

bool BlockDevice::advance(Slot& slot, int result) {
  if (slot.kind == Slot::Kind::Sync) {
    if (result < 0) failErrno(slot, -result, 0);
    return true;
  }
  if (slot.kind == Slot::Kind::Discard) return advanceDiscard(slot, result);
  const uint32_t bs = geometry_.logicalBlockSize;
  const uint64_t lba = deviceOffset(slot, slot.done) / bs;
  if (result < 0) {
    failErrno(slot, -result, lba);
    return true;
  }
  if (result == 0) {
    // Nothing moved inside the capacity: the file was cut short behind the test's back.
    failErrno(slot, EIO, lba);
    return true;
  }
  const uint64_t bytes = static_cast<uint64_t>(result);
  if (slot.copyOut) std::memcpy(slot.copyOut + slot.done, slot.data + slot.done, bytes);
  if (slot.kind == Slot::Kind::Verify && !compareVerified(slot, bytes)) return true;
  slot.done += bytes;
  if (slot.done < slot.total) return !issue(slot);
  const uint64_t blocks = slot.total / bs;
  if (slot.write) {
    queueOf(slot).blocksWritten.fetch_add(blocks, std::memory_order_relaxed);
  } else {
    queueOf(slot).blocksRead.fetch_add(blocks, std::memory_order_relaxed);
    if (slot.kind == Slot::Kind::Transfer) slot.bytesIn = slot.total;
  }
  return true;
}

void BlockDevice::setStride(Slot& slot, uint32_t stride) const {
  if (stride == 1) return;
  slot.runBytes = geometry_.logicalBlockSize;
  slot.runStride = uint64_t{stride} * geometry_.logicalBlockSize;
}

uint64_t BlockDevice::deviceOffset(const Slot& slot, uint64_t position) {
  if (slot.runBytes == 0) return slot.offset + position;
  return slot.offset + position / slot.runBytes * slot.runStride + position % slot.runBytes;
}

uint8_t* BlockDevice::bounce(Slot& slot, uint64_t bytes) {
  if (slot.bounceBytes < bytes) {
    void* memory = nullptr;
    if (::posix_memalign(&memory, memAlign_, bytes) != 0) return nullptr;
    slot.bounce.reset(static_cast<uint8_t*>(memory));
    slot.bounceBytes = bytes;
  }
  return slot.bounce.get();
}

BlockDevice::Queue& BlockDevice::queueOf(const Slot& slot) const {
  return queueOf(tagOf(slot));
}

uint32_t BlockDevice::outstanding() const {
  uint32_t count = 0;
  for (const auto& queue : queues_) count += queue->outstanding.load(std::memory_order_relaxed);
  return count;
}

bool BlockDevice::splitQueues(uint32_t groups, uint32_t tagsPerGroup) {
  if (groups == 0 || tagsPerGroup == 0 || uint64_t{groups} * tagsPerGroup > kTagLimit || outstanding() != 0)
    return false;
  if (groups == 1) return true;
  std::vector<std::unique_ptr<Queue>> queues;
  for (uint32_t i = 0; i < groups; ++i) {
    auto queue = std::make_unique<Queue>();
    queue->depth = tagsPerGroup;
    std::string error;
    if (!queue->ring.open(tagsPerGroup, error)) return false;
    queues.push_back(std::move(queue));
  }
  queues_ = std::move(queues);
  groupTags_ = tagsPerGroup;
  return true;
}

bool BlockDevice::poll(DeviceCompletion& completion, bool wait) {
  return pollTags(completion, wait, 0, static_cast<uint32_t>(slots_.size()));
}

bool BlockDevice::pollTags(DeviceCompletion& completion, bool wait, uint32_t firstTag, uint32_t endTag) {
  endTag = std::min(endTag, static_cast<uint32_t>(slots_.size()));
  if (firstTag >= endTag) return false;
  Queue& first = queueOf(firstTag);
  if (&first == &queueOf(endTag - 1)) return pollQueue(first, completion, wait, firstTag, endTag);
  // A range across the groups of a split device (never a slice's): each in turn, waiting only
  // when none has one ready.
  for (auto& queue : queues_)
    if (pollQueue(*queue, completion, false, firstTag, endTag)) return true;
  for (auto& queue : queues_)
    if (wait && queue->outstanding != 0 && pollQueue(*queue, completion, true, firstTag, endTag)) return true;
  return false;
}

bool BlockDevice::pollQueue(Queue& queue, DeviceCompletion& completion, bool wait, uint32_t firstTag,
                            uint32_t endTag) {
  std::deque<uint32_t>& done = queue.done;
  const bool everyTag = firstTag == 0 && endTag == slots_.size();
  auto inRange = [firstTag, endTag](uint32_t tag) { return tag >= firstTag && tag < endTag; };
  auto found = everyTag ? done.begin() : std::find_if(done.begin(), done.end(), inRange);
  while (found == done.end()) {
    if (queue.outstanding == 0) return false;  // nothing in the kernel either
    if (!everyTag) {
      // Only what the range has in the kernel can end the wait.
      bool busy = false;
      for (uint32_t t = firstTag; t < endTag && !busy; ++t) busy = slots_[t].busy;
      if (!busy) return false;
    }
    uint64_t tag = 0;
    int result = 0;
    if (!queue.ring.next(wait, tag, result)) return false;
    if (tag < slots_.size() && slots_[tag].busy && advance(slots_[tag], result)) {
      done.push_back(static_cast<uint32_t>(tag));
      retire(static_cast<uint32_t>(tag));
    }
    // A push may move the deque's iterators: look again.
    found = everyTag ? done.begin() : std::find_if(done.begin(), done.end(), inRange);
  }
  const uint32_t tag = *found;
  done.erase(found);
  Slot& slot = slots_[tag];
  completion.tag = tag;
  completion.status = slot.status;
  completion.sense.assign(slot.sense, slot.sense + slot.senseBytes);
  completion.bytesIn = slot.bytesIn;
  slot.busy = false;
  queue.outstanding.fetch_sub(1, std::memory_order_relaxed);
  return true;
}

void BlockDevice::fail(Slot& slot, uint8_t key, uint8_t asc, uint8_t ascq) {
  SenseFields sense;
  sense.key = key;
  sense.asc = asc;
  sense.ascq = ascq;
  fail(slot, sense);
}

void BlockDevice::fail(Slot& slot, const SenseFields& sense) {
  slot.status = kStatusCheckCondition;
  slot.senseBytes = static_cast<uint8_t>(buildFixedSense(slot.sense, sizeof(slot.sense), sense));
  slot.bytesIn = 0;
}

void BlockDevice::failErrno(Slot& slot, int error, uint64_t lba) {
  SenseFields sense;
  if (error == EIO) {
    sense.key = kSenseMediumError;
    sense.asc = kAscUnrecoveredReadError;
    sense.hasInformation = true;
    sense.information = lba;  // the first block of the transfer that failed
  } else {
    sense.key = kSenseHardwareError;
    sense.asc = kAscInternalTargetFailure;
  }
  fail(slot, sense);
}

bool BlockDevice::rangeValid(uint64_t lba, uint64_t blocks) const {
  return lba < geometry_.capacityBlocks && blocks <= geometry_.capacityBlocks - lba;
}

bool BlockDevice::acceptCdb(Slot& slot, bool fieldsUsable, uint64_t lba, uint64_t blocks) {
  if (!fieldsUsable) {
    fail(slot, kSenseIllegalRequest, kAscInvalidFieldInCdb, 0);
    return false;
  }
  if (!rangeValid(lba, blocks)) {
    fail(slot, kSenseIllegalRequest, kAscLbaOutOfRange, 0);
    return false;
  }
  return true;
}

bool BlockDevice::aligned(const void* p) const {
  return reinterpret_cast<uintptr_t>(p) % memAlign_ == 0;
}

int BlockDevice::powerToggle() {
  powerText_.clear();
  if (!power_) return VARNOX_ERR_NOT_SUPPORTED;
  if (fd_ < 0) {
    powerText_ = path_ + " did not come back from an earlier power toggle";
    return VARNOX_ERR_DEVICE;
  }
  const uint32_t lost = outstanding();
  std::string why;
  if (!dropOutstanding(power_->timeoutSeconds(), why)) {
    powerText_ = why;
    return VARNOX_ERR_DEVICE;
  }
  ::close(fd_);
  fd_ = -1;
  std::string report;
  why = power_->cycle(identity_, report);
  if (why.empty()) why = reopen(power_->timeoutSeconds());
  if (!why.empty()) {
    powerText_ = why;
    return VARNOX_ERR_DEVICE;
  }
  powerCycles_.fetch_add(1, std::memory_order_relaxed);
  powerText_ = "power cycled: " + report + "; " + std::to_string(lost) + " command" + (lost == 1 ? "" : "s") +
               " in flight lost";
  return 0;
}

bool BlockDevice::dropOutstanding(double timeoutSeconds, std::string& why) {
  // A busy slot is finished (done), held back (waiting, never handed to the kernel), or has
  // exactly one request in the kernel. Those are cancelled where the kernel still can and
  // waited for where it cannot: their buffers are the host's, which it frees once the toggle
  // returns. What they did is thrown away; the host reports them as aborted. Every group's ring
  // is cancelled before any is waited for, so that they wind down together. The kernel completes
  // a request through the thread that submitted it, even on a cooperative ring: the other
  // groups' threads wait on their locks meanwhile, and it wakes them for that.
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                             std::chrono::duration<double>(timeoutSeconds));
  std::vector<uint64_t> inKernel;
  std::vector<bool> cancelling;
  for (auto& queue : queues_) {
    inKernel.push_back(queue->outstanding - queue->done.size() - queue->waiting.size());
    cancelling.push_back(inKernel.back() > 0 && queue->ring.cancelAll(fd_, kCancelUserData) == 0);
  }
  uint64_t left = 0;
  for (size_t q = 0; q < queues_.size(); ++q) {
    while ((inKernel[q] > 0 || cancelling[q]) && std::chrono::steady_clock::now() < deadline) {
      uint64_t userData = 0;
      int result = 0;
      if (!queues_[q]->ring.next(true, userData, result)) continue;
      if (userData == kCancelUserData)
        cancelling[q] = false;
      else if (userData < slots_.size() && slots_[userData].busy)
        --inKernel[q];
    }
    left += inKernel[q];
  }
  if (left > 0) {
    why = std::to_string(left) + " command" + (left == 1 ? " was" : "s were") + " still in the kernel " +
          secondsText(timeoutSeconds) + " after the power toggle began; " + path_ +
          " cannot be closed safely";
    return false;
  }
  for (Slot& slot : slots_) slot.busy = false;
  for (auto& queue : queues_) {
    queue->done.clear();
    queue->active.clear();
    queue->waiting.clear();
    queue->outstanding = 0;
  }
  return true;
}

std::string BlockDevice::reopen(double timeoutSeconds) {
  // Something may hold a block device exclusively for a moment after it appears (udev's probe
  // with some rules), so a busy device is tried again within the limit.
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                             std::chrono::duration<double>(timeoutSeconds));
  for (;;) {
    fd_ = ::open(path_.c_str(), openFlags_);
    if (fd_ >= 0) break;
    const int error = errno;
    if (error != EBUSY || std::chrono::steady_clock::now() >= deadline)
      return "cannot open " + path_ + " again after the power toggle: " + std::strerror(error);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  if (direct_) {
    const int flags = ::fcntl(fd_, F_GETFL);
    if (flags < 0 || ::fcntl(fd_, F_SETFL, flags | O_DIRECT) != 0) {
      const int error = errno;
      ::close(fd_);
      fd_ = -1;
      return "cannot open " + path_ + " for direct I/O again after the power toggle: " + std::strerror(error);
    }
  }
  return {};
}

int BlockDevice::reset() {
  return VARNOX_ERR_NOT_SUPPORTED;
}

int BlockDevice::ioctl(uint32_t request, uint32_t count, void** args) {
  auto arg = [&](uint32_t i) -> void* { return args && i < count ? args[i] : nullptr; };
  switch (request) {
    case kIoctlGetSetting:
    case kIoctlSetSetting: {
      auto* value = static_cast<uint32_t*>(arg(0));
      if (!value) return VARNOX_ERR_BAD_VALUE;
      if (request == kIoctlGetSetting)
        *value = setting_;
      else
        setting_ = *value;
      return 0;
    }
    case kIoctlMiscompareLba: {
      auto* lba = static_cast<uint64_t*>(arg(1));
      if (!arg(0) || !lba) return VARNOX_ERR_BAD_VALUE;
      lastMiscompareLba_ = *lba;
      return 0;
    }
    default:
      return VARNOX_ERR_NOT_SUPPORTED;  // a file has no vendor properties
  }
}

int BlockDevice::send(const void* request, size_t size) {
  // The showstop cannot put a file into a special mode; stopping here keeps the failing state
  // on the medium for inspection, which is what the showstop is for.
  if (int status = checkShowstopRequest(request, size); status != 0) return status;
  stopped_.store(true, std::memory_order_relaxed);
  return 0;
}

DeviceStats BlockDevice::stats() const {
  DeviceStats s;
  for (const auto& queue : queues_) {
    s.commands += queue->commands.load(std::memory_order_relaxed);
    s.blocksWritten += queue->blocksWritten.load(std::memory_order_relaxed);
    s.blocksRead += queue->blocksRead.load(std::memory_order_relaxed);
  }
  s.powerCycles = powerCycles_.load(std::memory_order_relaxed);
  return s;
}

std::string BlockDevice::describe() const {
  std::string text = (blockDevice_ ? "block device " : "file ") + path_ + ", " +
                     std::to_string(geometry_.capacityBlocks) + " x " +
                     std::to_string(geometry_.logicalBlockSize) + "-byte blocks";
  if (direct_) text += ", direct I/O";
  return text;
}

}  // namespace varnox::blockdev

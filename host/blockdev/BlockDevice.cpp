#include "blockdev/BlockDevice.h"

#include <fcntl.h>
#include <linux/falloc.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "blockdev/DeviceSafety.h"
#include "blockdev/Signatures.h"
#include "tavik/DeviceFactory.h"
#include "tavik/Errors.h"
#include "tavik/Tavik.h"

namespace varnox::blockdev {
namespace {

constexpr uint32_t kTagLimit = 1024;
constexpr uint64_t kMaxPieceBytes = 1ull << 30;      // one kernel request at most
constexpr uint64_t kVerifyWindowBytes = 4ull << 20;  // a verify reads through a window this big
constexpr uint64_t kWriteSameBlocks = 256;           // copies of the block per write of WRITE SAME

constexpr uint8_t kAscInvalidOpcode = 0x20;
constexpr uint8_t kAscLbaOutOfRange = 0x21;
constexpr uint8_t kAscInvalidFieldInCdb = 0x24;
constexpr uint8_t kAscParameterListLength = 0x1A;
constexpr uint8_t kAscInvalidFieldInList = 0x26;
constexpr uint8_t kAscMiscompare = 0x1D;
constexpr uint8_t kAscUnrecoveredReadError = 0x11;
constexpr uint8_t kAscInternalTargetFailure = 0x44;

// Atomic writes arrived in Linux 6.11; older C library headers lack their names, so the kernel's
// values are used directly. A kernel without them never sets the statx bit, and the drive then
// offers no atomic writes.
#ifdef RWF_ATOMIC
constexpr int kRwfAtomic = RWF_ATOMIC;
#else
constexpr int kRwfAtomic = 0x00000040;
#endif
#ifdef STATX_WRITE_ATOMIC
constexpr unsigned kStatxWriteAtomic = STATX_WRITE_ATOMIC;
#else
constexpr unsigned kStatxWriteAtomic = 0x00010000U;
#endif
// Where the kernel's struct statx keeps the atomic write unit limits (two 32-bit values), read
// from the raw bytes because older headers name that space as spare.
constexpr size_t kStatxAtomicUnitMinOffset = 0xA8;
static_assert(sizeof(struct statx) >= kStatxAtomicUnitMinOffset + 8);

// The largest atomic write in blocks the kernel offers for `fd`, 0 when none.
uint32_t atomicUnitBlocks(int fd, uint32_t blockBytes) {
  struct statx ax {};
  if (::statx(fd, "", AT_EMPTY_PATH, kStatxWriteAtomic, &ax) != 0 || !(ax.stx_mask & kStatxWriteAtomic)) return 0;
  uint32_t unit[2];  // minimum, maximum in bytes
  std::memcpy(unit, reinterpret_cast<const uint8_t*>(&ax) + kStatxAtomicUnitMinOffset, sizeof unit);
  return unit[0] <= blockBytes && unit[1] >= blockBytes ? unit[1] / blockBytes : 0;
}

std::string sysErr(const std::string& path, const std::string& what, int error) {
  return "device " + path + ": " + what + ": " + std::strerror(error);
}

uint64_t readSysfsNumber(dev_t device, const char* name) {
  std::ifstream in("/sys/dev/block/" + std::to_string(major(device)) + ":" + std::to_string(minor(device)) +
                   "/queue/" + name);
  uint64_t value = 0;
  return in >> value ? value : 0;
}

uint32_t log2Of(uint32_t value) {
  uint32_t n = 0;
  while (value > 1) {
    value >>= 1;
    ++n;
  }
  return n;
}

}  // namespace

struct BlockDevice::Slot {
  enum class Kind { Transfer, Verify, Sync, Discard };
  bool busy = false;
  Kind kind = Kind::Transfer;
  bool write = false;
  uint8_t status = kStatusGood;
  uint8_t senseBytes = 0;
  uint8_t sense[kFixedSenseBytes] = {};
  uint64_t bytesIn = 0;
  uint64_t offset = 0;  // device byte offset of the command's first block
  uint64_t total = 0;   // bytes the command moves
  uint64_t done = 0;
  uint8_t* data = nullptr;      // what the kernel reads into or writes from
  uint64_t cycle = 0;           // `data` repeats every `cycle` bytes (WRITE SAME, verify window); 0 none
  uint64_t unit = 0;            // no kernel request crosses a multiple of `unit` (atomic units); 0 none
  // A skip command moves its data in runs of `runBytes` whose device offsets are `runStride`
  // apart, one kernel request per run at most; 0: one contiguous run.
  uint64_t runBytes = 0, runStride = 0;
  int rwFlags = 0;
  uint64_t firstLba = 0, endLba = 0;  // the blocks it touches, for ordering overlapping commands
  uint8_t* copyOut = nullptr;   // the caller's read buffer when reading through the bounce buffer
  const uint8_t* expected = nullptr;
  uint8_t bytchk = 0;
  AlignedBytes bounce;
  uint64_t bounceBytes = 0;
  std::vector<UnmapRange> discards;  // a discard's ranges, deallocated one after the other
  size_t discardNext = 0;
};

void BlockDevice::AlignedFree::operator()(uint8_t* p) const { std::free(p); }

std::unique_ptr<BlockDevice> BlockDevice::open(const DeviceSpec& deviceSpec, std::string& error, int& exitStatus,
                                               std::vector<std::string>& warnings) {
  const std::string& path = deviceSpec.kind;
  exitStatus = kExitRefused;
  if (deviceSpec.protectionInfo) {
    error = "device " + path + ": protection information is not available on a file or block device";
    return nullptr;
  }
  if (deviceSpec.logicalBlockSize == 0 || deviceSpec.queueDepth == 0 || deviceSpec.queueDepth > kTagLimit) {
    error = "device " + path + ": block size and queue depth (1 to 1024) must be set";
    return nullptr;
  }
  exitStatus = kExitDeviceFailure;
  std::unique_ptr<BlockDevice> device(new BlockDevice());
  device->path_ = path;
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 && errno != ENOENT) {
    error = sysErr(path, "cannot open", errno);
    return nullptr;
  }
  device->blockDevice_ = S_ISBLK(st.st_mode);
  // Like a path that cannot be opened, one that is not a file or block device is a device that
  // cannot be used (exit 3), whatever the reason.
  if (!device->blockDevice_ && st.st_mode != 0 && !S_ISREG(st.st_mode)) {
    const char* what = S_ISDIR(st.st_mode)  ? "a directory"
                       : S_ISCHR(st.st_mode) ? "a character device"
                       : S_ISFIFO(st.st_mode) ? "a pipe"
                       : S_ISSOCK(st.st_mode) ? "a socket"
                                              : "not a regular file";
    error = "device " + path + ": cannot be used as a drive: it is " + std::string(what) +
            " (a drive is a regular file or a block device)";
    return nullptr;
  }

  DeviceGeometry& g = device->geometry_;
  g.supportsPowerToggle = false;
  g.supportsReset = false;
  g.protectionInfoEnabled = false;
  g.maxQueueDepth = deviceSpec.queueDepth;
  g.atomicUnitBlocks = 0;
  device->queueDepth_ = deviceSpec.queueDepth;
  uint64_t limitBytes = deviceSpec.capacityBlocks * deviceSpec.logicalBlockSize;

  if (device->blockDevice_) {
    // Checked before the open: a device the kernel holds fails O_EXCL below with a vaguer EBUSY.
    if (std::string use = kernelUseOf(st.st_rdev); !use.empty()) {
      error = "device " + path + ": " + use;
      exitStatus = kExitRefused;
      return nullptr;
    }
    // O_EXCL on a block device fails while anything else holds it: a mount, md, device-mapper.
    device->fd_ = ::open(path.c_str(), (deviceSpec.checkOnly ? O_RDONLY : O_RDWR) | O_EXCL | O_CLOEXEC);
    if (device->fd_ < 0) {
      error = errno == EBUSY ? "device " + path + ": in use by a mount or another program" : sysErr(path, "cannot open", errno);
      return nullptr;
    }
    int logical = 0;
    unsigned int physical = 0;
    uint64_t bytes = 0;
    if (::ioctl(device->fd_, BLKSSZGET, &logical) != 0 || ::ioctl(device->fd_, BLKPBSZGET, &physical) != 0 ||
        ::ioctl(device->fd_, BLKGETSIZE64, &bytes) != 0 || logical <= 0) {
      error = sysErr(path, "cannot read its geometry", errno);
      return nullptr;
    }
    g.logicalBlockSize = static_cast<uint32_t>(logical);
    g.log2LogicalPerPhysical = physical > g.logicalBlockSize ? log2Of(physical / g.logicalBlockSize) : 0;
    // The test file's capacity, when smaller than the device, limits the range the test uses.
    g.capacityBlocks = std::min(bytes, limitBytes) / g.logicalBlockSize;
    if (std::string refusal = refuseSignatures(path, deviceSpec.destroyData && deviceSpec.force); !refusal.empty()) {
      error = refusal;
      exitStatus = kExitRefused;
      return nullptr;
    }
    // A deallocation on a device must read back as zeros, which only a zeroing discard promises.
    g.supportsUnmap = readSysfsNumber(st.st_rdev, "write_zeroes_max_bytes") > 0;
  } else {
    // An image a user made (a file system, an LVM or RAID image) is refused like a device; an
    // empty or zero-filled file, or one an earlier run wrote, carries nothing blkid recognises.
    if (st.st_mode != 0) {
      if (std::string refusal = refuseSignatures(path, deviceSpec.destroyData && deviceSpec.force); !refusal.empty()) {
        error = refusal;
        exitStatus = kExitRefused;
        return nullptr;
      }
    }
    g.logicalBlockSize = deviceSpec.logicalBlockSize;
    g.log2LogicalPerPhysical = deviceSpec.log2LogicalPerPhysical;
    g.capacityBlocks = deviceSpec.capacityBlocks;
    if (deviceSpec.checkOnly) {
      // Only looked at: a missing file is not created, a short one not extended. Whether its file
      // system punches holes cannot be tried without writing, so trims are taken on trust here.
      if (st.st_mode != 0) {
        device->fd_ = openForInspection(path);
        if (device->fd_ < 0) {
          error = sysErr(path, "cannot open", errno);
          return nullptr;
        }
      } else if (std::filesystem::path parent = std::filesystem::path(path).parent_path();
                 ::access(parent.empty() ? "." : parent.c_str(), W_OK | X_OK) != 0) {
        error = sysErr(path, "cannot create it", errno);
        return nullptr;
      }
      g.supportsUnmap = true;
    } else {
      device->fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
      if (device->fd_ < 0) {
        error = sysErr(path, "cannot open", errno);
        return nullptr;
      }
      if (::fstat(device->fd_, &st) != 0) {
        error = sysErr(path, "cannot read its size", errno);
        return nullptr;
      }
      if (static_cast<uint64_t>(st.st_size) < limitBytes &&
          ::ftruncate(device->fd_, static_cast<off_t>(limitBytes)) != 0) {
        error = sysErr(path, "cannot extend it to " + std::to_string(limitBytes) + " bytes", errno);
        return nullptr;
      }
      // Space is reserved now so that a full file system shows up here, not as write errors later.
      if (::fallocate(device->fd_, 0, 0, static_cast<off_t>(limitBytes)) != 0 && errno == ENOSPC) {
        error = sysErr(path, "cannot reserve " + std::to_string(limitBytes) + " bytes", ENOSPC);
        return nullptr;
      }
      // Probed past the end of the file, where punching a hole changes nothing.
      off_t probe = static_cast<off_t>(std::max<uint64_t>(st.st_size, limitBytes) + g.logicalBlockSize);
      g.supportsUnmap =
          ::fallocate(device->fd_, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, probe, g.logicalBlockSize) == 0;
    }
  }

  if (deviceSpec.directIo && device->fd_ >= 0) {
    struct statx sx {};
    uint32_t offsetAlign = device->blockDevice_ ? g.logicalBlockSize : 0;
    if (::statx(device->fd_, "", AT_EMPTY_PATH, STATX_DIOALIGN, &sx) == 0 && (sx.stx_mask & STATX_DIOALIGN) &&
        sx.stx_dio_offset_align != 0) {
      offsetAlign = sx.stx_dio_offset_align;
      device->memAlign_ = std::max<uint32_t>(device->memAlign_, sx.stx_dio_mem_align);
    }
    int flags = ::fcntl(device->fd_, F_GETFL);
    if (offsetAlign != 0 && g.logicalBlockSize % offsetAlign == 0 && flags >= 0 &&
        ::fcntl(device->fd_, F_SETFL, flags | O_DIRECT) == 0) {
      device->direct_ = true;
    } else {
      warnings.push_back("device " + path + ": direct I/O is not available for " + std::to_string(g.logicalBlockSize) +
                         "-byte blocks here; the test goes through the page cache");
    }
  }

  // The kernel writes a unit atomically only with direct I/O and only units it reports.
  if (device->direct_) g.atomicUnitBlocks = atomicUnitBlocks(device->fd_, g.logicalBlockSize);

  if (!device->ring_.open(deviceSpec.queueDepth, error)) {
    error = "device " + path + ": " + error;
    return nullptr;
  }
  device->slots_.resize(kTagLimit);
  return device;
}

BlockDevice::~BlockDevice() {
  // The ring must not write into buffers that die with the slots.
  while (outstanding_ > done_.size()) {
    DeviceCompletion ignored;
    if (!poll(ignored, true)) break;
  }
  if (fd_ >= 0) ::close(fd_);
}

int BlockDevice::submit(const DeviceCommand& command) {
  if (stopped()) return VARNOX_ERR_DEVICE;
  if (command.tag >= kTagLimit || command.cdbLength == 0 || command.cdbLength > sizeof(command.cdb) ||
      command.lbaStride == 0)
    return VARNOX_ERR_BAD_VALUE;
  Slot& slot = slots_[command.tag];
  if (slot.busy) return VARNOX_ERR_BAD_VALUE;
  if (outstanding_ >= queueDepth_) return VARNOX_ERR_GENERIC;

  slot.busy = true;
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
  ++outstanding_;
  commands_.fetch_add(1, std::memory_order_relaxed);

  ParsedCdb cdb;
  if (parseCdb(command.cdb, command.cdbLength, cdb) != 0) {
    fail(slot, kSenseIllegalRequest, kAscInvalidFieldInCdb, 0);
    done_.push_back(command.tag);
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
        // fdatasync flushes the whole file whatever range is named, as most drives do.
        slot.kind = Slot::Kind::Sync;
        int status = ring_.fdatasync(fd_, tag);
        if (status < 0) failErrno(slot, -status, cdb.lba);
        inKernel = status == 0;
        break;
      }
    }
  }
  if (!inKernel) done_.push_back(tag);
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
  if (cdb.protect != 0) {
    fail(slot, kSenseIllegalRequest, kAscInvalidFieldInCdb, 0);
    return false;
  }
  if (!rangeValid(cdb.lba, strideSpan(cdb.blocks, stride))) {
    fail(slot, kSenseIllegalRequest, kAscLbaOutOfRange, 0);
    return false;
  }
  const uint64_t bytes = uint64_t{cdb.blocks} * geometry_.logicalBlockSize;
  const uint64_t have = isRead ? (command.dataIn ? command.dataInBytes : 0) : (command.dataOut ? command.dataOutBytes : 0);
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

bool BlockDevice::startVerify(Slot& slot, const DeviceCommand& command, const ParsedCdb& cdb) {
  if (cdb.bytchk == 2 || cdb.protect != 0) {
    fail(slot, kSenseIllegalRequest, kAscInvalidFieldInCdb, 0);
    return false;
  }
  if (!rangeValid(cdb.lba, cdb.blocks)) {
    fail(slot, kSenseIllegalRequest, kAscLbaOutOfRange, 0);
    return false;
  }
  const uint32_t bs = geometry_.logicalBlockSize;
  const uint64_t bytes = uint64_t{cdb.blocks} * bs;
  const uint64_t need = cdb.bytchk == kBytchkCompare ? bytes : cdb.bytchk == kBytchkSame ? bs : 0;
  if (need > 0 && (!command.dataOut || command.dataOutBytes < need)) {
    fail(slot, kSenseIllegalRequest, kAscParameterListLength, 0);
    return false;
  }
  if (bytes == 0) return false;
  slot.kind = Slot::Kind::Verify;
  slot.offset = cdb.lba * bs;
  slot.total = bytes;
  slot.bytchk = cdb.bytchk;
  slot.expected = command.dataOut;
  // The medium is read through a window, so a long verify needs no buffer of its own size.
  slot.cycle = std::min(bytes, kVerifyWindowBytes);
  slot.data = bounce(slot, slot.cycle);
  if (!slot.data) {
    fail(slot, kSenseHardwareError, kAscInternalTargetFailure, 0);
    return false;
  }
  return launch(slot, cdb.lba, cdb.lba + cdb.blocks);
}

bool BlockDevice::startWriteSame(Slot& slot, const DeviceCommand& command, const ParsedCdb& cdb) {
  const bool noData = (cdb.flags & (kCdbUnmap | kCdbNdob)) != 0;
  const uint32_t bs = geometry_.logicalBlockSize;
  const uint32_t stride = command.lbaStride;
  if (cdb.protect != 0) {
    fail(slot, kSenseIllegalRequest, kAscInvalidFieldInCdb, 0);
    return false;
  }
  if (!rangeValid(cdb.lba, strideSpan(cdb.blocks, stride))) {
    fail(slot, kSenseIllegalRequest, kAscLbaOutOfRange, 0);
    return false;
  }
  if (!noData && (!command.dataOut || command.dataOutBytes < bs)) {
    fail(slot, kSenseIllegalRequest, kAscParameterListLength, 0);
    return false;
  }
  // Zero blocks would mean "to the end of the medium"; refused, as the simulated drive does.
  if (cdb.blocks == 0) {
    fail(slot, kSenseIllegalRequest, kAscInvalidFieldInCdb, 0);
    return false;
  }
  if (cdb.flags & kCdbUnmap) {
    if (!geometry_.supportsUnmap) {
      fail(slot, kSenseIllegalRequest, kAscInvalidFieldInCdb, 0);
      return false;
    }
    if (stride == 1) slot.discards.push_back({cdb.lba, cdb.blocks});
    for (uint64_t i = 0; stride != 1 && i < cdb.blocks; ++i) slot.discards.push_back({cdb.lba + i * stride, 1});
    return startDiscard(slot);
  }
  const uint64_t copies = std::min<uint64_t>(cdb.blocks, kWriteSameBlocks);
  uint8_t* pattern = bounce(slot, copies * bs);
  if (!pattern) {
    fail(slot, kSenseHardwareError, kAscInternalTargetFailure, 0);
    return false;
  }
  for (uint64_t i = 0; i < copies; ++i) {
    if (cdb.flags & kCdbNdob)
      std::memset(pattern + i * bs, 0, bs);
    else
      std::memcpy(pattern + i * bs, command.dataOut, bs);
  }
  slot.write = true;
  slot.offset = cdb.lba * bs;
  slot.total = uint64_t{cdb.blocks} * bs;
  slot.data = pattern;
  slot.cycle = copies * bs;
  setStride(slot, stride);
  return launch(slot, cdb.lba, cdb.lba + strideSpan(cdb.blocks, stride));
}

bool BlockDevice::startUnmap(Slot& slot, const DeviceCommand& command, const ParsedCdb& cdb) {
  if (cdb.parameterListBytes == 0) return false;
  if (!command.dataOut || command.dataOutBytes < cdb.parameterListBytes) {
    fail(slot, kSenseIllegalRequest, kAscParameterListLength, 0);
    return false;
  }
  if (!geometry_.supportsUnmap) {
    fail(slot, kSenseIllegalRequest, kAscInvalidOpcode, 0);
    return false;
  }
  int count = unmapDescriptorCount(command.dataOut, cdb.parameterListBytes);
  if (count < 0) {
    fail(slot, kSenseIllegalRequest, kAscInvalidFieldInList, 0);
    return false;
  }
  // Every range is checked before any is touched, so a refused list changes nothing.
  for (int i = 0; i < count; ++i) {
    UnmapRange r = unmapDescriptor(command.dataOut, i);
    if (!rangeValid(r.lba, r.blocks)) {
      fail(slot, kSenseIllegalRequest, kAscLbaOutOfRange, 0);
      return false;
    }
    slot.discards.push_back(r);
  }
  return startDiscard(slot);
}

bool BlockDevice::startDiscard(Slot& slot) {
  // Empty ranges deallocate nothing; a list of only those completes at once.
  std::erase_if(slot.discards, [](const UnmapRange& r) { return r.blocks == 0; });
  if (slot.discards.empty()) return false;
  uint64_t first = UINT64_MAX, end = 0;
  for (const UnmapRange& r : slot.discards) {
    first = std::min(first, r.lba);
    end = std::max(end, r.lba + r.blocks);
  }
  slot.kind = Slot::Kind::Discard;
  slot.write = true;  // ordered against overlapping commands like a write
  return launch(slot, first, end);
}

bool BlockDevice::overlaps(const Slot& a, const Slot& b) {
  return (a.write || b.write) && a.firstLba < b.endLba && b.firstLba < a.endLba;
}

bool BlockDevice::launch(Slot& slot, uint64_t firstLba, uint64_t endLba) {
  // The kernel runs overlapping requests in any order, and a buffered read can copy a page while
  // a write is filling it. A drive keeps every block whole and overlapping commands in order,
  // so a command waits here while it overlaps an earlier one that writes (or that it writes over).
  slot.firstLba = firstLba;
  slot.endLba = endLba;
  const uint32_t tag = static_cast<uint32_t>(&slot - slots_.data());
  bool blocked = false;
  for (uint32_t other : active_) blocked = blocked || overlaps(slot, slots_[other]);
  for (uint32_t other : waiting_) blocked = blocked || overlaps(slot, slots_[other]);
  if (blocked) {
    waiting_.push_back(tag);
    return true;
  }
  if (!issue(slot)) return false;
  active_.push_back(tag);
  return true;
}

void BlockDevice::retire(uint32_t tag) {
  auto at = std::find(active_.begin(), active_.end(), tag);
  if (at != active_.end()) active_.erase(at);
  // Start what waited for it, oldest first, unless it still overlaps something earlier.
  for (size_t i = 0; i < waiting_.size();) {
    Slot& slot = slots_[waiting_[i]];
    bool blocked = false;
    for (uint32_t other : active_) blocked = blocked || overlaps(slot, slots_[other]);
    for (size_t j = 0; j < i; ++j) blocked = blocked || overlaps(slot, slots_[waiting_[j]]);
    if (blocked) {
      ++i;
      continue;
    }
    const uint32_t started = waiting_[i];
    waiting_.erase(waiting_.begin() + static_cast<std::ptrdiff_t>(i));
    if (issue(slot))
      active_.push_back(started);
    else
      done_.push_back(started);
  }
}

bool BlockDevice::issue(Slot& slot) {
  if (slot.kind == Slot::Kind::Discard) {
    // A punched hole reads as zeros in a file; on a block device the kernel turns it into a
    // discard that guarantees zeros (a plain BLKDISCARD may leave the old data readable, which
    // the read-back would report as a miscompare).
    const UnmapRange& r = slot.discards[slot.discardNext];
    const uint64_t bs = geometry_.logicalBlockSize;
    const int status = ring_.fallocate(fd_, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, r.lba * bs,
                                       uint64_t{r.blocks} * bs, static_cast<uint64_t>(&slot - slots_.data()));
    if (status < 0) {
      failErrno(slot, -status, r.lba);
      return false;
    }
    return true;
  }
  const uint64_t position = slot.done;
  const uint64_t inData = slot.cycle ? position % slot.cycle : position;
  uint64_t bytes = std::min(slot.total - position, kMaxPieceBytes);
  if (slot.cycle) bytes = std::min(bytes, slot.cycle - inData);
  if (slot.unit) bytes = std::min(bytes, slot.unit - position % slot.unit);
  if (slot.runBytes) bytes = std::min(bytes, slot.runBytes - position % slot.runBytes);
  const uint64_t tag = static_cast<uint64_t>(&slot - slots_.data());
  const uint64_t offset = deviceOffset(slot, position);
  int status = slot.write ? ring_.write(fd_, slot.data + inData, static_cast<uint32_t>(bytes), offset, slot.rwFlags, tag)
                          : ring_.read(fd_, slot.data + inData, static_cast<uint32_t>(bytes), offset, tag);
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
  if (slot.kind == Slot::Kind::Discard) {
    if (result < 0) {
      failErrno(slot, -result, slot.discards[slot.discardNext].lba);
      return true;
    }
    return ++slot.discardNext >= slot.discards.size() || !issue(slot);
  }
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
    blocksWritten_.fetch_add(blocks, std::memory_order_relaxed);
  } else {
    blocksRead_.fetch_add(blocks, std::memory_order_relaxed);
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

bool BlockDevice::compareVerified(Slot& slot, uint64_t bytes) {
  if (slot.bytchk == kBytchkNone) return true;
  const uint32_t bs = geometry_.logicalBlockSize;
  const uint8_t* medium = slot.data + slot.done % slot.cycle;
  for (uint64_t i = 0; i < bytes;) {
    const uint64_t position = slot.done + i;  // in the verified range
    const uint64_t inBlock = position % bs;
    const uint64_t length = std::min<uint64_t>(bytes - i, bs - inBlock);
    const uint8_t* expected = slot.expected + (slot.bytchk == kBytchkSame ? inBlock : position);
    if (std::memcmp(expected, medium + i, length) != 0) {
      uint64_t offset = 0;
      while (expected[offset] == medium[i + offset]) ++offset;
      SenseFields sense;
      sense.key = kSenseMiscompare;
      sense.asc = kAscMiscompare;
      sense.hasInformation = true;
      sense.information = position + offset;  // byte offset of the first difference in the verified range
      fail(slot, sense);
      return false;
    }
    i += length;
  }
  return true;
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

bool BlockDevice::poll(DeviceCompletion& completion, bool wait) {
  while (done_.empty()) {
    if (outstanding_ == 0) return false;  // nothing in the kernel either
    uint64_t tag = 0;
    int result = 0;
    if (!ring_.next(wait, tag, result)) return false;
    if (tag < slots_.size() && slots_[tag].busy && advance(slots_[tag], result)) {
      done_.push_back(static_cast<uint32_t>(tag));
      retire(static_cast<uint32_t>(tag));
    }
  }
  const uint32_t tag = done_.front();
  done_.pop_front();
  Slot& slot = slots_[tag];
  completion.tag = tag;
  completion.status = slot.status;
  completion.sense.assign(slot.sense, slot.sense + slot.senseBytes);
  completion.bytesIn = slot.bytesIn;
  slot.busy = false;
  --outstanding_;
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

bool BlockDevice::aligned(const void* p) const { return reinterpret_cast<uintptr_t>(p) % memAlign_ == 0; }

int BlockDevice::powerToggle() { return VARNOX_ERR_NOT_SUPPORTED; }

int BlockDevice::reset() { return VARNOX_ERR_NOT_SUPPORTED; }

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
  s.commands = commands_.load(std::memory_order_relaxed);
  s.blocksWritten = blocksWritten_.load(std::memory_order_relaxed);
  s.blocksRead = blocksRead_.load(std::memory_order_relaxed);
  return s;
}

std::string BlockDevice::describe() const {
  std::string text = (blockDevice_ ? "block device " : "file ") + path_ + ", " +
                     std::to_string(geometry_.capacityBlocks) + " x " + std::to_string(geometry_.logicalBlockSize) +
                     "-byte blocks";
  if (direct_) text += ", direct I/O";
  return text;
}

}  // namespace varnox::blockdev

// Opening a file or block device: its geometry, and probing what it can do (direct I/O, atomic writes, trim).
#include <fcntl.h>
#include <linux/falloc.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "blockdev/BlockDevice.h"
#include "blockdev/BlockDeviceSlot.h"
#include "blockdev/DeviceSafety.h"
#include "blockdev/Signatures.h"
#include "tavik/DeviceFactory.h"

namespace varnox::blockdev {
namespace {

// Atomic writes arrived in Linux 6.11; older C library headers lack their names, so the kernel's
// value is used directly. A kernel without them never sets the statx bit, and the drive then
// offers no atomic writes.
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
  if (std::string why = powerSettingsError(deviceSpec); !why.empty()) {
    error = "device " + path + ": " + why;
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
  uint64_t limitBytes = deviceSpec.capacityBlocks * deviceSpec.logicalBlockSize;

  if (device->blockDevice_) {
    // Checked before the open: a device the kernel holds fails O_EXCL below with a vaguer EBUSY.
    if (std::string use = kernelUseOf(st.st_rdev); !use.empty()) {
      error = "device " + path + ": " + use;
      exitStatus = kExitRefused;
      return nullptr;
    }
    // O_EXCL on a block device fails while anything else holds it: a mount, md, device-mapper.
    device->openFlags_ = O_RDWR | O_EXCL | O_CLOEXEC;
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
    // An image a user made (a file system, an LVM or RAID image) is refused like a device, and so
    // is any other data of the user's (a text file, an archive); an empty or zero-filled file, or
    // one an earlier run wrote, is neither.
    if (st.st_mode != 0) {
      const bool destroy = deviceSpec.destroyData && deviceSpec.force;
      std::string refusal = refuseSignatures(path, destroy);
      if (refusal.empty()) refusal = refuseUserData(path, destroy);
      if (!refusal.empty()) {
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
      // After a power toggle the file must be back: it is not created again.
      device->openFlags_ = O_RDWR | O_CLOEXEC;
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

  // Power control: what must come back after a cut is what is there now, at its full size.
  if (!deviceSpec.powerOff.empty()) {
    g.supportsPowerToggle = true;
    device->power_ = std::make_unique<PowerControl>(deviceSpec);
    if (!deviceSpec.checkOnly && !readDeviceIdentity(path, device->identity_, error)) {
      error = "device " + error;
      return nullptr;
    }
  }

  auto queue = std::make_unique<BlockDevice::Queue>();
  queue->depth = deviceSpec.queueDepth;
  if (!queue->ring.open(deviceSpec.queueDepth, error)) {
    error = "device " + path + ": " + error;
    return nullptr;
  }
  device->queues_.push_back(std::move(queue));
  device->slots_.resize(kTagLimit);
  return device;
}

}  // namespace varnox::blockdev

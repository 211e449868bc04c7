#pragma once
// Checks made before a test may write a block device: that nothing uses it and that it carries
// no file system or partition table a user would miss.
#include <sys/types.h>

#include <cstdint>
#include <string>

namespace varnox::blockdev {

// The name of the first file-system, volume or partition-table signature found in the first
// 128 KiB or the last block of the `bytes` bytes readable through `fd` ("ext2/3/4", "XFS",
// "btrfs", "MBR", "GPT", "swap", "LUKS"); empty when there is none. Reads with pread, so it works
// on a regular file as on a device; a read error counts as no signature there.
std::string findSignature(int fd, uint64_t bytes, uint32_t blockSize);

// The mount point of a file system on the block device `device` (st_rdev), from
// /proc/self/mountinfo; empty when it is not mounted.
std::string mountPointOf(dev_t device);

// Why `path` (open as `fd`, `bytes` long) must not be written, or empty when it may be. A mounted
// device is always refused: writing under a live file system corrupts it whatever the user
// asked. A signature is refused unless `destroyData` (the test file's destroy_data together with
// --force on the command line). The O_EXCL open that tells a device in use is the caller's.
std::string refuseUnsafeDevice(int fd, const std::string& path, dev_t device, uint64_t bytes, uint32_t blockSize,
                               bool destroyData);

}  // namespace varnox::blockdev

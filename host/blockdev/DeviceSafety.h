#pragma once
// Checks made before a test may write a file or block device: that the kernel is not using it
// and that it carries nothing blkid recognises that a user would miss.
#include <sys/types.h>

#include <string>

namespace varnox::blockdev {

// The mount point of a file system on the block device `device` (st_rdev), from `mountInfo`;
// empty when it is not mounted.
std::string mountPointOf(dev_t device, const std::string& mountInfo = "/proc/self/mountinfo");

// Why the kernel is using the block device `device`, or empty when it is not: it is mounted, it
// has holders (device-mapper, md, LVM, bcache: <sysRoot>/dev/block/M:m/holders), or one of its
// partitions is mounted or held. No flag lifts this: writing under the kernel's feet corrupts what
// it serves whatever the user asked. `sysRoot` and `mountInfo` are parameters for tests.
std::string kernelUseOf(dev_t device, const std::string& sysRoot = "/sys",
                        const std::string& mountInfo = "/proc/self/mountinfo");

// Why `path` must not be overwritten, or empty when it may be: blkid recognises a signature on it
// (the message names blkid's types), or cannot probe it. `destroyData` (the drive's destroy_data
// together with --force) lifts both. Reads through its own descriptor and leaves the access time
// alone.
std::string refuseSignatures(const std::string& path, bool destroyData);

// Why the existing regular file `path` must not be overwritten, or empty when it may be: it holds
// data that is neither zeros nor blocks a run of this tool wrote (FileData.h), a text file or an
// archive blkid has no name for, or it cannot be read to tell. `destroyData` (the drive's
// destroy_data together with --force) lifts this. An empty file is the user's to test on.
std::string refuseUserData(const std::string& path, bool destroyData);

}  // namespace varnox::blockdev

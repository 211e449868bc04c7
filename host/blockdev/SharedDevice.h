#pragma once
// Two drives of one test on the same medium would overwrite each other's blocks, and each agent
// would report the other's writes as miscompares. Found before any device is opened.
#include <string>
#include <vector>

#include "tavik/DeviceSettings.h"

namespace varnox::blockdev {

// Empty when no two drives share a medium; else a message naming both drives and their paths.
// Shared are: one file by any path (same device and inode, so symlinks and hard links too), one
// block device, and a partition with its disk or another partition it overlaps (read from
// /sys/dev/block). Simulated drives never share; a path that does not exist yet is compared by
// its canonical form.
std::string sharedDeviceError(const std::vector<DriveSpec>& drives);

}  // namespace varnox::blockdev

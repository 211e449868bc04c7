#pragma once
// What libblkid recognises on a file or block device: the signatures a test would destroy.
#include <string>
#include <vector>

namespace varnox::blockdev {

// Opens `path` read-only without touching its access time (where the kernel lets this process
// do that), so that inspecting a target leaves even its timestamps alone. -1 with errno on failure.
int openForInspection(const std::string& path);

// Every signature blkid recognises anywhere it looks on `fd` (both ends of the device included):
// superblocks of file systems, RAID members, LVM labels, swap, crypto headers and the like by
// their TYPE ("ext4", "LVM2_member", "linux_raid_member", "crypto_LUKS"), partition tables by
// their PTTYPE ("dos", "gpt"), in the order found. A signature with a bad checksum counts: a
// damaged superblock still marks somebody's data. An empty file has none. False with `error`
// when blkid cannot probe `fd`.
bool probeSignatures(int fd, std::vector<std::string>& types, std::string& error);

}  // namespace varnox::blockdev

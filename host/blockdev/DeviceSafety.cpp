#include "blockdev/DeviceSafety.h"

#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

namespace varnox::blockdev {
namespace {

constexpr uint64_t kHeadBytes = 128 * 1024;  // covers the btrfs super block at 64 KiB

struct Magic {
  const char* name;
  uint64_t offset;
  const char* bytes;
  size_t length;
};

// Offsets from the start of the device.
const Magic kHeadMagics[] = {
    {"ext2/3/4", 1080, "\x53\xEF", 2},
    {"XFS", 0, "XFSB", 4},
    {"btrfs", 65600, "_BHRfS_M", 8},
    {"LUKS", 0, "LUKS\xBA\xBE", 6},
    {"swap", 4086, "SWAPSPACE2", 10},
    {"swap", 4086, "SWAP-SPACE", 10},
    {"GPT", 512, "EFI PART", 8},
    {"GPT", 4096, "EFI PART", 8},
    {"MBR", 510, "\x55\xAA", 2},
};

bool readAt(int fd, uint8_t* out, size_t bytes, uint64_t offset) {
  size_t done = 0;
  while (done < bytes) {
    ssize_t n = ::pread(fd, out + done, bytes - done, static_cast<off_t>(offset + done));
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

std::string findSignature(int fd, uint64_t bytes, uint32_t blockSize) {
  std::vector<uint8_t> head(std::min(bytes, kHeadBytes));
  if (head.empty() || !readAt(fd, head.data(), head.size(), 0)) return {};
  for (const Magic& m : kHeadMagics) {
    if (m.offset + m.length > head.size()) continue;
    if (std::memcmp(head.data() + m.offset, m.bytes, m.length) == 0) return m.name;
  }
  // The backup GPT header sits in the last block.
  if (blockSize != 0 && bytes >= blockSize) {
    std::vector<uint8_t> tail(blockSize);
    if (readAt(fd, tail.data(), blockSize, bytes - blockSize) && std::memcmp(tail.data(), "EFI PART", 8) == 0)
      return "GPT";
  }
  return {};
}

std::string mountPointOf(dev_t device) {
  // Fields: id parent major:minor root mount-point ...
  std::ifstream in("/proc/self/mountinfo");
  const std::string wanted = std::to_string(major(device)) + ":" + std::to_string(minor(device));
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string id, parent, numbers, root, mountPoint;
    if (!(fields >> id >> parent >> numbers >> root >> mountPoint)) continue;
    if (numbers == wanted) return mountPoint;
  }
  return {};
}

std::string refuseUnsafeDevice(int fd, const std::string& path, dev_t device, uint64_t bytes, uint32_t blockSize,
                               bool destroyData) {
  std::string mountPoint = mountPointOf(device);
  if (!mountPoint.empty()) return "device " + path + ": mounted on " + mountPoint + "; unmount it before a test writes it";
  std::string signature = findSignature(fd, bytes, blockSize);
  if (!signature.empty() && !destroyData)
    return "device " + path + ": carries a signature (" + signature +
           "); a test would destroy it. Set destroy_data = true for the drive and run with --force "
           "to write it anyway";
  return {};
}

}  // namespace varnox::blockdev

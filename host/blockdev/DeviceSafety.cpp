#include "blockdev/DeviceSafety.h"

#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

#include "blockdev/FileData.h"
#include "blockdev/Signatures.h"

namespace varnox::blockdev {
namespace {

namespace fs = std::filesystem;

std::string numbers(dev_t device) { return std::to_string(major(device)) + ":" + std::to_string(minor(device)); }

// The names in `dir`/holders: the devices built on top of this one.
std::string holdersIn(const fs::path& dir) {
  std::string names;
  std::error_code ec;
  for (const fs::directory_entry& entry : fs::directory_iterator(dir / "holders", ec))
    names += (names.empty() ? "" : ", ") + entry.path().filename().string();
  return names;
}

std::string firstLine(const fs::path& file) {
  std::ifstream in(file);
  std::string line;
  std::getline(in, line);
  return line;
}

}  // namespace

std::string mountPointOf(dev_t device, const std::string& mountInfo) {
  // Fields: id parent major:minor root mount-point ...
  std::ifstream in(mountInfo);
  const std::string wanted = numbers(device);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string id, parent, majorMinor, root, mountPoint;
    if (!(fields >> id >> parent >> majorMinor >> root >> mountPoint)) continue;
    if (majorMinor == wanted) return mountPoint;
  }
  return {};
}

std::string kernelUseOf(dev_t device, const std::string& sysRoot, const std::string& mountInfo) {
  const std::string reason = "; a test never writes a device the kernel is using, even with --force";
  if (std::string at = mountPointOf(device, mountInfo); !at.empty())
    return "mounted on " + at + "; unmount it before a test writes it";
  const fs::path dir = fs::path(sysRoot) / "dev/block" / numbers(device);
  if (std::string holders = holdersIn(dir); !holders.empty())
    return "held by " + holders + " (device-mapper, md, LVM or bcache)" + reason;
  // Partitions are the subdirectories that say so; "dev" gives their numbers.
  std::error_code ec;
  for (const fs::directory_entry& entry : fs::directory_iterator(dir, ec)) {
    std::error_code partEc;
    if (!fs::exists(entry.path() / "partition", partEc)) continue;
    const std::string name = entry.path().filename().string();
    unsigned maj = 0, min = 0;
    if (std::sscanf(firstLine(entry.path() / "dev").c_str(), "%u:%u", &maj, &min) == 2) {
      if (std::string at = mountPointOf(makedev(maj, min), mountInfo); !at.empty())
        return "its partition " + name + " is mounted on " + at + reason;
    }
    if (std::string holders = holdersIn(entry.path()); !holders.empty())
      return "its partition " + name + " is held by " + holders + reason;
  }
  return {};
}

std::string refuseSignatures(const std::string& path, bool destroyData) {
  if (destroyData) return {};
  const std::string lift = "Set destroy_data = true for the drive and run with --force to write it anyway";
  int fd = openForInspection(path);
  if (fd < 0) return "device " + path + ": cannot read it to look for signatures: " + std::strerror(errno);
  std::vector<std::string> types;
  std::string error;
  const bool probed = probeSignatures(fd, types, error);
  ::close(fd);
  if (!probed) return "device " + path + ": cannot look for signatures (" + error + "). " + lift;
  if (types.empty()) return {};
  std::string list;
  for (const std::string& type : types) list += (list.empty() ? "" : ", ") + type;
  return "device " + path + ": carries a signature blkid recognises (" + list + "); a test would destroy it. " + lift;
}

std::string refuseUserData(const std::string& path, bool destroyData) {
  if (destroyData) return {};
  const std::string lift = "Set destroy_data = true for the drive and run with --force to write it anyway";
  const FileData data = inspectFileData(path);
  if (data.kind == FileData::Kind::Unreadable)
    return "device " + path + ": cannot read it to see whether it holds data: " + data.error + ". " + lift;
  if (data.kind != FileData::Kind::Foreign) return {};
  return "device " + path +
         ": holds data that is neither zeros nor blocks a run of this tool wrote (at byte " +
         std::to_string(data.offset) + "); a test would overwrite it. " + lift;
}

}  // namespace varnox::blockdev

#pragma once
// What a drive is, for the run's record: a block device's model, vendor, serial, firmware, WWID
// and size as sysfs shows them (the whole disk's, for a partition), a file's size, and for a
// simulated drive its settings (the record's configuration holds those).
#include <cstdint>
#include <optional>
#include <string>

namespace varnox::cli {

struct DriveIdentity {
  std::string kind;  // "sim", "file" or "block device"
  std::string path;  // as the test named it; "sim" for a simulated drive
  std::optional<std::string> model, vendor, serial, firmware, wwid;
  std::optional<std::string> sysfsPath;  // the disk's folder under /sys/dev/block
  std::optional<uint64_t> sizeBytes;
};

// The identity of the drive at `path` ("sim", a file or a block device); `sysRoot` is where
// sysfs is mounted (a test's folder in tests).
DriveIdentity driveIdentity(const std::string& path, const std::string& sysRoot = "/sys");
// The identity sysfs shows in a disk's folder (/sys/dev/block/MAJ:MIN resolved, the disk's and
// not a partition's).
void readSysfsIdentity(const std::string& diskDir, DriveIdentity& identity);

// `{"kind": ..., "path": ..., "model": ..., ...}`; unknown members are null.
std::string driveIdentityJson(const DriveIdentity& identity);

}  // namespace varnox::cli

#pragma once
// Which medium a path names: enough to tell, after a drive was switched off and on (or the host
// restarted), whether the device now at that path is the one a test wrote to.
//
// Usage:
//   DeviceIdentity before, now; std::string error;
//   if (!readDeviceIdentity("/dev/disk/by-id/wwn-0x5000...", before, error)) -> nothing usable there
//   ... power cycle ...
//   if (readDeviceIdentity(path, now, error)) {
//     std::string differs = identityDifference(before, now);  // empty: the same device
//   }
//
// A block device is known by its size and logical block size and, where the kernel shows them in
// sysfs, its model, serial number and WWID, the file behind a loop device and, for a partition,
// its number and first sector on the disk. Its device number is left out on purpose: a disk that
// comes back after a power cycle may get another one (sdb becomes sdc), which is why the stable
// /dev/disk/by-id names are the paths to test with. A regular file is known by its size and its
// file system's device and inode number, so that a file replaced by another of the same name
// differs.
//
// A block device that is there but empty (a detached loop device keeps its node with size 0) or
// a path that names neither a regular file nor a block device is nothing usable: false with an
// error naming the path.
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace varnox::blockdev {

struct DeviceIdentity {
  std::string path;          // as the test names it (a link is followed, but kept as named)
  bool blockDevice = false;  // else a regular file
  uint64_t sizeBytes = 0;
  uint32_t logicalBlockSize = 0;  // block devices; 0 for files
  // Block devices, where the kernel shows them; empty when it does not.
  std::string model;
  std::string serial;
  std::string wwid;
  std::string loopFile;   // a loop device: the file behind it
  std::string partition;  // a partition: "<number> at sector <first sector>" of its disk
  // Regular files: the file system's device ("major:minor") and the inode number.
  std::string fileSystem;
  uint64_t inode = 0;

  // Every field that is set, as (name, value) pairs in a fixed order, names as in messages:
  // "path", "kind", "size", "block size", "model", "serial", "wwid", "loop file", "partition",
  // "file system", "inode".
  std::vector<std::pair<std::string, std::string>> fields() const;
  // One line for a person: "/dev/loop3: block device of 67108864 bytes, 512-byte blocks, loop file
  // /tmp/disk.img", "/tmp/d.img: file of 1048576 bytes, inode 1234 on 0:45".
  std::string describe() const;
};

// What is at `path` now; false with `error` (naming the path) when nothing usable is there.
// `sysRoot` is where sysfs is mounted (tests hand a folder of their own).
bool readDeviceIdentity(const std::string& path, DeviceIdentity& identity, std::string& error,
                        const std::string& sysRoot = "/sys");

// Reads a disk's attributes from its sysfs folder (/sys/dev/block/<major>:<minor>, links
// followed) into `identity`: size, block size, model, serial, WWID, loop file, partition. False
// when the folder has no size. readDeviceIdentity uses it; tests hand it a folder of their own.
bool readSysfsIdentity(const std::string& sysDir, DeviceIdentity& identity);

// Empty when `now` is the same device as `before`; else every field that differs, e.g.
// "serial S2, was S1; size 1048576 bytes, was 2097152 bytes". With `sameHost` false the file
// system's device number of a regular file is not compared (it may change when the host
// restarts, while the inode stays).
std::string identityDifference(const DeviceIdentity& before, const DeviceIdentity& now, bool sameHost = true);

// The identity as text, one "name=value" line per field of fields() (a newline or backslash in a
// value is written as \n or \\), and back: for records that outlive the process. Parsing fails
// with `error` on a line without "=", an unknown name or a number that is not one.
std::string formatIdentity(const DeviceIdentity& identity);
bool parseIdentity(const std::string& text, DeviceIdentity& identity, std::string& error);

}  // namespace varnox::blockdev

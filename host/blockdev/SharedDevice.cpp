#include "blockdev/SharedDevice.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <optional>

namespace varnox::blockdev {
namespace {

namespace fs = std::filesystem;

// What a path occupies: a file, a new path, or a range of 512-byte sectors of a disk.
struct Medium {
  enum class Kind { File, NewPath, Disk } kind = Kind::File;
  dev_t device = 0;  // the file's file system, or the whole disk
  ino_t inode = 0;
  std::string canonical;
  uint64_t first = 0, end = UINT64_MAX;  // disk sectors
};

std::optional<uint64_t> readNumber(const fs::path& file) {
  std::ifstream in(file);
  uint64_t value = 0;
  if (in >> value) return value;
  return std::nullopt;
}

// A partition's directory in sysfs holds "partition", "start" and "size"; its parent is the disk.
Medium diskMedium(dev_t rdev) {
  Medium m;
  m.kind = Medium::Kind::Disk;
  m.device = rdev;
  std::error_code ec;
  const fs::path dir =
      fs::canonical("/sys/dev/block/" + std::to_string(major(rdev)) + ":" + std::to_string(minor(rdev)), ec);
  if (ec || !fs::exists(dir / "partition", ec)) return m;
  const auto start = readNumber(dir / "start");
  const auto size = readNumber(dir / "size");
  std::ifstream parent(dir.parent_path() / "dev");
  unsigned int maj = 0, min = 0;
  char colon = 0;
  if (!start || !size || !(parent >> maj >> colon >> min) || colon != ':') return m;
  m.device = makedev(maj, min);
  m.first = *start;
  m.end = *start + *size;
  return m;
}

std::optional<Medium> mediumOf(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    std::error_code ec;
    Medium m;
    m.kind = Medium::Kind::NewPath;
    m.canonical = fs::weakly_canonical(path, ec).string();
    if (ec) m.canonical = fs::absolute(path, ec).lexically_normal().string();
    return m;
  }
  if (S_ISBLK(st.st_mode)) return diskMedium(st.st_rdev);
  if (!S_ISREG(st.st_mode)) return std::nullopt;  // refused when it is opened
  Medium m;
  m.device = st.st_dev;
  m.inode = st.st_ino;
  return m;
}

// What the two share, or empty.
std::string shared(const Medium& a, const Medium& b) {
  if (a.kind != b.kind) return {};
  switch (a.kind) {
    case Medium::Kind::File:
      return a.device == b.device && a.inode == b.inode ? "the same file" : "";
    case Medium::Kind::NewPath:
      return a.canonical == b.canonical ? "the same file" : "";
    case Medium::Kind::Disk:
      if (a.device != b.device || a.first >= b.end || b.first >= a.end) return {};
      return a.first == b.first && a.end == b.end ? "the same block device" : "overlapping parts of one disk";
  }
  return {};
}

}  // namespace

std::string sharedDeviceError(const std::vector<DriveSpec>& drives) {
  std::vector<std::optional<Medium>> media;
  for (const DriveSpec& drive : drives)
    media.push_back(drive.device.kind == "sim" ? std::nullopt : mediumOf(drive.device.kind));
  auto name = [&](size_t i) { return drives[i].name.empty() ? "D" + std::to_string(i) : drives[i].name; };
  for (size_t i = 0; i < media.size(); ++i) {
    for (size_t j = 0; j < i && media[i]; ++j) {
      if (!media[j]) continue;
      const std::string what = shared(*media[j], *media[i]);
      if (what.empty()) continue;
      return "drives " + name(j) + " and " + name(i) + " use " + what + " (" + drives[j].device.kind + " and " +
             drives[i].device.kind + "); each drive needs a medium of its own";
    }
  }
  return {};
}

}  // namespace varnox::blockdev

#include "DriveIdentity.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <charconv>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "Summary.h"

namespace varnox::cli {
namespace {

namespace fs = std::filesystem;

// A sysfs attribute without its trailing newline and padding; none when missing or blank.
std::optional<std::string> attribute(const fs::path& file) {
  std::ifstream in(file);
  if (!in) return std::nullopt;
  std::string text;
  std::getline(in, text, '\0');
  const size_t first = text.find_first_not_of(" \t\n");
  if (first == std::string::npos) return std::nullopt;
  return text.substr(first, text.find_last_not_of(" \t\n") - first + 1);
}

// The serial number a SCSI disk gives in its unit serial number page (VPD 0x80): the page's
// header is 4 bytes, then the serial, often padded with spaces.
std::optional<std::string> vpdSerial(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  const std::string page((std::istreambuf_iterator<char>(in)), {});
  std::string serial;
  for (size_t i = 4; i < page.size(); ++i)
    if (page[i] >= 0x20 && page[i] < 0x7f) serial += page[i];
  const size_t first = serial.find_first_not_of(' ');
  if (first == std::string::npos) return std::nullopt;
  return serial.substr(first, serial.find_last_not_of(' ') - first + 1);
}

// The size of a disk or partition folder: sysfs counts 512-byte sectors whatever the block size.
std::optional<uint64_t> sizeOf(const fs::path& dir) {
  const auto sectors = attribute(dir / "size");
  uint64_t n = 0;
  if (!sectors || sectors->find_first_not_of("0123456789") != std::string::npos) return std::nullopt;
  const auto [end, ec] = std::from_chars(sectors->data(), sectors->data() + sectors->size(), n);
  if (ec != std::errc()) return std::nullopt;
  return n * 512;
}

std::string orNull(const std::optional<std::string>& text) {
  return text ? jsonString(*text) : "null";
}

}  // namespace

void readSysfsIdentity(const std::string& diskDir, DriveIdentity& id) {
  const fs::path dir(diskDir);
  id.sysfsPath = diskDir;
  id.sizeBytes = sizeOf(dir);
  const fs::path device = dir / "device";
  id.model = attribute(device / "model");
  id.vendor = attribute(device / "vendor");
  id.serial = attribute(device / "serial");
  if (!id.serial) id.serial = vpdSerial(device / "vpd_pg80");
  id.firmware = attribute(device / "firmware_rev");
  if (!id.firmware) id.firmware = attribute(device / "rev");
  id.wwid = attribute(dir / "wwid");
  if (!id.wwid) id.wwid = attribute(device / "wwid");
}

DriveIdentity driveIdentity(const std::string& path, const std::string& sysRoot) {
  DriveIdentity id;
  id.path = path;
  if (path == "sim") {
    id.kind = "sim";
    return id;
  }
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    id.kind = "file";
    return id;
  }
  if (!S_ISBLK(st.st_mode)) {
    id.kind = "file";
    id.sizeBytes = static_cast<uint64_t>(st.st_size);
    return id;
  }
  id.kind = "block device";
  std::error_code ec;
  fs::path dir =
      fs::canonical(fs::path(sysRoot) / "dev/block" /
                        (std::to_string(major(st.st_rdev)) + ":" + std::to_string(minor(st.st_rdev))),
                    ec);
  if (ec) return id;
  // A partition's identity is its disk's, one folder up; its size stays its own.
  std::optional<uint64_t> partitionBytes;
  if (fs::exists(dir / "partition", ec)) {
    partitionBytes = sizeOf(dir);
    dir = dir.parent_path();
  }
  readSysfsIdentity(dir.string(), id);
  if (partitionBytes) id.sizeBytes = partitionBytes;
  return id;
}

std::string driveIdentityJson(const DriveIdentity& id) {
  return "{\"kind\": " + jsonString(id.kind) + ", \"path\": " + jsonString(id.path) +
         ", \"model\": " + orNull(id.model) + ", \"vendor\": " + orNull(id.vendor) +
         ", \"serial\": " + orNull(id.serial) + ", \"firmware\": " + orNull(id.firmware) +
         ", \"wwid\": " + orNull(id.wwid) +
         ", \"sizeBytes\": " + (id.sizeBytes ? std::to_string(*id.sizeBytes) : "null") +
         ", \"sysfsPath\": " + orNull(id.sysfsPath) + "}";
}

}  // namespace varnox::cli

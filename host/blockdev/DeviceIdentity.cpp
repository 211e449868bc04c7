// Which medium a path names: read from stat and sysfs, compared, and kept as text.
#include "blockdev/DeviceIdentity.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

namespace varnox::blockdev {
namespace {

namespace fs = std::filesystem;

std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return {};
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// A sysfs attribute without the newline and padding the kernel adds; empty when absent.
std::string attribute(const fs::path& path) {
  std::string text = readFile(path);
  const size_t first = text.find_first_not_of(" \t\n\r", 0);
  if (first == std::string::npos) return {};
  const size_t last = text.find_last_not_of(std::string(" \t\n\r\0", 5));
  return text.substr(first, last - first + 1);
}

bool number(const std::string& text, uint64_t& value) {
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return false;
  errno = 0;
  value = std::strtoull(text.c_str(), nullptr, 10);
  return errno == 0;
}

// The unit serial number page a SCSI disk exposes (vpd_pg80): a 4-byte header whose bytes 2 and
// 3 give the length of the ASCII serial behind it.
std::string serialFromVpd80(const std::string& page) {
  if (page.size() < 4 || static_cast<uint8_t>(page[1]) != 0x80) return {};
  const size_t length = static_cast<uint8_t>(page[2]) << 8 | static_cast<uint8_t>(page[3]);
  std::string serial = page.substr(4, length);
  const size_t first = serial.find_first_not_of(' ');
  if (first == std::string::npos) return {};
  return serial.substr(first, serial.find_last_not_of(std::string(" \0", 2)) - first + 1);
}

// The first of `names` under `dir` that holds something.
std::string firstAttribute(const fs::path& dir, std::initializer_list<const char*> names) {
  for (const char* name : names)
    if (std::string value = attribute(dir / name); !value.empty()) return value;
  return {};
}

std::string escape(const std::string& value) {
  std::string out;
  for (char c : value) {
    if (c == '\\')
      out += "\\\\";
    else if (c == '\n')
      out += "\\n";
    else
      out += c;
  }
  return out;
}

std::string unescape(const std::string& value) {
  std::string out;
  for (size_t i = 0; i < value.size(); ++i) {
    if (value[i] == '\\' && i + 1 < value.size()) {
      ++i;
      out += value[i] == 'n' ? '\n' : value[i];
    } else {
      out += value[i];
    }
  }
  return out;
}

}  // namespace

std::vector<std::pair<std::string, std::string>> DeviceIdentity::fields() const {
  std::vector<std::pair<std::string, std::string>> f;
  f.emplace_back("path", path);
  f.emplace_back("kind", blockDevice ? "block device" : "file");
  f.emplace_back("size", std::to_string(sizeBytes) + " bytes");
  if (logicalBlockSize != 0) f.emplace_back("block size", std::to_string(logicalBlockSize));
  for (const auto& [name, value] : {std::pair<const char*, const std::string*>{"model", &model},
                                    {"serial", &serial},
                                    {"wwid", &wwid},
                                    {"loop file", &loopFile},
                                    {"partition", &partition},
                                    {"file system", &fileSystem}})
    if (!value->empty()) f.emplace_back(name, *value);
  if (!blockDevice) f.emplace_back("inode", std::to_string(inode));
  return f;
}

std::string DeviceIdentity::describe() const {
  std::string text =
      path + ": " + (blockDevice ? "block device" : "file") + " of " + std::to_string(sizeBytes) + " bytes";
  if (blockDevice) {
    text += ", " + std::to_string(logicalBlockSize) + "-byte blocks";
    for (const auto& [name, value] : fields())
      if (name == "model" || name == "serial" || name == "wwid" || name == "loop file" || name == "partition")
        text += ", " + name + " " + value;
  } else {
    text += ", inode " + std::to_string(inode) + " on " + fileSystem;
  }
  return text;
}

bool readSysfsIdentity(const std::string& sysDir, DeviceIdentity& identity) {
  std::error_code ec;
  fs::path dir = fs::canonical(sysDir, ec);
  if (ec) return false;
  uint64_t sectors = 0;
  if (!number(attribute(dir / "size"), sectors)) return false;
  identity.sizeBytes = sectors * 512;  // sysfs counts 512-byte sectors whatever the block size
  // A partition's disk is the folder above it; the disk's name, not the partition's, carries the
  // model, serial number and WWID, and the partition is told apart by where it starts.
  fs::path disk = dir;
  if (std::string partition = attribute(dir / "partition"); !partition.empty()) {
    identity.partition = partition + " at sector " + attribute(dir / "start");
    disk = dir.parent_path();
  }
  uint64_t blockSize = 0;
  if (number(firstAttribute(disk, {"queue/logical_block_size"}), blockSize))
    identity.logicalBlockSize = static_cast<uint32_t>(blockSize);
  identity.model = firstAttribute(disk, {"device/model"});
  identity.serial = firstAttribute(disk, {"serial", "device/serial"});
  if (identity.serial.empty()) identity.serial = serialFromVpd80(readFile(disk / "device/vpd_pg80"));
  identity.wwid = firstAttribute(disk, {"wwid", "device/wwid"});
  identity.loopFile = firstAttribute(disk, {"loop/backing_file"});
  return true;
}

bool readDeviceIdentity(const std::string& path, DeviceIdentity& identity, std::string& error,
                        const std::string& sysRoot) {
  identity = DeviceIdentity{};
  identity.path = path;
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    error = path + ": " + std::strerror(errno);
    return false;
  }
  if (S_ISREG(st.st_mode)) {
    identity.sizeBytes = static_cast<uint64_t>(st.st_size);
    identity.fileSystem = std::to_string(major(st.st_dev)) + ":" + std::to_string(minor(st.st_dev));
    identity.inode = static_cast<uint64_t>(st.st_ino);
    return true;
  }
  if (!S_ISBLK(st.st_mode)) {
    error = path + ": neither a regular file nor a block device";
    return false;
  }
  identity.blockDevice = true;
  const std::string sysDir =
      sysRoot + "/dev/block/" + std::to_string(major(st.st_rdev)) + ":" + std::to_string(minor(st.st_rdev));
  if (!readSysfsIdentity(sysDir, identity)) {
    error = path + ": the kernel shows no size for it (" + sysDir + ")";
    return false;
  }
  if (identity.sizeBytes == 0) {
    error = path + ": the block device is empty (no medium, or a loop device with no file)";
    return false;
  }
  return true;
}

std::string identityDifference(const DeviceIdentity& before, const DeviceIdentity& now, bool sameHost) {
  const auto was = before.fields(), is = now.fields();
  auto find = [](const std::vector<std::pair<std::string, std::string>>& f,
                 const std::string& name) -> const std::string* {
    for (const auto& [n, v] : f)
      if (n == name) return &v;
    return nullptr;
  };
  std::string text;
  auto add = [&](const std::string& name, const std::string* then, const std::string* current) {
    if (!sameHost && name == "file system") return;
    if ((then ? *then : "") == (current ? *current : "")) return;
    if (!text.empty()) text += "; ";
    text += current ? name + " " + *current : "no " + name;
    text += then ? ", was " + *then : ", none before";
  };
  for (const auto& [name, value] : was) add(name, &value, find(is, name));
  for (const auto& [name, value] : is)
    if (!find(was, name)) add(name, nullptr, &value);
  return text;
}

std::string formatIdentity(const DeviceIdentity& identity) {
  std::string text;
  for (const auto& [name, value] : identity.fields()) text += name + "=" + escape(value) + "\n";
  return text;
}

bool parseIdentity(const std::string& text, DeviceIdentity& identity, std::string& error) {
  identity = DeviceIdentity{};
  std::istringstream lines(text);
  size_t lineNumber = 0;
  for (std::string line; std::getline(lines, line);) {
    ++lineNumber;
    if (line.empty()) continue;
    const size_t eq = line.find('=');
    auto fail = [&](const std::string& why) {
      error = "device identity line " + std::to_string(lineNumber) + ": " + why;
      return false;
    };
    if (eq == std::string::npos) return fail("no \"=\" in \"" + line + "\"");
    const std::string name = line.substr(0, eq), value = unescape(line.substr(eq + 1));
    // Numbers carry their unit in fields() ("4096 bytes"); the unit is checked, then dropped.
    auto count = [&](const std::string& unit, uint64_t& out) {
      const std::string digits = unit.empty() ? value
                                 : value.size() > unit.size() && value.ends_with(unit)
                                     ? value.substr(0, value.size() - unit.size())
                                     : "";
      return number(digits, out) || fail(name + " \"" + value + "\" is not a number");
    };
    uint64_t n = 0;
    if (name == "path") {
      identity.path = value;
    } else if (name == "kind") {
      if (value != "block device" && value != "file")
        return fail("kind \"" + value + "\" is not block device or file");
      identity.blockDevice = value == "block device";
    } else if (name == "size") {
      if (!count(" bytes", identity.sizeBytes)) return false;
    } else if (name == "block size") {
      if (!count("", n)) return false;
      identity.logicalBlockSize = static_cast<uint32_t>(n);
    } else if (name == "inode") {
      if (!count("", identity.inode)) return false;
    } else if (name == "model") {
      identity.model = value;
    } else if (name == "serial") {
      identity.serial = value;
    } else if (name == "wwid") {
      identity.wwid = value;
    } else if (name == "loop file") {
      identity.loopFile = value;
    } else if (name == "partition") {
      identity.partition = value;
    } else if (name == "file system") {
      identity.fileSystem = value;
    } else {
      return fail("unknown name \"" + name + "\"");
    }
  }
  return true;
}

}  // namespace varnox::blockdev

// A drive's identity for the journal (JournalIdentity.h).
#include "journal/JournalIdentity.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

namespace varnox::journal {

IdentityFields deviceIdentity(const DeviceSpec& device) {
  IdentityFields fields;
  struct stat st {};
  if (device.kind == "sim" || ::stat(device.kind.c_str(), &st) != 0) return fields;
  fields.emplace_back("path", device.kind);
  fields.emplace_back("kind", S_ISBLK(st.st_mode) ? "block device" : "file");
  if (S_ISREG(st.st_mode)) {
    fields.emplace_back("size", std::to_string(st.st_size));
    fields.emplace_back("file system", std::to_string(st.st_dev));
    fields.emplace_back("inode", std::to_string(st.st_ino));
  }
  return fields;
}

std::string identityChange(const IdentityFields& recorded, const DeviceSpec& device) {
  struct stat st {};
  if (::stat(device.kind.c_str(), &st) != 0) return device.kind + ": " + std::strerror(errno);
  const IdentityFields now = deviceIdentity(device);
  for (const auto& [name, value] : recorded) {
    std::string current = "(none)";
    for (const auto& [n, v] : now)
      if (n == name) current = v;
    if (current != value)
      return device.kind + " is not the device the journal's run wrote to: its " + name + " is " + current +
             ", was " + value;
  }
  return "";
}

}  // namespace varnox::journal

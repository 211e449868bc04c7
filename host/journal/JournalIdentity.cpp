// A drive's identity for the journal (JournalIdentity.h), kept as the identity's text lines.
#include "journal/JournalIdentity.h"

#include <sstream>

#include "blockdev/DeviceIdentity.h"

namespace varnox::journal {

IdentityFields deviceIdentity(const DeviceSpec& device) {
  IdentityFields fields;
  blockdev::DeviceIdentity identity;
  std::string error;
  if (device.kind == "sim" || !blockdev::readDeviceIdentity(device.kind, identity, error)) return fields;
  std::istringstream lines(blockdev::formatIdentity(identity));
  for (std::string line; std::getline(lines, line);) {
    const size_t eq = line.find('=');
    if (eq != std::string::npos) fields.emplace_back(line.substr(0, eq), line.substr(eq + 1));
  }
  return fields;
}

std::string identityChange(const IdentityFields& recorded, const DeviceSpec& device) {
  std::string text, error;
  for (const auto& [name, value] : recorded) text += name + "=" + value + "\n";
  blockdev::DeviceIdentity before, now;
  if (!blockdev::parseIdentity(text, before, error)) return "the journal's identity of " + device.kind + ": " + error;
  if (!blockdev::readDeviceIdentity(device.kind, now, error)) return error;
  // After a restart a file system may come back under another device number; its inode stays.
  const std::string differs = blockdev::identityDifference(before, now, false);
  if (differs.empty()) return "";
  return device.kind + " is not the device the journal's run wrote to: " + differs;
}

}  // namespace varnox::journal

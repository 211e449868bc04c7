// A drive's identity for the journal (JournalIdentity.h), kept as the identity's text lines.
#include "journal/JournalIdentity.h"

#include <sstream>

#include "blockdev/DeviceIdentity.h"

namespace varnox::journal {

IdentityFields deviceIdentity(const DeviceSpec& device) {
  IdentityFields fields;
  blockdev::DeviceIdentity identity;
  std::string error;
  // A simulated drive is its medium file; one without a medium is nothing that outlives the run.
  const std::string& path = device.kind == "sim" ? device.medium : device.kind;
  if (path.empty() || !blockdev::readDeviceIdentity(path, identity, error)) return fields;
  std::istringstream lines(blockdev::formatIdentity(identity));
  for (std::string line; std::getline(lines, line);) {
    const size_t eq = line.find('=');
    if (eq != std::string::npos) fields.emplace_back(line.substr(0, eq), line.substr(eq + 1));
  }
  return fields;
}

std::string identityChange(const IdentityFields& recorded, const DeviceSpec& device) {
  std::string text, error;
  const std::string& path = device.kind == "sim" ? device.medium : device.kind;
  for (const auto& [name, value] : recorded) text += name + "=" + value + "\n";
  blockdev::DeviceIdentity before, now;
  if (!blockdev::parseIdentity(text, before, error))
    return "the journal's identity of " + path + ": " + error;
  if (!blockdev::readDeviceIdentity(path, now, error)) return error;
  // A medium file's size is its drive's shape, which the drive checks when it opens the file;
  // past that a run killed in the middle of a flush leaves the flush staged, so the size may differ.
  if (device.kind == "sim") now.sizeBytes = before.sizeBytes;
  // After a restart a file system may come back under another device number; its inode stays.
  const std::string differs = blockdev::identityDifference(before, now, false);
  if (differs.empty()) return "";
  return path + " is not the device the journal's run wrote to: " + differs;
}

}  // namespace varnox::journal

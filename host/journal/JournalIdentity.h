#pragma once
// Which device a journal's drive was, as (name, value) pairs kept in the manifest, and whether the
// device at its path now is the same one.
#include <string>
#include <utility>
#include <vector>

#include "tavik/DeviceSettings.h"

namespace varnox::journal {

using IdentityFields = std::vector<std::pair<std::string, std::string>>;

// The identity of the file or block device `device.kind` names, or of a simulated drive's medium
// file; empty for a simulated drive without one or when nothing is at the path.
IdentityFields deviceIdentity(const DeviceSpec& device);

// Empty when the device at the path has the recorded identity; else a message naming the path and
// the first field that differs, or why nothing usable is there.
std::string identityChange(const IdentityFields& recorded, const DeviceSpec& device);

}  // namespace varnox::journal

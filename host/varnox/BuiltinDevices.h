#pragma once
// The devices this host is built with: the simulated drive ("sim") and files and block devices
// (any other kind; their fault rules act through a FaultingDevice).
#include <memory>

#include "tavik/DeviceFactory.h"

namespace varnox {

std::unique_ptr<DeviceFactory> builtinDevices();

}  // namespace varnox

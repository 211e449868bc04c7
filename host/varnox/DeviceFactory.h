#pragma once
// Opens the device a drive of a test runs against.
#include <cstdint>
#include <memory>
#include <string>

#include "blockdev/Precondition.h"
#include "tavik/Device.h"
#include "varnox/TestPlan.h"

namespace varnox {

// Null with `error` and `exitStatus` (kExitRefused for an unusable description, kExitDeviceFailure
// for a device that cannot be opened) when the device cannot be used. `seed` is the drive's run
// seed (never 0).
// `preconditionProgress` (may be empty) follows the filling of a device with precondition = true.
std::unique_ptr<Device> openDevice(const DeviceSpec& deviceSpec, uint64_t seed, std::string& error, int& exitStatus,
                                   const PreconditionBytes& preconditionProgress = {});

}  // namespace varnox

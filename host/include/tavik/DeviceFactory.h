#pragma once
// How the runtime gets the device a drive runs against without knowing which devices there are:
// it asks a DeviceFactory, and the implementation that knows the concrete devices answers.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tavik/DeviceSettings.h"

namespace varnox {

class Device;  // tavik/Device.h: the factory only hands devices over

// Why a device cannot be had, as the run's exit status (varnox/TestRun.h lists the others): its
// description is unusable, or the device failed or could not be opened.
inline constexpr int kExitRefused = 2;
inline constexpr int kExitDeviceFailure = 3;

// Bytes written so far and in all, reported while a device is being preconditioned; false stops
// the filling (the user stopped the run), which can take hours on a large device.
using PreconditionBytes = std::function<bool(uint64_t doneBytes, uint64_t totalBytes)>;

class DeviceFactory {
 public:
  virtual ~DeviceFactory() = default;
  // Null with `error` and `exitStatus` (kExitRefused, kExitDeviceFailure) when the device cannot
  // be used. `seed` is the drive's run seed (never 0). `preconditionProgress` (may be empty)
  // follows the filling of a device with precondition = true.
  virtual std::unique_ptr<Device> open(const DeviceSpec& deviceSpec, uint64_t seed, std::string& error,
                                       int& exitStatus, const PreconditionBytes& preconditionProgress) const = 0;
  // Empty when no two of the drives share a medium; else a message naming both drives and their
  // paths. Asked before any device is opened.
  virtual std::string sharedMediumError(const std::vector<DriveSpec>& drives) const = 0;
};

}  // namespace varnox

#include "DeviceFactory.h"

#include "blockdev/Precondition.h"
#include "sim/SimulatedDrive.h"
#include "varnox/TestRun.h"

namespace varnox {

std::unique_ptr<Device> openDevice(const DeviceSpec& deviceSpec, uint64_t seed, std::string& error, int& exitStatus) {
  if (deviceSpec.kind == "sim") {
    sim::SimConfig config;
    std::string why;
    if (!sim::simConfigFromSpec(deviceSpec, seed, config, why)) {
      error = "device sim: " + why;
      exitStatus = kExitRefused;
      return nullptr;
    }
    why = sim::validateSimConfig(config);
    if (!why.empty()) {
      error = "device sim: " + why;
      exitStatus = kExitRefused;
      return nullptr;
    }
    std::unique_ptr<sim::SimulatedDrive> drive = sim::SimulatedDrive::create(config, why);
    if (!drive) {
      error = "device sim: " + why;
      exitStatus = kExitDeviceFailure;
      return nullptr;
    }
    return drive;
  }
  return blockdev::openFileOrBlockDevice(deviceSpec, seed, error, exitStatus);
}

}  // namespace varnox

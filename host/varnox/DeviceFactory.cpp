#include "DeviceFactory.h"

#include "blockdev/Precondition.h"
#include "sim/FaultingDevice.h"
#include "sim/SimulatedDrive.h"
#include "varnox/TestRun.h"

namespace varnox {

std::unique_ptr<Device> openDevice(const DeviceSpec& deviceSpec, uint64_t seed, std::string& error, int& exitStatus,
                                   const PreconditionBytes& preconditionProgress) {
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
  std::unique_ptr<Device> device = blockdev::openFileOrBlockDevice(deviceSpec, seed, error, exitStatus, preconditionProgress);
  if (!device || deviceSpec.faults.empty()) return device;
  for (size_t i = 0; i < deviceSpec.faults.size(); ++i) {
    const FaultRule& rule = deviceSpec.faults[i];
    std::string why = sim::faultRuleError(rule, device->geometry().capacityBlocks);
    if (why.empty() && !sim::faultKindWorksOnRealDevices(rule.kind))
      why = "kind \"" + rule.kind + "\" needs the simulated drive";
    if (!why.empty()) {
      error = "device " + deviceSpec.kind + ": fault " + std::to_string(i + 1) + ": " + why;
      exitStatus = kExitRefused;
      return nullptr;
    }
  }
  return std::make_unique<sim::FaultingDevice>(std::move(device), deviceSpec.faults, seed);
}

}  // namespace varnox

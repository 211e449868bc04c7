#include "BuiltinDevices.h"

#include "blockdev/Precondition.h"
#include "blockdev/SharedDevice.h"
#include "sim/FaultingDevice.h"
#include "sim/SimulatedDrive.h"

namespace varnox {
namespace {

std::unique_ptr<Device> openSimulatedDrive(const DeviceSpec& deviceSpec, uint64_t seed, std::string& error,
                                           int& exitStatus) {
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
  bool refused = false;
  std::unique_ptr<sim::SimulatedDrive> drive = sim::SimulatedDrive::create(config, why, &refused);
  if (!drive) {
    error = "device sim: " + why;
    exitStatus = refused ? kExitRefused : kExitDeviceFailure;
    return nullptr;
  }
  return drive;
}

class BuiltinDevices final : public DeviceFactory {
 public:
  std::unique_ptr<Device> open(const DeviceSpec& deviceSpec, uint64_t seed, std::string& error, int& exitStatus,
                               const PreconditionBytes& preconditionProgress) const override {
    if (deviceSpec.kind == "sim") return openSimulatedDrive(deviceSpec, seed, error, exitStatus);
    std::unique_ptr<Device> device =
        blockdev::openFileOrBlockDevice(deviceSpec, seed, error, exitStatus, preconditionProgress);
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

  std::string sharedMediumError(const std::vector<DriveSpec>& drives) const override {
    return blockdev::sharedDeviceError(drives);
  }
};

}  // namespace

std::unique_ptr<DeviceFactory> builtinDevices() { return std::make_unique<BuiltinDevices>(); }

}  // namespace varnox

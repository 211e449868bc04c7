#include "ZoneCheck.h"

#include <filesystem>

namespace varnox::cli {
namespace {

bool hasAgent(const TestPlan& plan, const std::string& name) {
  for (const StepSpec& step : plan.flow)
    if (step.kind == StepSpec::Kind::Agent && step.name == name) return true;
  return false;
}

// The first step that writes somewhere other than at a write pointer, or null.
const StepSpec* unplacedWrite(const TestPlan& plan) {
  for (const StepSpec& step : plan.flow)
    if (step.kind == StepSpec::Kind::WriteSame || step.kind == StepSpec::Kind::Trim ||
        step.kind == StepSpec::Kind::WriteAtomic || step.kind == StepSpec::Kind::Invalidate)
      return &step;
  return nullptr;
}

bool writes(const TestPlan& plan) {
  for (const StepSpec& step : plan.flow)
    if (step.kind == StepSpec::Kind::Write) return true;
  return unplacedWrite(plan) != nullptr;
}

}  // namespace

std::string zonedDriveRefusal(const TestPlan& plan) {
  const std::string file = plan.sourceFile.empty() ? "the test" : plan.sourceFile;
  for (const DriveSpec& drive : plan.drives) {
    const DeviceSpec& device = drive.device;
    if (device.zoneBlocks == 0 || device.zoneModel != "host-managed" || !writes(plan)) continue;
    const std::string where =
        file + ": drive " + drive.name + ": zone_size = " + std::to_string(device.zoneBlocks) +
        " makes a host-managed zoned drive, which takes writes only at a zone's write pointer";
    if (!hasAgent(plan, "zones"))
      return where +
             "; put the \"zones\" agent before \"cardamor\" in the flow (see examples/zones.toml), or set "
             "zone_model = \"host-aware\"";
    if (const StepSpec* step = unplacedWrite(plan))
      return where + "; the \"zones\" agent places ordinary writes only, so the flow's \"" +
             (step->name.empty() ? std::string("write") : step->name) + "\" step cannot run there";
    if (device.zoneBlocks * 2 > device.capacityBlocks)
      return where + "; the \"zones\" agent needs at least 2 zones and the capacity of " +
             std::to_string(device.capacityBlocks) + " blocks holds " +
             std::to_string((device.capacityBlocks + device.zoneBlocks - 1) / device.zoneBlocks);
  }
  return {};
}

}  // namespace varnox::cli

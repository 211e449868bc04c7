#include "StepSupport.h"

namespace varnox {

std::string unsupportedStep(const std::vector<StepSpec>& flow, const DeviceGeometry& geometry,
                            const std::string& device) {
  for (const StepSpec& step : flow) {
    switch (step.kind) {
      case StepSpec::Kind::PowerToggle:
        if (!geometry.supportsPowerToggle)
          return "the flow toggles power, but " + device +
                 " has no power control: set power_off and power_on in its [[drive]] (the commands that "
                 "switch it off and on)";
        break;
      case StepSpec::Kind::Trim:
        if (!geometry.supportsUnmap)
          return "the flow trims, but " + device + " cannot discard blocks to zeros";
        break;
      case StepSpec::Kind::ZoneReset:
        if (geometry.zoneBlocks == 0)
          return "the flow resets zones, but " + device + " has none (for the simulated drive set zone_size)";
        break;
      case StepSpec::Kind::WriteAtomic:
        if (geometry.atomicUnitBlocks == 0)
          return "the flow writes atomically, but " + device +
                 " reports no atomic write support (for the simulated drive set atomic_unit)";
        break;
      default:
        break;
    }
  }
  return {};
}

}  // namespace varnox

#pragma once
// A step the device cannot perform is refused before the run, with the reason, rather than
// failing command by command once the test is under way.
#include <string>
#include <vector>

#include "tavik/Device.h"
#include "varnox/TestPlan.h"

namespace varnox {

// "" when `device` (its description, for the message) can perform every step of `flow`; else
// why not.
std::string unsupportedStep(const std::vector<StepSpec>& flow, const DeviceGeometry& geometry,
                            const std::string& device);

}  // namespace varnox

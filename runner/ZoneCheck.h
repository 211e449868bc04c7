#pragma once
// Refuses, before a drive is touched, a zoned drive the flow cannot test: a host-managed drive
// takes writes only at a zone's write pointer, which only the "zones" agent gives Cardamor, and
// that agent places ordinary writes only. Run anyway, the drive would refuse the writes and the
// run would blame the drive for the test file's mistake.
#include <string>

#include "varnox/TestPlan.h"

namespace varnox::cli {

// Empty, or the refusal naming the drive, its zone_size and what to change.
std::string zonedDriveRefusal(const TestPlan& plan);

}  // namespace varnox::cli

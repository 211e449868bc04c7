#pragma once
// A drive in slices that takes atomic writes: a torn unit over data without a stamp has passed
// with slices, and the cause is not found yet. Said before the run, so that a user who needs
// every torn unit caught runs the drive in one slice.
#include <string>
#include <vector>

#include "varnox/TestPlan.h"

namespace varnox::cli {

// One warning per such drive, naming it and its slices.
std::vector<std::string> slicesPowerWarnings(const TestPlan& plan);

}  // namespace varnox::cli

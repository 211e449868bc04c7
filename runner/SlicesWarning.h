#pragma once
// A drive in slices that may lose power with a volatile write cache: a sync cache from one slice
// flushes every slice's writes, but only that slice's agent counts on it. After a cut the other
// slices accept either content of their writes it covered, so a write the drive lost under
// another slice's sync passes. Said before the run, so that a user who needs every flushed write
// demanded runs the drive in one slice.
#include <string>
#include <vector>

#include "varnox/TestPlan.h"

namespace varnox::cli {

// One warning per such drive, naming it and its slices.
std::vector<std::string> slicesPowerWarnings(const TestPlan& plan);

}  // namespace varnox::cli

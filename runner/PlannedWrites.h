#pragma once
// What `varnox check` reports instead of doing: the files a run would create or extend, the
// devices it would fill, the power it would switch and the log it would write.
#include <string>
#include <vector>

#include "varnox/TestPlan.h"

namespace varnox::cli {

// One line per change, in drive order: "would create /tmp/d.img of 1 GiB", "would extend
// /tmp/d.img from 1 MiB to 1 GiB", "would fill /dev/loop0 (64 MiB) with a pattern unique to the
// run", "would cut power to /dev/loop0 at each power toggle: run power_off [...], ..." (PowerControl.h),
// then "would write the log run.log". Only looks: nothing is opened for writing, no command is run.
std::vector<std::string> plannedWrites(const TestPlan& plan);

}  // namespace varnox::cli

#pragma once
// Settings that do nothing in the test they are given in: a user who set them expects an effect,
// so check and run say so instead of running as if they worked.
#include <string>
#include <vector>

#include "varnox/TestPlan.h"

namespace varnox::cli {

struct GivenOptions {
  bool force = false;     // --force
  bool interval = false;  // --interval
  bool series = false;    // --series or --report, which take the interval
};

// One warning per idle setting, naming the drive, key or option and why it has no effect.
std::vector<std::string> idleSettingWarnings(const TestPlan& plan, const GivenOptions& options);

}  // namespace varnox::cli

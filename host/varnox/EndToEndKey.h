#pragma once
// The agents' key that turns on end-to-end protection information: on passes whose mask holds
// its condition the host owns the protection bytes (CommandSteps::setEndToEnd).
#include <string>
#include <utility>
#include <vector>

#include "varnox/Condition.h"
#include "varnox/ConditionNames.h"

namespace varnox {

// The agents' condition that marks a pass whose commands carry protection information end to end.
inline constexpr const char* kEndToEndKey = "E2E Condition";

// "" with `condition` resolved from the last value of the key (unset when the test has none);
// else why the value is unusable.
std::string endToEndCondition(const std::vector<std::pair<std::string, std::string>>& keys, ConditionNames& names,
                              Condition& condition);

}  // namespace varnox

#pragma once
// Skip commands: an agent configured with "Use Skip Commands" expects a read or write of n blocks
// at LBA x to cover x, x + 2, ..., x + 2(n - 1), so the host must send its commands that way.
#include <memory>
#include <vector>

#include "FlowAgent.h"

namespace varnox {

// True when an agent of the test has the key "Use Skip Commands" set to true; read after the
// test's keys were set.
bool agentsUseSkipCommands(const std::vector<std::unique_ptr<FlowAgent>>& agents);

}  // namespace varnox

#pragma once
// Refuses a flow that cannot check anything before a drive is touched: a flow without the
// "cardamor" agent (or with two), without the "lba" agent that gives every command its LBA and
// length, a condition an agent applies that guards no step (its commands would never be sent),
// or a command step guarded by conditions no agent applies (it would never run). The "E2E
// Condition" guards no step; an agent ("protect") must apply it.
#include <string>

#include "varnox/TestPlan.h"

namespace varnox::cli {

// The word a test file's `command` gives for a command step ("writesame"); empty for an agent.
const char* stepKeyword(StepSpec::Kind kind);

// False with a message naming the step, key or agent when the flow cannot check data.
bool checkFlow(const TestPlan& plan, std::string& error);

}  // namespace varnox::cli

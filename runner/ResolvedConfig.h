#pragma once
// The configuration a run used, resolved: the test's settings, every drive with every setting
// (defaults and the seed the runner drew included), the flow, and every key of every agent with
// its value and whether the agent's default stood. With it the record alone repeats the run.
#include <string>
#include <vector>

#include "varnox/TestPlan.h"
#include "varnox/TestRun.h"

namespace varnox::cli {

// `{"test": {...}, "drives": [...], "flow": [...], "agentKeys": [...]}`, members indented for
// the record's top level.
std::string resolvedConfigJson(const TestPlan& plan, const std::vector<AgentKeyValue>& agentKeys);

// One drive's settings: `{"name": ..., "device": ..., "capacityBlocks": ..., ...}`.
std::string driveSpecJson(const DriveSpec& drive);

}  // namespace varnox::cli

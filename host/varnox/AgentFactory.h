#pragma once
// Makes the agent of a flow step: a table the runner added under the step's name, a built-in
// agent, or an agent library (a bare name is looked up as lib<name>.so in VARNOX_AGENT_PATH,
// next to the program and in the build tree).
#include <map>
#include <memory>
#include <string>

#include "FlowAgent.h"
#include "varnox/AgentTable.h"
#include "varnox/ConditionNames.h"
#include "varnox/TestPlan.h"

namespace varnox {

// nullptr with `error` set when the library cannot be loaded or the step has settings that
// only a built-in agent takes.
std::unique_ptr<FlowAgent> makeAgent(const StepSpec& step, const std::map<std::string, AgentTable>& tables,
                                     ConditionNames& names, std::string& error);

}  // namespace varnox

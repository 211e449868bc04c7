// What a test file without [[flow]] runs: the default flow, and the agent's conditions it
// guards its commands with.
#include "TestFile.h"
#include "TestFileTables.h"

#include <algorithm>
#include <string_view>

namespace varnox::cli {
namespace testfile {
namespace {

bool hasKey(const TestPlan& plan, std::string_view key) {
  return std::any_of(plan.keys.begin(), plan.keys.end(), [&](const auto& kv) { return kv.first == key; });
}

}  // namespace

void useDefaultFlow(TestPlan& plan) {
  plan.flow = defaultFlow();
  // The default flow guards its commands with these names; the agent has to apply the same.
  if (!hasKey(plan, "Write Condition")) plan.keys.emplace_back("Write Condition", "write");
  if (!hasKey(plan, "Read Condition")) plan.keys.emplace_back("Read Condition", "read");
}

}  // namespace testfile

std::vector<StepSpec> defaultFlow() {
  return {
      {StepSpec::Kind::Agent, "lba", "", {}},
      {StepSpec::Kind::Agent, "cardamor", "", {}},
      {StepSpec::Kind::Write, "Write", "write", {}},
      {StepSpec::Kind::Read, "Read", "read", {}},
      {StepSpec::Kind::GetStatus, "GetStatus", "", {}},
  };
}

}  // namespace varnox::cli

#include "IdleSettings.h"

#include <algorithm>
#include <utility>

namespace varnox::cli {
namespace {

bool flowHas(const TestPlan& plan, StepSpec::Kind kind) {
  for (const StepSpec& step : plan.flow)
    if (step.kind == kind) return true;
  return false;
}

}  // namespace

std::vector<std::string> idleSettingWarnings(const TestPlan& plan, const GivenOptions& options) {
  std::vector<std::string> warnings;
  const std::string file = plan.sourceFile.empty() ? "the test" : plan.sourceFile;
  bool onlySim = true;
  for (const DriveSpec& drive : plan.drives) {
    const DeviceSpec& d = drive.device;
    const std::string where = file + ": drive " + drive.name + ": ";
    onlySim &= d.kind == "sim";
    if (d.kind == "sim") {
      for (const auto& [set, key] :
           {std::pair{d.directIo, "direct_io"}, std::pair{d.precondition, "precondition"},
            std::pair{d.destroyData, "destroy_data"}})
        if (set)
          warnings.push_back(where + key +
                             " does nothing on the simulated drive (it is for files and block devices)");
    } else if (d.writeCache != "write-through") {
      warnings.push_back(
          where + "write_cache = \"" + d.writeCache +
          "\" does nothing on a file or block device (only the simulated drive has a cache to lose)");
    }
    for (const FaultRule& fault : d.faults)
      if (fault.kind == "torn-atomic" &&
          (d.atomicUnitBlocks == 0 || !flowHas(plan, StepSpec::Kind::WriteAtomic)))
        warnings.push_back(
            where +
            "the fault \"torn-atomic\" cannot fire: it needs atomic_unit > 0 and an \"atomic\" "
            "step in the flow");
  }
  if (options.force && onlySim)
    warnings.push_back("--force does nothing on the simulated drive (it is for files and block devices)");
  if (options.interval && !options.series)
    warnings.push_back("--interval does nothing without --series or --report");
  // A command step before the agent that fills its command runs on what the last pass left.
  size_t firstAgent = plan.flow.size();
  for (size_t i = 0; i < plan.flow.size(); ++i)
    if (plan.flow[i].kind == StepSpec::Kind::Agent && plan.flow[i].name == "cardamor")
      firstAgent = std::min(firstAgent, i);
  for (size_t i = 0; i < firstAgent && firstAgent < plan.flow.size(); ++i) {
    const StepSpec::Kind k = plan.flow[i].kind;
    if (k == StepSpec::Kind::Read || k == StepSpec::Kind::Verify || k == StepSpec::Kind::Write)
      warnings.push_back(
          file + ": [[flow]] " + std::to_string(i + 1) +
          ": a command step before the \"cardamor\" agent that prepares it sends what the previous "
          "pass prepared; put it after the agent");
  }
  return warnings;
}

}  // namespace varnox::cli

#include "ResolvedConfig.h"

#include <sstream>

#include "FlowCheck.h"
#include "Summary.h"

namespace varnox::cli {
namespace {

const char* flag(bool value) {
  return value ? "true" : "false";
}

std::string faultRuleJson(const FaultRule& r) {
  auto number = [](const std::optional<uint64_t>& value) { return value ? std::to_string(*value) : "null"; };
  return "{\"kind\": " + jsonString(r.kind) + ", \"lba\": " + number(r.lba) +
         ", \"after\": " + number(r.after) + ", \"rate\": " + (r.rate ? jsonDecimal(*r.rate) : "null") +
         ", \"count\": " + std::to_string(r.count) + ", \"delaySeconds\": " + jsonDecimal(r.delaySeconds) +
         "}";
}

// An agent key's value in its own type: u32 a number, bool a boolean, the rest text.
std::string keyValueJson(const AgentKeyValue& key) {
  if (key.type == "u32" && !key.value.empty() &&
      key.value.find_first_not_of("0123456789") == std::string::npos)
    return key.value;
  if (key.type == "bool" && (key.value == "true" || key.value == "false")) return key.value;
  return jsonString(key.value);
}

}  // namespace

std::string driveSpecJson(const DriveSpec& drive) {
  const DeviceSpec& d = drive.device;
  std::ostringstream out;
  out << "{\"name\": " << jsonString(drive.name) << ", \"device\": " << jsonString(d.kind)
      << ", \"capacityBlocks\": " << d.capacityBlocks << ", \"blockSize\": " << d.logicalBlockSize
      << ", \"protectionInfo\": " << flag(d.protectionInfo)
      << ", \"physicalExponent\": " << d.log2LogicalPerPhysical << ", \"queueDepth\": " << d.queueDepth
      << ", \"completions\": " << (d.shuffleCompletions ? "\"shuffled\"" : "\"in-order\"")
      << ", \"writeCache\": " << jsonString(d.writeCache) << ", \"atomicUnit\": " << d.atomicUnitBlocks
      << ", \"zoneSize\": " << d.zoneBlocks << ", \"zoneModel\": " << jsonString(d.zoneModel)
      << ", \"seed\": " << d.seed << ", \"directIo\": " << flag(d.directIo)
      << ", \"destroyData\": " << flag(d.destroyData) << ", \"force\": " << flag(d.force)
      << ", \"precondition\": " << flag(d.precondition);
  // One slice is every drive's default: said only when the test splits the drive or pins it.
  if (drive.slices != 1) out << ", \"slices\": " << drive.slices;
  if (!drive.cpus.empty()) {
    out << ", \"cpus\": [";
    for (size_t i = 0; i < drive.cpus.size(); ++i) out << (i == 0 ? "" : ", ") << drive.cpus[i];
    out << "]";
  }
  out << ",\n       \"faults\": [";
  for (size_t i = 0; i < d.faults.size(); ++i) out << (i == 0 ? "" : ", ") << faultRuleJson(d.faults[i]);
  out << "]}";
  return out.str();
}

std::string resolvedConfigJson(const TestPlan& plan, const std::vector<AgentKeyValue>& agentKeys) {
  std::ostringstream out;
  out << "{\n    \"test\": {\"passes\": " << (plan.passes > 0 ? std::to_string(plan.passes) : "null")
      << ", \"durationSeconds\": " << (plan.durationSeconds > 0 ? jsonDecimal(plan.durationSeconds) : "null")
      << ", \"output\": " << jsonString(plan.outputBase) << ", \"log\": " << jsonString(plan.logFile)
      << ", \"commandTimeoutSeconds\": " << jsonDecimal(plan.commandTimeoutSeconds)
      << ", \"maxDeviceErrors\": " << plan.maxDeviceErrors << "},\n    \"drives\": [";
  for (size_t i = 0; i < plan.drives.size(); ++i)
    out << (i == 0 ? "\n      " : ",\n      ") << driveSpecJson(plan.drives[i]);
  out << "],\n    \"flow\": [";
  for (size_t i = 0; i < plan.flow.size(); ++i) {
    const StepSpec& step = plan.flow[i];
    const bool agent = step.kind == StepSpec::Kind::Agent;
    out << (i == 0 ? "\n      " : ",\n      ") << "{\"step\": " << (agent ? "\"agent\"" : "\"command\"")
        << ", \"name\": " << jsonString(agent ? step.name : stepKeyword(step.kind));
    if (!agent && !step.name.empty()) out << ", \"label\": " << jsonString(step.name);
    out << ", \"condition\": " << jsonString(step.condition) << ", \"settings\": {";
    for (size_t s = 0; s < step.settings.size(); ++s)
      out << (s == 0 ? "" : ", ") << jsonString(step.settings[s].first) << ": "
          << jsonString(step.settings[s].second);
    out << "}}";
  }
  out << "],\n    \"agentKeys\": [";
  for (size_t i = 0; i < agentKeys.size(); ++i) {
    const AgentKeyValue& k = agentKeys[i];
    out << (i == 0 ? "\n      " : ",\n      ") << "{\"agent\": " << jsonString(k.agent)
        << ", \"key\": " << jsonString(k.key) << ", \"type\": " << jsonString(k.type)
        << ", \"value\": " << keyValueJson(k) << ", \"defaulted\": " << flag(k.defaulted) << "}";
  }
  out << "]}";
  return out.str();
}

}  // namespace varnox::cli

// `varnox keys` and `varnox usage`: an agent's usage text and every key with its type, range,
// default and help, read from an instance that is configured and then deleted.
#include <string>

#include "AgentFactory.h"
#include "BuiltinAgents.h"
#include "varnox/ConfigManager.h"
#include "varnox/Errors.h"
#include "varnox/TestRun.h"

namespace varnox {
namespace {

std::string describeKeyType(const ConfigManager::Key& key) {
  switch (key.type) {
    case ConfigManager::KeyType::U32:
      return "u32 " + std::to_string(key.min) + ".." + std::to_string(key.max) + ", default " +
             std::to_string(key.defaultU32);
    case ConfigManager::KeyType::Bool: return std::string("bool, default ") + (key.defaultBool ? "true" : "false");
    case ConfigManager::KeyType::String: return "text, default \"" + key.defaultText + "\"";
    case ConfigManager::KeyType::Condition: return "condition, default none";
    case ConfigManager::KeyType::Buffer: return "data, default empty";
  }
  return "";
}

}  // namespace

int TestRun::describeAgent(const std::string& agentName, std::string& usage, std::string& keysText,
                           std::string& error) {
  ConditionNames names;
  StepSpec step;
  step.name = agentName;
  std::unique_ptr<FlowAgent> agent = makeAgent(step, {}, names, error);
  if (!agent) return kExitRefused;
  if (agent->registerConfig(error) != VARNOX_OK) {
    agent->deleteConfig();
    return kExitRefused;
  }
  usage = agent->usage();
  std::string text;
  if (ConfigManager* manager = agent->config()) {
    for (const ConfigManager::Key& key : manager->keys()) {
      text += "\"" + key.name + "\"  (" + describeKeyType(key) + ")\n";
      if (!key.help.empty()) text += "    " + key.help + "\n";
      if (!key.deprecation.empty()) text += "    deprecated: " + key.deprecation + "\n";
    }
  }
  keysText = isBuiltinAgent(agentName) ? builtinAgentSettings(agentName) : text;
  agent->deleteConfig();
  return kExitPassed;
}

}  // namespace varnox

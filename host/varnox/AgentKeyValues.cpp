// The agents' keys as a run used them, for its record: each key's value read back from the
// agent's own member, so a value the test gave as "0x40" is recorded as the agent took it.
#include <string>

#include "TestRunImpl.h"

namespace varnox {
namespace {

const char* typeName(ConfigManager::KeyType type) {
  switch (type) {
    case ConfigManager::KeyType::U32:
      return "u32";
    case ConfigManager::KeyType::Bool:
      return "bool";
    case ConfigManager::KeyType::String:
      return "text";
    case ConfigManager::KeyType::Condition:
      return "condition";
    case ConfigManager::KeyType::Buffer:
      return "data";
  }
  return "";
}

}  // namespace

std::vector<AgentKeyValue> TestRun::Impl::agentKeyValues() const {
  std::vector<AgentKeyValue> values;
  for (const auto& agent : agents) {
    const ConfigManager* manager = agent->config();
    if (manager == nullptr) continue;
    for (const ConfigManager::Key& key : manager->keys()) {
      AgentKeyValue v{agent->name(), key.name, typeName(key.type), "", true};
      // A condition is a mask and data a buffer by now: their text is the test's, the last one set.
      for (const auto& [name, text] : keys) {
        if (name != key.name) continue;
        v.defaulted = false;
        v.value = text;
      }
      switch (key.type) {
        case ConfigManager::KeyType::U32:
          v.value = std::to_string(*static_cast<const uint32_t*>(key.member));
          break;
        case ConfigManager::KeyType::Bool:
          v.value = *static_cast<const bool*>(key.member) ? "true" : "false";
          break;
        case ConfigManager::KeyType::String:
          v.value = *static_cast<const std::string*>(key.member);
          break;
        case ConfigManager::KeyType::Condition:
        case ConfigManager::KeyType::Buffer:
          break;
      }
      values.push_back(std::move(v));
    }
  }
  return values;
}

}  // namespace varnox

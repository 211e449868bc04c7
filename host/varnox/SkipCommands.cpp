#include "SkipCommands.h"

namespace varnox {

bool agentsUseSkipCommands(const std::vector<std::unique_ptr<FlowAgent>>& agents) {
  for (const auto& agent : agents) {
    const ConfigManager* config = agent->config();
    const ConfigManager::Key* key = config ? config->find("Use Skip Commands") : nullptr;
    if (key && key->type == ConfigManager::KeyType::Bool && *static_cast<const bool*>(key->member)) return true;
  }
  return false;
}

}  // namespace varnox

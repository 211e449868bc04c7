#include "AgentFactory.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <vector>

#include "BuiltinAgents.h"
#include "TableAgent.h"
#include "varnox/AgentLoader.h"
#include "varnox/Errors.h"

namespace varnox {
namespace {

std::string programDirectory() {
  char path[4096];
  const ssize_t n = readlink("/proc/self/exe", path, sizeof(path) - 1);
  if (n <= 0) return "";
  path[n] = '\0';
  return std::filesystem::path(path).parent_path().string();
}

// A bare agent name is looked up as lib<name>.so; a name with a slash or ".so" is a path.
std::string resolveAgentLibrary(const std::string& name) {
  if (name.find('/') != std::string::npos || name.ends_with(".so")) return name;
  const std::string file = "lib" + name + ".so";
  std::vector<std::string> dirs;
  if (const char* env = std::getenv("VARNOX_AGENT_PATH")) {
    std::stringstream list(env);
    for (std::string dir; std::getline(list, dir, ':');) {
      if (!dir.empty()) dirs.push_back(dir);
    }
  }
  const std::string exeDir = programDirectory();
  if (!exeDir.empty()) {
    dirs.push_back(exeDir);
    dirs.push_back(exeDir + "/../plugin/write_data_gen");  // the build tree
  }
  for (const std::string& dir : dirs) {
    std::error_code ec;
    const std::filesystem::path candidate = std::filesystem::path(dir) / file;
    if (std::filesystem::is_regular_file(candidate, ec)) return candidate.string();
  }
  return file;  // the system's library search
}

}  // namespace

std::unique_ptr<FlowAgent> makeAgent(const StepSpec& step, const std::map<std::string, AgentTable>& tables,
                                     ConditionNames& names, std::string& error) {
  auto tableIt = tables.find(step.name);
  if (tableIt != tables.end() || !isBuiltinAgent(step.name)) {
    if (!step.settings.empty()) {
      error = "agent \"" + step.name + "\": unknown setting \"" + step.settings.front().first +
              "\" (library agents take their configuration keys from the keys table)";
      return nullptr;
    }
  }
  if (tableIt != tables.end()) {
    return std::make_unique<TableAgent>(step.name, tableIt->second, nullptr, &ConditionNames::resolve, &names);
  }
  if (isBuiltinAgent(step.name)) return makeBuiltinAgent(step.name, step.settings, names, error);
  auto loader = std::make_unique<AgentLoader>();
  if (loader->load(resolveAgentLibrary(step.name), error) != VARNOX_OK) return nullptr;
  AgentTable table = loader->table();
  return std::make_unique<TableAgent>(step.name, table, std::move(loader), &ConditionNames::resolve, &names);
}

}  // namespace varnox

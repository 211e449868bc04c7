#include "varnox/AgentLoader.h"

#include <dlfcn.h>

#include "varnox/Errors.h"

namespace varnox {

void AgentLoader::Closer::operator()(void* handle) const {
  if (handle != nullptr) dlclose(handle);
}

AgentLoader::~AgentLoader() = default;

int AgentLoader::load(const std::string& path, std::string& error) {
  handle_.reset();
  table_ = AgentTable{};
  path_ = path;
  // RTLD_LOCAL keeps one agent's symbols from resolving another's.
  std::unique_ptr<void, Closer> handle(dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL));
  if (!handle) {
    const char* why = dlerror();
    error = "agent library \"" + path + "\" could not be loaded: " + (why ? why : "unknown reason");
    return VARNOX_ERR_NOT_SUPPORTED;
  }
  dlerror();
  void* symbol = dlsym(handle.get(), kInitAgentSymbol);
  if (symbol == nullptr) {
    const char* why = dlerror();
    error = "agent library \"" + path + "\" has no " + kInitAgentSymbol + ": " + (why ? why : "symbol is null");
    return VARNOX_ERR_NOT_SUPPORTED;
  }
  auto init = reinterpret_cast<InitAgentFn>(symbol);
  AgentTable table{};
  int status = init(&table);
  if (status != 0) {
    error = "agent library \"" + path + "\": initAgent returned " + std::to_string(status);
    return status;
  }
  if (table.setupTest == nullptr || table.execute == nullptr || table.registerConfig == nullptr ||
      table.registerDriveVariables == nullptr) {
    error = "agent library \"" + path + "\": initAgent left required slots of the agent table empty";
    return VARNOX_ERR_GENERIC;
  }
  table_ = table;
  handle_ = std::move(handle);
  return VARNOX_OK;
}

}  // namespace varnox

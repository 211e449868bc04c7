#include "TableAgent.h"

#include "varnox/Errors.h"
#include "varnox/EventLog.h"

namespace varnox {

TableAgent::TableAgent(std::string name, const AgentTable& table, std::unique_ptr<AgentLoader> loader,
                       ConfigManager::ConditionResolver resolver, void* resolverContext)
    : name_(std::move(name)), table_(table), loader_(std::move(loader)) {
  manager_.setConditionResolver(resolver, resolverContext);
}

TableAgent::~TableAgent() {
  // Records the run did not release (a refused preparation) go back to the agent before the
  // library is unloaded.
  for (auto& entry : drives_) {
    if (entry.second != nullptr && table_.deleteDriveData != nullptr) table_.deleteDriveData(entry.second);
  }
  drives_.clear();
  deleteConfig();
}

int TableAgent::registerConfig(std::string& error) {
  if (table_.registerConfig == nullptr) return VARNOX_OK;
  int status = table_.registerConfig(&manager_);
  // A record registered before a failing key stays with the host and is released normally.
  configRegistered_ = manager_.record() != nullptr;
  if (status != VARNOX_OK) {
    error = "agent \"" + name_ + "\": registerConfig failed: " + EventLog::errStr(status) + " (" +
            std::to_string(status) + ")";
  }
  return status;
}

int TableAgent::registerDriveVariables(DriveEnv& env, std::string& error) {
  DriveThread& thread = *env.thread;
  thread.clearDriveData();
  thread.setMapper(name_);
  int status = table_.registerDriveVariables ? table_.registerDriveVariables(&thread) : VARNOX_OK;
  drives_[&thread] = thread.driveData();
  thread.clearDriveData();
  if (status != VARNOX_OK) {
    error = "agent \"" + name_ + "\" on drive " + thread.driveName() +
            ": registerDriveVariables failed: " + EventLog::errStr(status) + " (" + std::to_string(status) + ")";
  }
  return status;
}

void* TableAgent::driveRecord(const DriveEnv& env) const {
  auto it = drives_.find(env.thread);
  return it == drives_.end() ? nullptr : it->second;
}

int TableAgent::setup(DriveEnv& env) {
  if (table_.setupTest == nullptr) return VARNOX_OK;
  return table_.setupTest(env.thread, manager_.record(), driveRecord(env));
}

int TableAgent::execute(DriveEnv& env) {
  if (table_.execute == nullptr) return VARNOX_OK;
  return table_.execute(env.thread, manager_.record(), driveRecord(env));
}

int TableAgent::handleReset(DriveEnv& env) {
  if (table_.handleReset == nullptr) return VARNOX_OK;
  return table_.handleReset(env.thread, manager_.record(), driveRecord(env));
}

void TableAgent::finish(DriveEnv& env) {
  if (table_.finishTest != nullptr) table_.finishTest(env.thread, manager_.record(), driveRecord(env));
}

void TableAgent::deleteDriveData(DriveEnv& env) {
  auto it = drives_.find(env.thread);
  if (it == drives_.end()) return;
  if (it->second != nullptr && table_.deleteDriveData != nullptr) table_.deleteDriveData(it->second);
  drives_.erase(it);
}

void TableAgent::deleteConfig() {
  if (!configRegistered_) return;
  configRegistered_ = false;
  if (table_.deleteConfigData != nullptr) table_.deleteConfigData(manager_.record());
}

const char* TableAgent::usage() const {
  const char* text = table_.usageText ? table_.usageText() : nullptr;
  return text ? text : "";
}

}  // namespace varnox

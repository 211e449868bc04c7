#pragma once
// A flow agent reached through an AgentTable (a loaded library or a table a test fills).
#include <map>
#include <memory>
#include <string>

#include "FlowAgent.h"
#include "varnox/AgentLoader.h"
#include "varnox/AgentTable.h"

namespace varnox {

class TableAgent : public FlowAgent {
 public:
  // `loader` keeps the library loaded; null for a table that lives in the caller.
  TableAgent(std::string name, const AgentTable& table, std::unique_ptr<AgentLoader> loader,
             ConfigManager::ConditionResolver resolver, void* resolverContext);
  ~TableAgent() override;

  const std::string& name() const override { return name_; }
  ConfigManager* config() override { return &manager_; }
  int registerConfig(std::string& error) override;
  int registerDriveVariables(DriveEnv& env, std::string& error) override;
  int setup(DriveEnv& env) override;
  int execute(DriveEnv& env) override;
  int handleReset(DriveEnv& env) override;
  void finish(DriveEnv& env) override;
  void deleteDriveData(DriveEnv& env) override;
  void deleteConfig() override;
  const char* usage() const override;

 private:
  void* driveRecord(const DriveEnv& env) const;

  std::string name_;
  AgentTable table_;
  std::unique_ptr<AgentLoader> loader_;
  ConfigManager manager_;
  bool configRegistered_ = false;
  // Each drive thread holds one record slot; with several table agents in a flow the record is
  // taken out of the slot right after registration and kept here.
  std::map<DriveThread*, void*> drives_;
};

}  // namespace varnox

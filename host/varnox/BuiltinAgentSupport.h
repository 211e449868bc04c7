#pragma once
// What the built-in agents share: setting parsers, the per-drive state map and the makers of the
// agents that live in files of their own.
#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "BuiltinAgents.h"
#include "FlowAgent.h"
#include "varnox/Errors.h"

namespace varnox {

// Decimal or 0x-hexadecimal; false for anything else or an overflow.
bool parseU64(const std::string& text, uint64_t& out);
// A probability above 0 and at most 1 ("0.05"); false for anything else.
bool parseRate(const std::string& text, double& out);

std::string badSetting(const std::string& agent, const std::string& key, const std::string& value,
                       const std::string& why);

// The built-in agents have no configuration keys, no reset recovery and nothing to finish.
class BuiltinAgent : public FlowAgent {
 public:
  int registerConfig(std::string&) override { return VARNOX_OK; }
  int handleReset(DriveEnv&) override { return VARNOX_OK; }
  void finish(DriveEnv&) override {}
  void deleteConfig() override {}
};

// Per-drive state keyed by thread; entries are made while preparing, before any drive runs.
template <typename State>
class PerDrive {
 public:
  State& make(DriveThread* thread) { return states_[thread]; }
  State* find(DriveThread* thread) {
    auto it = states_.find(thread);
    return it == states_.end() ? nullptr : &it->second;
  }
  void erase(DriveThread* thread) { states_.erase(thread); }

 private:
  std::map<DriveThread*, State> states_;
};

// The mask bit of a condition a built-in agent applies; 0 with `error` set when none is left.
uint64_t conditionBit(const std::string& agent, const std::string& condition, ConditionNames& names,
                      std::string& error);

std::unique_ptr<FlowAgent> makeZoneAgent(const StepSettings& settings, ConditionNames& names, std::string& error);
std::unique_ptr<FlowAgent> makeInvalidateAgent(const StepSettings& settings, ConditionNames& names,
                                               std::string& error);
std::unique_ptr<FlowAgent> makeProtectAgent(const StepSettings& settings, ConditionNames& names, std::string& error);

// Settings of each of those agents for "varnox keys", one "name  (what it takes)\n    help\n" each.
extern const char* const kZoneAgentSettings;
extern const char* const kInvalidateAgentSettings;
extern const char* const kProtectAgentSettings;

}  // namespace varnox

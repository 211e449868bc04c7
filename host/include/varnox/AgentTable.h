#pragma once
// The table through which the host reaches an agent. The agent's entry point, initAgent, fills it.
// The two records an agent keeps (its configuration and one record per drive) are opaque to the
// host: it stores the pointers the agent registered and hands them back to slots 0 to 3.
namespace varnox {

class DriveThread;
class ConfigManager;

struct AgentTable {
  int (*setupTest)(DriveThread*, void* config, void* drive);          // slot 0
  void (*finishTest)(DriveThread*, void* config, void* drive);        // slot 1
  int (*execute)(DriveThread*, void* config, void* drive);            // slot 2
  int (*handleReset)(DriveThread*, void* config, void* drive);        // slot 3
  int (*registerConfig)(ConfigManager*);                              // slot 4
  void (*deleteConfigData)(void* config);                             // slot 5
  int (*registerDriveVariables)(DriveThread*);                        // slot 6
  void (*deleteDriveData)(void* drive);                               // slot 7
  const char* (*usageText)();                                         // slot 8
};
static_assert(sizeof(AgentTable) == 9 * sizeof(void*), "the agent table is nine pointers");

// Signature of the one symbol an agent library exports.
using InitAgentFn = int (*)(AgentTable*);
inline constexpr const char* kInitAgentSymbol = "initAgent";

}  // namespace varnox

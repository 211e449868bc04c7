#pragma once
// The host's own agents.
//
// "lba": chooses the next LBA and transfer length, at random or sequentially, and publishes the
//   test's bounds. Settings: "min_lba" (0), "max_lba" (last block of the drive), "min_xfer" (1),
//   "max_xfer" (8), "mode" ("random" or "sequential"), "atomic_bound" (0). Variables it writes:
//   "LBA", "XferLength", "MinLBA", "MaxLBA", "TestMaxXferLength", "AtomicBound".
// "write-kind": picks the kind of the next write by weight and applies the condition of that
//   name ("write", "writesame", "trim", "atomic") to the mask, for a data agent after it to
//   follow. Settings: the four weights under those names (write 1, the others 0).
// "read-kind": the same for the next read-back ("read" 1, "verify" 1).
// "zones": hands a zoned drive's write positions to the data agent and resets full zones
//   (ZoneAgent.cpp). "invalidate": overwrites ranges the data agent just wrote with foreign data
//   and tells it so (InvalidateAgent.cpp). "protect": applies the condition that makes the next
//   commands carry protection information end to end (ProtectAgent.cpp).
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "varnox/ConditionNames.h"
#include "FlowAgent.h"

namespace varnox {

using StepSettings = std::vector<std::pair<std::string, std::string>>;

inline constexpr const char* kLbaAgentName = "lba";
inline constexpr const char* kWriteKindAgentName = "write-kind";
inline constexpr const char* kReadKindAgentName = "read-kind";
inline constexpr const char* kZoneAgentName = "zones";
inline constexpr const char* kInvalidateAgentName = "invalidate";
inline constexpr const char* kProtectAgentName = "protect";

bool isBuiltinAgent(const std::string& name);

// Null with `error` naming the setting and value when the settings are unusable. `names` must
// outlive the agent.
std::unique_ptr<FlowAgent> makeBuiltinAgent(const std::string& name, const StepSettings& settings,
                                            ConditionNames& names, std::string& error);

// What "varnox keys" lists for a built-in agent: every setting with what it takes, its default
// and what it does. Empty for a name that is not a built-in agent.
std::string builtinAgentSettings(const std::string& name);

}  // namespace varnox

#pragma once
// The condition names of one test ("write", "read", "e2e", ...) and their mask bits. Every
// distinct name gets its own bit, the same for the flow's step guards and for the agents'
// condition keys, so "Read Condition" = "read" selects the step guarded by "read".
#include <cstdint>
#include <map>
#include <string>

#include "varnox/ConfigManager.h"
#include "varnox/Condition.h"

namespace varnox {

class ConditionNames {
 public:
  // The name's bit, assigned on first use in order; 0 once all 64 bits are taken.
  uint64_t bitFor(const std::string& name);
  // The bit of a name already known, 0 otherwise.
  uint64_t find(const std::string& name) const;
  size_t size() const { return bits_.size(); }

  // ConfigManager::ConditionResolver over a ConditionNames passed as the context.
  static uint64_t resolve(void* context, const std::string& name);

 private:
  std::map<std::string, uint64_t> bits_;
};

// Parses condition text: names joined by '|' (any of them, anyBits) or by '&' (all of them,
// allBits), each possibly negated with '!' (noneBits). Empty text is the unset condition.
// Returns 0, or VARNOX_ERR_BAD_VALUE with `why` telling what is wrong with the text.
int parseConditionText(const std::string& text, ConfigManager::ConditionResolver resolver, void* context,
                       Condition& out, std::string& why);

}  // namespace varnox

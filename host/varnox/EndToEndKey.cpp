#include "EndToEndKey.h"

#include "varnox/Errors.h"

namespace varnox {

std::string endToEndCondition(const std::vector<std::pair<std::string, std::string>>& keys, ConditionNames& names,
                              Condition& condition) {
  std::string text;
  for (const auto& [key, value] : keys)
    if (key == kEndToEndKey) text = value;
  std::string why;
  if (!text.empty() && parseConditionText(text, &ConditionNames::resolve, &names, condition, why) != VARNOX_OK)
    return "\"" + std::string(kEndToEndKey) + "\" = \"" + text + "\" " + why;
  return {};
}

}  // namespace varnox

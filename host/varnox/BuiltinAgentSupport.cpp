// The setting parsers and condition bits the built-in agents share.
#include "BuiltinAgentSupport.h"

#include <cctype>
#include <cstdlib>

namespace varnox {

bool parseU64(const std::string& text, uint64_t& out) {
  if (text.empty()) return false;
  int base = 10;
  size_t at = 0;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    at = 2;
  }
  if (at >= text.size()) return false;
  uint64_t value = 0;
  for (; at < text.size(); ++at) {
    const char c = static_cast<char>(std::tolower(static_cast<unsigned char>(text[at])));
    int digit;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (base == 16 && c >= 'a' && c <= 'f') {
      digit = c - 'a' + 10;
    } else {
      return false;
    }
    if (value > (UINT64_MAX - static_cast<uint64_t>(digit)) / static_cast<uint64_t>(base)) return false;
    value = value * static_cast<uint64_t>(base) + static_cast<uint64_t>(digit);
  }
  out = value;
  return true;
}

std::string badSetting(const std::string& agent, const std::string& key, const std::string& value,
                       const std::string& why) {
  return "agent \"" + agent + "\": setting \"" + key + "\" = \"" + value + "\" " + why;
}

bool parseRate(const std::string& text, double& out) {
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  if (text.empty() || end != text.c_str() + text.size() || !(value > 0 && value <= 1)) return false;
  out = value;
  return true;
}

uint64_t conditionBit(const std::string& agent, const std::string& condition, ConditionNames& names,
                      std::string& error) {
  const uint64_t bit = condition.empty() ? 0 : names.bitFor(condition);
  if (bit == 0) error = "agent \"" + agent + "\": condition \"" + condition + "\" cannot be given a mask bit";
  return bit;
}

}  // namespace varnox

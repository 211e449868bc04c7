#include "varnox/ConditionNames.h"

#include <cctype>

#include "varnox/Errors.h"

namespace varnox {
namespace {

std::string trim(const std::string& text) {
  size_t first = text.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return "";
  size_t last = text.find_last_not_of(" \t\r\n");
  return text.substr(first, last - first + 1);
}

}  // namespace

uint64_t ConditionNames::bitFor(const std::string& name) {
  auto it = bits_.find(name);
  if (it != bits_.end()) return it->second;
  if (bits_.size() >= 64) return 0;
  uint64_t bit = 1ULL << bits_.size();
  bits_.emplace(name, bit);
  return bit;
}

uint64_t ConditionNames::find(const std::string& name) const {
  auto it = bits_.find(name);
  return it == bits_.end() ? 0 : it->second;
}

uint64_t ConditionNames::resolve(void* context, const std::string& name) {
  return context == nullptr ? 0 : static_cast<ConditionNames*>(context)->bitFor(name);
}

int parseConditionText(const std::string& rawText, ConfigManager::ConditionResolver resolver, void* context,
                       Condition& out, std::string& why) {
  const std::string text = trim(rawText);
  Condition parsed;
  if (text.empty()) {
    out = parsed;
    return VARNOX_OK;
  }
  if (text.find('|') != std::string::npos && text.find('&') != std::string::npos) {
    why = "mixes '|' and '&'; use one of them";
    return VARNOX_ERR_BAD_VALUE;
  }
  if (resolver == nullptr) {
    why = "no condition names are known here";
    return VARNOX_ERR_BAD_VALUE;
  }
  const bool all = text.find('&') != std::string::npos;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find_first_of("|&", start);
    if (end == std::string::npos) end = text.size();
    std::string word = trim(text.substr(start, end - start));
    const bool negated = !word.empty() && word[0] == '!';
    if (negated) word = trim(word.substr(1));
    if (word.empty()) {
      why = "has an empty condition name";
      return VARNOX_ERR_BAD_VALUE;
    }
    for (char c : word) {
      if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-' || c == '.')) {
        why = "has condition name \"" + word + "\" with characters other than letters, digits, '_', '-', '.'";
        return VARNOX_ERR_BAD_VALUE;
      }
    }
    const uint64_t bit = resolver(context, word);
    if (bit == 0) {
      why = "condition \"" + word + "\" cannot be given a mask bit (more than 64 names)";
      return VARNOX_ERR_BAD_VALUE;
    }
    if (negated) {
      parsed.noneBits |= bit;
    } else if (all) {
      parsed.allBits |= bit;
    } else {
      parsed.anyBits |= bit;
    }
    start = end + 1;
  }
  out = parsed;
  return VARNOX_OK;
}

}  // namespace varnox

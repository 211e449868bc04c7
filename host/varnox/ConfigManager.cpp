#include "varnox/ConfigManager.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>

#include "varnox/ConditionNames.h"
#include "varnox/Errors.h"

namespace varnox {
namespace {

std::string trim(const std::string& text) {
  size_t first = text.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return "";
  size_t last = text.find_last_not_of(" \t\r\n");
  return text.substr(first, last - first + 1);
}

std::string lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::string quoted(const std::string& text) { return "\"" + text + "\""; }

// Decimal or 0x-prefixed hexadecimal, nothing else (no sign, no trailing text).
bool parseU64(const std::string& text, uint64_t& out) {
  if (text.empty()) return false;
  int base = 10;
  const char* start = text.c_str();
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    start += 2;
  }
  if (!std::isxdigit(static_cast<unsigned char>(*start))) return false;
  errno = 0;
  char* end = nullptr;
  unsigned long long value = std::strtoull(start, &end, base);
  if (errno != 0 || end == start || *end != '\0') return false;
  out = value;
  return true;
}

}  // namespace

int ConfigManager::registerConfigData(void* record, size_t size) {
  if (record == nullptr) return VARNOX_ERR_NO_RECORD;
  if (record_ != nullptr) return VARNOX_ERR_DUPLICATE;
  record_ = record;
  recordSize_ = size;
  return VARNOX_OK;
}

int ConfigManager::addKey(Key key) {
  if (key.member == nullptr || key.name.empty()) return VARNOX_ERR_BAD_VALUE;
  if (find(key.name) != nullptr) return VARNOX_ERR_DUPLICATE;
  keys_.push_back(std::move(key));
  return VARNOX_OK;
}

int ConfigManager::addU32(const char* name, uint32_t* member, uint32_t min, uint32_t max, const char* help) {
  if (name == nullptr || member == nullptr || min > max) return VARNOX_ERR_BAD_VALUE;
  Key key{name, KeyType::U32, member, min, max, help ? help : "", "", *member, false, ""};
  return addKey(std::move(key));
}

int ConfigManager::addBool(const char* name, bool* member, const char* help) {
  if (name == nullptr || member == nullptr) return VARNOX_ERR_BAD_VALUE;
  Key key{name, KeyType::Bool, member, 0, 1, help ? help : "", "", 0, *member, *member ? "true" : "false"};
  return addKey(std::move(key));
}

int ConfigManager::addString(const char* name, std::string* member, const char* help) {
  if (name == nullptr || member == nullptr) return VARNOX_ERR_BAD_VALUE;
  Key key{name, KeyType::String, member, 0, 0, help ? help : "", "", 0, false, *member};
  return addKey(std::move(key));
}

int ConfigManager::addCondition(const char* name, Condition* member, const char* help) {
  if (name == nullptr || member == nullptr) return VARNOX_ERR_BAD_VALUE;
  Key key{name, KeyType::Condition, member, 0, 0, help ? help : "", "", 0, false, ""};
  return addKey(std::move(key));
}

int ConfigManager::addBuffer(const char* name, Buffer* member, const char* help) {
  if (name == nullptr || member == nullptr) return VARNOX_ERR_BAD_VALUE;
  std::string text(reinterpret_cast<const char*>(member->data), member->data ? member->size : 0);
  Key key{name, KeyType::Buffer, member, 0, 0, help ? help : "", "", 0, false, text};
  return addKey(std::move(key));
}

int ConfigManager::deprecate(const char* name, const char* message) {
  if (name == nullptr) return VARNOX_ERR_BAD_VALUE;
  for (Key& key : keys_) {
    if (key.name == name) {
      key.deprecation = message ? message : "";
      return VARNOX_OK;
    }
  }
  return VARNOX_ERR_UNKNOWN_KEY;
}

const ConfigManager::Key* ConfigManager::find(const std::string& name) const {
  for (const Key& key : keys_) {
    if (key.name == name) return &key;
  }
  return nullptr;
}

void ConfigManager::setConditionResolver(ConditionResolver resolver, void* context) {
  resolver_ = resolver;
  resolverContext_ = context;
}

int ConfigManager::setFromText(const std::string& name, const std::string& value, std::string& error) {
  const Key* key = find(name);
  if (key == nullptr) {
    error = "unknown configuration key " + quoted(name);
    return VARNOX_ERR_UNKNOWN_KEY;
  }
  const std::string prefix = quoted(name) + ": value " + quoted(value);
  const std::string text = trim(value);
  switch (key->type) {
    case KeyType::U32: {
      uint64_t parsed = 0;
      if (!parseU64(text, parsed)) {
        error = prefix + " is not a number (decimal or 0x hexadecimal)";
        return VARNOX_ERR_BAD_VALUE;
      }
      if (parsed < key->min || parsed > key->max) {
        error = prefix + " is out of range " + std::to_string(key->min) + ".." + std::to_string(key->max);
        return VARNOX_ERR_BAD_VALUE;
      }
      *static_cast<uint32_t*>(key->member) = static_cast<uint32_t>(parsed);
      break;
    }
    case KeyType::Bool: {
      const std::string word = lower(text);
      bool parsed;
      if (word == "true" || word == "1" || word == "yes" || word == "on") {
        parsed = true;
      } else if (word == "false" || word == "0" || word == "no" || word == "off") {
        parsed = false;
      } else {
        error = prefix + " is not a boolean (true/false, 1/0, yes/no, on/off)";
        return VARNOX_ERR_BAD_VALUE;
      }
      *static_cast<bool*>(key->member) = parsed;
      break;
    }
    case KeyType::String:
      *static_cast<std::string*>(key->member) = value;
      break;
    case KeyType::Buffer: {
      auto* buffer = static_cast<Buffer*>(key->member);
      if (!buffer->assign(reinterpret_cast<const uint8_t*>(value.data()), value.size())) {
        error = prefix + " could not be stored: out of memory";
        return VARNOX_ERR_NO_MEMORY;
      }
      break;
    }
    case KeyType::Condition: {
      Condition parsed;
      std::string why;
      int status = parseConditionText(text, resolver_, resolverContext_, parsed, why);
      if (status != VARNOX_OK) {
        error = prefix + " " + why;
        return status;
      }
      *static_cast<Condition*>(key->member) = parsed;
      break;
    }
  }
  if (!key->deprecation.empty()) notices_.push_back(key->deprecation);
  return VARNOX_OK;
}

}  // namespace varnox

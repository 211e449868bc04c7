#pragma once
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "varnox/Buffer.h"
#include "varnox/Condition.h"

namespace varnox {

// The configuration registry of one agent. The agent registers its record and one key per
// option, each bound to a member; the host then sets the members from the test's values
// (text, range-checked) before setup. Methods are virtual so a test can refuse a call.
class ConfigManager {
 public:
  enum class KeyType { U32, Bool, String, Condition, Buffer };

  struct Key {
    std::string name;
    KeyType type;
    void* member;
    uint32_t min = 0;
    uint32_t max = 0;
    std::string help;
    std::string deprecation;  // empty unless deprecated
    uint32_t defaultU32 = 0;  // the member's value at registration, shown as the default
    bool defaultBool = false;
    std::string defaultText;
  };

  // Resolves condition names ("write", "read", ...) to mask bits; the flow engine supplies it.
  using ConditionResolver = uint64_t (*)(void* context, const std::string& name);

  ConfigManager() = default;
  virtual ~ConfigManager() = default;
  ConfigManager(const ConfigManager&) = delete;
  ConfigManager& operator=(const ConfigManager&) = delete;

  virtual int registerConfigData(void* record, size_t size);
  virtual int addU32(const char* name, uint32_t* member, uint32_t min, uint32_t max, const char* help);
  virtual int addBool(const char* name, bool* member, const char* help);
  virtual int addString(const char* name, std::string* member, const char* help);
  virtual int addCondition(const char* name, Condition* member, const char* help);
  virtual int addBuffer(const char* name, Buffer* member, const char* help);
  virtual int deprecate(const char* name, const char* message);

  void* record() const { return record_; }
  size_t recordSize() const { return recordSize_; }
  const std::vector<Key>& keys() const { return keys_; }
  const Key* find(const std::string& name) const;

  // Sets a key's member from text. U32: decimal or 0x hexadecimal within [min, max];
  // Bool: true/false/1/0/yes/no/on/off; String: as is; Buffer: the bytes of the text;
  // Condition: names joined by '|' for anyBits, '&' for allBits, '!name' for noneBits,
  // resolved through the resolver. On failure returns a negative error and fills `error`
  // with a message naming the key and the value.
  int setFromText(const std::string& name, const std::string& value, std::string& error);
  void setConditionResolver(ConditionResolver resolver, void* context);
  // Deprecation messages of keys that were set, in the order they were set.
  const std::vector<std::string>& deprecationNotices() const { return notices_; }

 private:
  int addKey(Key key);

  void* record_ = nullptr;
  size_t recordSize_ = 0;
  std::vector<Key> keys_;
  std::vector<std::string> notices_;
  ConditionResolver resolver_ = nullptr;
  void* resolverContext_ = nullptr;
};

}  // namespace varnox

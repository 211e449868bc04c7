#pragma once
// The agent's configuration record: one per test, shared read-only by every drive thread once
// the host has filled it (setup may only clear `embedData`). registerConfig creates it with the
// defaults below and binds one configuration key to each option; deleteConfigData releases it.
#include <cstdint>
#include <mutex>
#include <string>

#include "varnox/Buffer.h"
#include "varnox/Condition.h"

namespace varnox {
class ConfigManager;
}

namespace cardamor {

struct ConfigData {
  uint32_t maxQueueSize = 4096;
  uint32_t minQueueSize = 2048;
  uint32_t bucketCount = 65536;
  uint32_t powerToggleFreq = 300;  // seconds
  uint32_t traceDepth = 0;         // 0: sized from maxQueueSize
  uint32_t randomSeed = 0;         // 0: seeded from the clock, seed_entropy and the device index
  bool embedLba = true;
  bool embedData = true;
  bool randomSelection = true;
  bool slideReads = false;
  bool writeSpliceDetection = false;
  bool userDefinedData = false;
  bool useSkipCommands = false;
  bool showstopOnMiscompare = false;
  bool coldStorage = false;
  varnox::Buffer dataBuffer;  // the user pattern; its bytes are copied only under dataBufferMutex
  std::mutex dataBufferMutex;
  varnox::Condition readCondition;
  varnox::Condition verifyCondition;
  varnox::Condition writeCondition;
  varnox::Condition writeAtomicCondition;
  varnox::Condition writeSameCondition;
  varnox::Condition trimCondition;
  varnox::Condition e2eCondition;
  varnox::Condition powerToggleCondition;
  varnox::Condition syncCacheCondition;
  std::string miscompareOutputPath = "./datacompare";
  bool alwaysDumpSequence = false;
};

// Creates the record, registers it and its 27 keys with `manager`, in order, stopping at the
// first non-zero status, which is returned. -1002 when the record cannot be allocated. When
// registerConfigData refuses the record it is freed here; after that the host owns it, also
// when a later key is refused.
int registerConfig(varnox::ConfigManager* manager);

// Releases a record made by registerConfig (its path, mutex and owned pattern bytes). Null is
// ignored.
void deleteConfigData(ConfigData* record);

}  // namespace cardamor

// The agent as the host sees it: the library loaded with dlopen, its table, its configuration
// keys and its drive variables registered with the real host runtime, and the failure paths of
// both registrations.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "base/ConfigData.h"
#include "drive/DriveData.h"
#include "entry/Entry.h"
#include "varnox/AgentLoader.h"
#include "varnox/AgentTable.h"
#include "varnox/ConfigManager.h"
#include "varnox/DriveThread.h"
#include "varnox/Errors.h"

namespace varnox::testing {
using namespace cardamor;
namespace {

using Type = ConfigManager::KeyType;

// The keys in registration order; ranges, defaults and help texts are the key table's own.
const std::vector<std::pair<const char*, Type>>& expectedKeys() {
  static const std::vector<std::pair<const char*, Type>> keys = {
      {"Min Queue Size", Type::U32},       {"Max Queue Size", Type::U32},         {"Random Seed", Type::U32},
      {"Bucket Count", Type::U32},         {"Trace Depth", Type::U32},            {"Random Selection", Type::Bool},
      {"Write Splice Detection", Type::Bool}, {"Slide Reads", Type::Bool},        {"Showstop on Miscompare", Type::Bool},
      {"User Defined Data", Type::Bool},   {"Use Skip Commands", Type::Bool},     {"Always Dump Sequence", Type::Bool},
      {"PowerToggle Freq", Type::U32},     {"Read Condition", Type::Condition},   {"Verify Condition", Type::Condition},
      {"Write Condition", Type::Condition}, {"WriteAtomic Condition", Type::Condition},
      {"WriteSame Condition", Type::Condition}, {"Trim Condition", Type::Condition}, {"E2E Condition", Type::Condition},
      {"PowerToggle Condition", Type::Condition}, {"SyncCache Condition", Type::Condition},
      {"Miscompare Output Path", Type::String}, {"Data Buffer", Type::Buffer},   {"Embed Data", Type::Bool},
      {"Embed LBA", Type::Bool},           {"Cold Storage", Type::Bool}};
  return keys;
}

// Records every map call before the host handles it; can make one variable's mapping fail.
class RecordingThread : public DriveThread {
 public:
  struct Call {
    std::string name;
    std::string kind;
    int mode;
    uint64_t def;
  };
  explicit RecordingThread(std::string failing = "") : DriveThread(DriveProperties{}), failing_(std::move(failing)) {}

  uint64_t* mapU64(const char* n, int mode, int* err, uint64_t def) override {
    return note(n, "u64", mode, err, def) ? DriveThread::mapU64(n, mode, err, def) : nullptr;
  }
  uint32_t* mapU32(const char* n, int mode, int* err, uint32_t def) override {
    return note(n, "u32", mode, err, def) ? DriveThread::mapU32(n, mode, err, def) : nullptr;
  }
  bool* mapBool(const char* n, int mode, int* err, bool def) override {
    return note(n, "bool", mode, err, def) ? DriveThread::mapBool(n, mode, err, def) : nullptr;
  }
  Buffer* mapBuffer(const char* n, int mode, int* err) override {
    return note(n, "buffer", mode, err, 0) ? DriveThread::mapBuffer(n, mode, err) : nullptr;
  }
  TaggedBuffer* mapTaggedBuffer(const char* n, int mode, int* err) override {
    return note(n, "tagged", mode, err, 0) ? DriveThread::mapTaggedBuffer(n, mode, err) : nullptr;
  }
  LBARangeQueue* mapLBARangeQueue(const char* n, int mode, int* err) override {
    return note(n, "ranges", mode, err, 0) ? DriveThread::mapLBARangeQueue(n, mode, err) : nullptr;
  }
  int registerDriveData(void* record) override {
    ++registrations;
    return refuseRegistration != 0 ? refuseRegistration : DriveThread::registerDriveData(record);
  }

  std::vector<Call> calls;
  int registrations = 0;
  int refuseRegistration = 0;

 private:
  bool note(const char* name, const char* kind, int mode, int* err, uint64_t def) {
    calls.push_back({name, kind, mode, def});
    if (failing_ == name) {
      *err = VARNOX_ERR_TYPE_MISMATCH;
      return false;
    }
    return true;
  }
  std::string failing_;
};

struct ExpectedVariable {
  const char* name;
  const char* kind;
  int mode;
  void* (*member)(DriveData&);
};

#define DMEMBER(m) +[](DriveData& d) -> void* { return d.m; }

const std::vector<ExpectedVariable>& expectedVariables() {
  static const std::vector<ExpectedVariable> vars = {
      {"LBA", "u64", 3, DMEMBER(lba)},
      {"XferLength", "u32", 3, DMEMBER(xferLength)},
      {"AtomicBound", "u32", 3, DMEMBER(atomicBound)},
      {"TestMaxXferLength", "u32", 1, DMEMBER(testMaxXferLength)},
      {"MaxLBA", "u64", 1, DMEMBER(maxLba)},
      {"MinLBA", "u64", 1, DMEMBER(minLba)},
      {"EPO", "u32", 5, DMEMBER(epo)},
      {"LastTagID", "u32", 1, DMEMBER(lastTagId)},
      {"ReadDataIsValid", "u32", 1, DMEMBER(readDataIsValid)},
      {"DeviceInterface", "u32", 1, DMEMBER(deviceInterface)},
      {"LastStatusByte", "u32", 1, DMEMBER(lastStatusByte)},
      {"ReadDataPtr[TagID]", "tagged", 5, DMEMBER(readDataPtr)},
      {"CDB[TagID]", "tagged", 1, DMEMBER(cdb)},
      {"RecvCDB[TagID]", "tagged", 1, DMEMBER(recvCdb)},
      {"WriteData", "buffer", 2, DMEMBER(writeData)},
      {"LastErrSenseData", "buffer", 1, DMEMBER(lastErrSenseData)},
      {"ParameterList[TagID]", "tagged", 5, DMEMBER(parameterList)},
      {"BucketIndex", "u32", 2, DMEMBER(bucketIndex)},
      {"SkipGen", "u32", 2, DMEMBER(skipGen)},
      {"DeviceReset", "bool", 3, DMEMBER(deviceReset)},
      {"WriteLBA", "u64", 5, DMEMBER(writeLba)},
      {"WriteXferLength", "u32", 5, DMEMBER(writeXferLength)},
      {"WriteCmdUsed", "u32", 2, DMEMBER(writeCmdUsed)},
      {"CSZoneReset", "ranges", 5, DMEMBER(csZoneReset)},
      {"HostManaged", "u32", 5, DMEMBER(hostManaged)},
      {"CardamorInvalidateRanges", "ranges", 5, DMEMBER(invalidateRanges)},
      {"WriteCacheVolatile", "u32", 1, DMEMBER(writeCacheVolatile)},
      {"PendingReadBackBlocks", "u64", 2, DMEMBER(pendingReadBackBlocks)},
      {"Diagnosis", "buffer", 2, DMEMBER(diagnosisText)},
      {"DiagnosisReadLBA", "u64", 2, DMEMBER(diagnosisReadLba)},
      {"DiagnosisReadData", "buffer", 1, DMEMBER(diagnosisReadData)},
  };
  return vars;
}

#undef DMEMBER

void* foundVariable(const DriveThread& t, const ExpectedVariable& v) {
  const std::string kind = v.kind;
  if (kind == "u64") return t.findU64(v.name);
  if (kind == "u32") return t.findU32(v.name);
  if (kind == "bool") return t.findBool(v.name);
  if (kind == "buffer") return t.findBuffer(v.name);
  if (kind == "tagged") return t.findTaggedBuffer(v.name);
  return t.findLBARangeQueue(v.name);
}

TEST(CardamorLibrary, ExportsTheTableKeysAndVariablesTheHostRegisters) {
  AgentLoader loader;
  std::string error;
  ASSERT_EQ(loader.load(CARDAMOR_SO_PATH, error), 0) << error;
  const AgentTable& table = loader.table();
  const void* const* slots = reinterpret_cast<const void* const*>(&table);
  for (int i = 0; i < 9; ++i) EXPECT_NE(slots[i], nullptr) << "slot " << i;

  EXPECT_NE(std::string(table.usageText()).find("conditioned on 'write'"), std::string::npos);

  ConfigManager manager;
  ASSERT_EQ(table.registerConfig(&manager), 0);
  auto* config = static_cast<ConfigData*>(manager.record());
  ASSERT_NE(config, nullptr);
  EXPECT_EQ(manager.recordSize(), sizeof(ConfigData));
  const auto& keys = manager.keys();
  const auto& expected = expectedKeys();
  ASSERT_EQ(keys.size(), expected.size());
  for (size_t i = 0; i < keys.size(); ++i) {
    SCOPED_TRACE(expected[i].first);
    EXPECT_EQ(std::pair(keys[i].name, keys[i].type), std::pair(std::string(expected[i].first), expected[i].second));
    EXPECT_FALSE(keys[i].help.empty());
    // Bound inside the record the host hands back to the agent.
    const auto* at = static_cast<const char*>(keys[i].member);
    EXPECT_TRUE(at >= reinterpret_cast<const char*>(config) && at < reinterpret_cast<const char*>(config + 1));
  }
  EXPECT_EQ(keys[25].deprecation,
            "Cardamor - Embed LBA - This option is deprecated and ignored if True. If False, 'Embed Data' will be "
            "set to False. Use 'Embed Data' instead.");
  EXPECT_EQ(keys[26].deprecation,
            "Cardamor - Cold Storage - This option is deprecated and ignored. This option is no longer needed as it "
            "is handled internally.");
  // The one default that the key table does not show.
  EXPECT_EQ(manager.find("Miscompare Output Path")->defaultText, "./datacompare");

  RecordingThread thread;
  thread.setMapper("cardamor");
  ASSERT_EQ(table.registerDriveVariables(&thread), 0);
  auto* drive = static_cast<DriveData*>(thread.driveData());
  ASSERT_NE(drive, nullptr);
  const auto& vars = expectedVariables();
  ASSERT_EQ(thread.calls.size(), vars.size());
  for (size_t i = 0; i < vars.size(); ++i) {
    SCOPED_TRACE(vars[i].name);
    EXPECT_EQ(thread.calls[i].name, vars[i].name);
    EXPECT_EQ(thread.calls[i].kind, vars[i].kind);
    EXPECT_EQ(thread.calls[i].mode, vars[i].mode);
    EXPECT_EQ(thread.calls[i].def, 0u);
    EXPECT_NE(vars[i].member(*drive), nullptr);
    EXPECT_EQ(vars[i].member(*drive), foundVariable(thread, vars[i]));
    const bool writes = vars[i].mode == kVarWrite || vars[i].mode == kVarReadWrite;
    EXPECT_EQ(thread.countVarWriters(vars[i].name), writes ? 1u : 0u);
  }
  EXPECT_EQ(drive->nextCmdId, 1u);

  // A record whose setup never ran releases only what it has.
  thread.clearDriveData();
  table.deleteDriveData(drive);
  table.deleteConfigData(config);
  table.deleteConfigData(nullptr);
}

// Refuses one call: registerConfigData (0) or the n-th key call (1-based, deprecations too).
class RefusingManager : public ConfigManager {
 public:
  explicit RefusingManager(int refuse) : refuse_(refuse) {}
  int registerConfigData(void* record, size_t size) override {
    return refuse_ == 0 ? VARNOX_ERR_GENERIC : ConfigManager::registerConfigData(record, size);
  }
  int addU32(const char* n, uint32_t* m, uint32_t lo, uint32_t hi, const char* h) override {
    return next() ? ConfigManager::addU32(n, m, lo, hi, h) : VARNOX_ERR_BAD_VALUE;
  }
  int addBool(const char* n, bool* m, const char* h) override {
    return next() ? ConfigManager::addBool(n, m, h) : VARNOX_ERR_BAD_VALUE;
  }
  int addString(const char* n, std::string* m, const char* h) override {
    return next() ? ConfigManager::addString(n, m, h) : VARNOX_ERR_BAD_VALUE;
  }
  int addCondition(const char* n, Condition* m, const char* h) override {
    return next() ? ConfigManager::addCondition(n, m, h) : VARNOX_ERR_BAD_VALUE;
  }
  int addBuffer(const char* n, Buffer* m, const char* h) override {
    return next() ? ConfigManager::addBuffer(n, m, h) : VARNOX_ERR_BAD_VALUE;
  }
  int deprecate(const char* n, const char* msg) override {
    return next() ? ConfigManager::deprecate(n, msg) : VARNOX_ERR_BAD_VALUE;
  }
  int attempts = 0;

 private:
  bool next() { return ++attempts != refuse_; }
  int refuse_;
};

TEST(CardamorRegistration, StopsAtTheFirstRefusedKeyOrMappingAndReportsItsStatus) {
  AgentTable table{};
  EXPECT_EQ(initAgent(&table), 0);
  RefusingManager noRecord(0);
  EXPECT_EQ(table.registerConfig(&noRecord), VARNOX_ERR_GENERIC);
  EXPECT_EQ(noRecord.record(), nullptr);
  EXPECT_EQ(noRecord.attempts, 0);
  // The third key call, and the last call of all (the Cold Storage deprecation).
  for (const auto& [refuse, keysLeft] : {std::pair{3, 2u}, {29, 27u}}) {
    RefusingManager m(refuse);
    EXPECT_EQ(table.registerConfig(&m), VARNOX_ERR_BAD_VALUE);
    EXPECT_EQ(m.attempts, refuse) << "nothing after the refused key";
    EXPECT_EQ(m.keys().size(), keysLeft);
    ASSERT_NE(m.record(), nullptr);  // stays with the host, which releases it
    table.deleteConfigData(m.record());
  }

  // A failed mapping still attempts every later one and registers nothing.
  RecordingThread failing("EPO");
  EXPECT_EQ(table.registerDriveVariables(&failing), VARNOX_ERR_TYPE_MISMATCH);
  EXPECT_EQ(failing.calls.size(), expectedVariables().size());
  EXPECT_EQ(failing.registrations, 0);
  EXPECT_EQ(failing.driveData(), nullptr);
  RecordingThread refusing;
  refusing.refuseRegistration = VARNOX_ERR_DUPLICATE;
  EXPECT_EQ(table.registerDriveVariables(&refusing), VARNOX_ERR_DUPLICATE);
  EXPECT_EQ(refusing.registrations, 1);
  EXPECT_EQ(refusing.driveData(), nullptr);
}

}  // namespace
}  // namespace varnox::testing

// The agent as the host sees it: the library loaded with dlopen, its table, its configuration
// keys and its drive variables registered with the real host runtime, and the failure paths of
// both registrations.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "base/ConfigData.h"
#include "drive/DriveData.h"
#include "entry/Entry.h"
#include "plugin/TestData.h"
#include "varnox/AgentLoader.h"
#include "varnox/AgentTable.h"
#include "varnox/ConfigManager.h"
#include "varnox/DriveThread.h"
#include "varnox/Errors.h"

namespace varnox::testing {
using namespace cardamor;
namespace {

// Records every map call and what it bound before the host handles it; can make one
// variable's mapping fail.
class RecordingThread : public DriveThread {
 public:
  struct Call {
    std::string name;
    std::string kind;
    int mode;
    uint64_t def;
    const void* bound;
  };
  explicit RecordingThread(std::string failing = "") : DriveThread(DriveProperties{}), failing_(std::move(failing)) {}

  uint64_t* mapU64(const char* n, int mode, int* err, uint64_t def) override {
    return note(n, "u64", mode, err, def, [&] { return DriveThread::mapU64(n, mode, err, def); });
  }
  uint32_t* mapU32(const char* n, int mode, int* err, uint32_t def) override {
    return note(n, "u32", mode, err, def, [&] { return DriveThread::mapU32(n, mode, err, def); });
  }
  bool* mapBool(const char* n, int mode, int* err, bool def) override {
    return note(n, "bool", mode, err, def, [&] { return DriveThread::mapBool(n, mode, err, def); });
  }
  Buffer* mapBuffer(const char* n, int mode, int* err) override {
    return note(n, "buffer", mode, err, 0, [&] { return DriveThread::mapBuffer(n, mode, err); });
  }
  TaggedBuffer* mapTaggedBuffer(const char* n, int mode, int* err) override {
    return note(n, "tagged", mode, err, 0, [&] { return DriveThread::mapTaggedBuffer(n, mode, err); });
  }
  LBARangeQueue* mapLBARangeQueue(const char* n, int mode, int* err) override {
    return note(n, "ranges", mode, err, 0, [&] { return DriveThread::mapLBARangeQueue(n, mode, err); });
  }
  int registerDriveData(void* record) override {
    ++registrations;
    return refuseRegistration != 0 ? refuseRegistration : DriveThread::registerDriveData(record);
  }

  std::vector<Call> calls;
  int registrations = 0;
  int refuseRegistration = 0;

 private:
  template <class Map>
  auto note(const char* name, const char* kind, int mode, int* err, uint64_t def, Map map) -> decltype(map()) {
    calls.push_back({name, kind, mode, def, nullptr});
    if (failing_ == name) {
      *err = VARNOX_ERR_TYPE_MISMATCH;
      return nullptr;
    }
    auto* bound = map();
    calls.back().bound = bound;
    return bound;
  }
  std::string failing_;
};

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
  const auto expected = caseRows("entry/cases/agent_keys.txt");
  ASSERT_EQ(keys.size(), expected.size());
  const char* const types[] = {"u32", "bool", "string", "condition", "buffer"};  // KeyType order
  for (size_t i = 0; i < keys.size(); ++i) {
    SCOPED_TRACE(expected[i][0]);
    EXPECT_EQ(std::tuple(keys[i].name, std::string(types[static_cast<int>(keys[i].type)]), keys[i].deprecation),
              std::tuple(expected[i][0], expected[i][1], expected[i].size() > 2 ? expected[i][2] : std::string()));
    EXPECT_FALSE(keys[i].help.empty());
    // Bound inside the record the host hands back to the agent.
    const auto* at = static_cast<const char*>(keys[i].member);
    EXPECT_TRUE(at >= reinterpret_cast<const char*>(config) && at < reinterpret_cast<const char*>(config + 1));
  }
  // The one default that the key table does not show.
  EXPECT_EQ(manager.find("Miscompare Output Path")->defaultText, "./datacompare");

  RecordingThread thread;
  thread.setMapper("cardamor");
  ASSERT_EQ(table.registerDriveVariables(&thread), 0);
  auto* drive = static_cast<DriveData*>(thread.driveData());
  ASSERT_NE(drive, nullptr);
  const DriveData& d = *drive;
  const std::map<std::string, const void*> members = {
      {"LBA", d.lba}, {"XferLength", d.xferLength}, {"AtomicBound", d.atomicBound},
      {"TestMaxXferLength", d.testMaxXferLength}, {"MaxLBA", d.maxLba}, {"MinLBA", d.minLba}, {"EPO", d.epo},
      {"LastTagID", d.lastTagId}, {"ReadDataIsValid", d.readDataIsValid}, {"DeviceInterface", d.deviceInterface},
      {"LastStatusByte", d.lastStatusByte}, {"ReadDataPtr[TagID]", d.readDataPtr}, {"CDB[TagID]", d.cdb},
      {"RecvCDB[TagID]", d.recvCdb}, {"WriteData", d.writeData}, {"LastErrSenseData", d.lastErrSenseData},
      {"ParameterList[TagID]", d.parameterList}, {"BucketIndex", d.bucketIndex}, {"SkipGen", d.skipGen},
      {"DeviceReset", d.deviceReset}, {"WriteLBA", d.writeLba}, {"WriteXferLength", d.writeXferLength},
      {"WriteCmdUsed", d.writeCmdUsed}, {"CSZoneReset", d.csZoneReset}, {"HostManaged", d.hostManaged},
      {"CardamorInvalidateRanges", d.invalidateRanges}, {"WriteCacheVolatile", d.writeCacheVolatile},
      {"CompletionNumber", d.completionNumber}, {"SyncedCompletions", d.syncedCompletions},
      {"SyncedCompletionsBeforePowerOn", d.syncedCompletionsBeforePowerOn},
      {"PendingReadBackBlocks", d.pendingReadBackBlocks}, {"Diagnosis", d.diagnosisText},
      {"DiagnosisReadLBA", d.diagnosisReadLba}, {"DiagnosisReadData", d.diagnosisReadData}};
  const auto vars = caseRows("entry/cases/drive_variables.txt");
  ASSERT_EQ(thread.calls.size(), vars.size());
  for (size_t i = 0; i < vars.size(); ++i) {
    SCOPED_TRACE(vars[i][0]);
    const auto& call = thread.calls[i];
    EXPECT_EQ(std::tuple(call.name, call.kind, std::to_string(call.mode), call.def),
              std::tuple(vars[i][0], vars[i][1], vars[i][2], 0u));
    EXPECT_NE(call.bound, nullptr);
    EXPECT_EQ(call.bound, members.count(call.name) ? members.at(call.name) : nullptr) << "bound to its member";
    const bool writes = call.mode == kVarWrite || call.mode == kVarReadWrite;
    EXPECT_EQ(thread.countVarWriters(call.name.c_str()), writes ? 1u : 0u);
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
  EXPECT_EQ(failing.calls.size(), caseRows("entry/cases/drive_variables.txt").size());
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

// The agent as the host sees it: the library loaded with dlopen, its table, its configuration
// keys and its drive variables registered with the real host runtime, and the failure paths of
// both registrations.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
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

constexpr const char* kWriteKindMiddle =
    " needs to be executed. This is a write command, if multiple write commands are setup, Cardamor will check "
    "which condition is set to choose which write command to use.";
constexpr const char* kWriteKindEnd = " At least one write command Condition must be setup.";

struct ExpectedKey {
  const char* name;
  Type type;
  uint32_t min, max;
  uint32_t defaultU32;
  bool defaultBool;
  void* (*member)(ConfigData&);
  const char* help;  // exact text; null for the texts checked by their fixed parts below
  const char* deprecation = "";
};

#define MEMBER(m) +[](ConfigData& c) -> void* { return &c.m; }

const std::vector<ExpectedKey>& expectedKeys() {
  static const std::vector<ExpectedKey> keys = {
      {"Min Queue Size", Type::U32, 1, 1000000, 2048, false, MEMBER(minQueueSize),
       "The minimum number of outstanding writes before issuing a read command"},
      {"Max Queue Size", Type::U32, 1, 1000000, 4096, false, MEMBER(maxQueueSize),
       "The maximum number of outstanding writes before a read command must be issued. supporting more operations "
       "consumes additional memory at the rate of a dozen or so bytes per operation"},
      {"Random Seed", Type::U32, 0, 0xFFFFFFFF, 0, false, MEMBER(randomSeed),
       "Random seed to use. If set to zero, uses the current system time for a seed"},
      {"Bucket Count", Type::U32, 1, 524288, 65536, false, MEMBER(bucketCount),
       "The number of data buckets to pre-generate.  More buckets allow larger transfers and increases the "
       "randomness of transfer data.  Memory consumed is one sector of data per bucket, usually Bucket_Count * "
       "512 bytes"},
      {"Trace Depth", Type::U32, 0, 16000000, 0, false, MEMBER(traceDepth),
       "If non-zero set the number of traced commands to the given number.  If zero, automatically choose a size "
       "based on MaxQueueSize"},
      {"Random Selection", Type::Bool, 0, 1, 0, true, MEMBER(randomSelection),
       "If true, read and write commands are chosen at random, keeping the distance between MinQueueSize and "
       "MaxQueueSize.  If false, reads and writes will alternate at MaxQueueSize-MinQueueSize operations per "
       "command"},
      {"Write Splice Detection", Type::Bool, 0, 1, 0, false, MEMBER(writeSpliceDetection),
       "If true, write splice detection will be enabled. This will issue extra reads to areas where writes were "
       "previously issued, but were aborted or returned a non-medium hard error. This will also cause VARNOX to "
       "stop with a VARNOX_ERR_WRITE_SPLICE_DETECTED error if the read returns a hard error. Splice check reads "
       "are retried once if aborted."},
      {"Slide Reads", Type::Bool, 0, 1, 0, false, MEMBER(slideReads),
       "If true, reads will not always be at the same LBA as the write. Also, with variable transfer lengths, read "
       "xferlen may not match write xferlen"},
      {"Showstop on Miscompare", Type::Bool, 0, 1, 0, false, MEMBER(showstopOnMiscompare),
       "If true, this plugin will attempt to showstop the drive immediately after detecting a miscompare. By "
       "default, this is disabled. The showstop is performed by entering special mode and then a self-init POR. "
       "This may not work on all drives."},
      {"User Defined Data", Type::Bool, 0, 1, 0, false, MEMBER(userDefinedData),
       "If true, the user has specified that they wish to use defined data. If false, which is default, the "
       "program will use random data."},
      {"Use Skip Commands", Type::Bool, 0, 1, 0, false, MEMBER(useSkipCommands),
       "If true, Cardamor will consider all commands as skip commands with an alternating skip mask"},
      {"Always Dump Sequence", Type::Bool, 0, 1, 0, false, MEMBER(alwaysDumpSequence),
       "If true, always dump the command sequence at the end of a test, even if no miscompare error occurred"},
      {"PowerToggle Freq", Type::U32, 0, 1000000, 300, false, MEMBER(powerToggleFreq),
       "The frequency in seconds of how often power will be cut from the drive."},
      {"Read Condition", Type::Condition, 0, 0, 0, false, MEMBER(readCondition),
       "The condition to apply when a Read needs to be executed. This is a read command, if multile read commands "
       "are setup, Cardamor will check which condition is set to chose which command to use.At least one write "
       "command Condition must be setup."},
      {"Verify Condition", Type::Condition, 0, 0, 0, false, MEMBER(verifyCondition),
       "The condition to apply when a Verify needs to be executed. This is a read command, if multile read "
       "commands are setup, Cardamor will check which condition is set to chose which command to use.At least one "
       "write command Condition must be setup."},
      {"Write Condition", Type::Condition, 0, 0, 0, false, MEMBER(writeCondition), nullptr},
      {"WriteAtomic Condition", Type::Condition, 0, 0, 0, false, MEMBER(writeAtomicCondition), nullptr},
      {"WriteSame Condition", Type::Condition, 0, 0, 0, false, MEMBER(writeSameCondition), nullptr},
      {"Trim Condition", Type::Condition, 0, 0, 0, false, MEMBER(trimCondition), nullptr},
      {"E2E Condition", Type::Condition, 0, 0, 0, false, MEMBER(e2eCondition),
       "The condition to signal that Cardamor needs to generate write data for a WRPROTECT enabled write command. "
       "This should be set before Cardamor executes, then a write with WRPROTECT should be available after "
       "Cardamor."},
      {"PowerToggle Condition", Type::Condition, 0, 0, 0, false, MEMBER(powerToggleCondition),
       "The condition to apply to perform a PowerToggle. This variable must be setup by the test."},
      {"SyncCache Condition", Type::Condition, 0, 0, 0, false, MEMBER(syncCacheCondition),
       "The condition to apply to perform a SyncCache. If this is set, a SyncCache will be performed before each "
       "power toggle. This variable must be setup by the test."},
      {"Miscompare Output Path", Type::String, 0, 0, 0, false, MEMBER(miscompareOutputPath),
       "The start of a path where miscompare data should be dumped.  This variable forms the base-name for two "
       "paths.  For the drive data, '_drive.bin' is appended to the path.  For the reference data, "
       "'_reference.bin is appended to the path.  By default, the plugin will use ./miscompare as the output path"},
      {"Data Buffer", Type::Buffer, 0, 0, 0, false, MEMBER(dataBuffer), "The user data."},
      {"Embed Data", Type::Bool, 0, 1, 0, true, MEMBER(embedData),
       "Cardamor embeds certain data into the write data. On by default, this can be disabled by setting this to "
       "false.Some test features require this to be enabled."},
      {"Embed LBA", Type::Bool, 0, 1, 0, true, MEMBER(embedLba),
       "Bool used to determine if write data should have the LBA embedded.",
       "Cardamor - Embed LBA - This option is deprecated and ignored if True. If False, 'Embed Data' will be set "
       "to False. Use 'Embed Data' instead."},
      {"Cold Storage", Type::Bool, 0, 1, 0, false, MEMBER(coldStorage), nullptr,
       "Cardamor - Cold Storage - This option is deprecated and ignored. This option is no longer needed as it is "
       "handled internally."},
  };
  return keys;
}

#undef MEMBER

bool startsWith(const std::string& text, const std::string& prefix) { return text.rfind(prefix, 0) == 0; }
bool endsWith(const std::string& text, const std::string& suffix) {
  return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
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

  EXPECT_STREQ(table.usageText(),
               "Usage:\n\nA method of data compare that uses precaculated random 'sector-buckets' for write data "
               "and read data compare.  The use of ths plugin in a test dictates much of the structure of the rest "
               "of the test.  The basic structure of a correct test is as follows (order is important)\n\n"
               "  1) A LBA/XferLength agent, such as lba (mode random) or lba (mode sequential)\n"
               "  2) The Cardamor plugin\n  3) A write command, conditioned on 'write'\n  4) A read command, "
               "conditioned on 'read'\n  5) GetStatus\n\nDuring the test flow, the Cardamor agent will first "
               "create some read-write command distance by issuing a number of writes and no reads After this, "
               "read and writes will be chosen based on the configured workload model with the goal of keeping a "
               "minimum distance between reads and writes enforced.\n\nAthough every attempt is made to make this "
               "plugin fast, its use will have a negative impact on performance.");

  ConfigManager manager;
  ASSERT_EQ(table.registerConfig(&manager), 0);
  auto* config = static_cast<ConfigData*>(manager.record());
  ASSERT_NE(config, nullptr);
  EXPECT_EQ(manager.recordSize(), sizeof(ConfigData));
  const auto& keys = manager.keys();
  const auto& expected = expectedKeys();
  ASSERT_EQ(keys.size(), expected.size());
  for (size_t i = 0; i < keys.size(); ++i) {
    const auto& key = keys[i];
    const auto& want = expected[i];
    SCOPED_TRACE(want.name);
    EXPECT_EQ(key.name, want.name);
    EXPECT_EQ(key.type, want.type);
    EXPECT_EQ(key.member, want.member(*config));
    EXPECT_EQ(key.deprecation, want.deprecation);
    if (want.type == Type::U32) {
      EXPECT_EQ(key.min, want.min);
      EXPECT_EQ(key.max, want.max);
      EXPECT_EQ(key.defaultU32, want.defaultU32);
    }
    if (want.type == Type::Bool) {
      EXPECT_EQ(key.defaultBool, want.defaultBool);
    }
    if (want.help != nullptr) {
      EXPECT_EQ(key.help, want.help);
    } else if (want.type == Type::Condition) {
      const std::string command = std::string(want.name).substr(0, std::strlen(want.name) - strlen(" Condition"));
      EXPECT_TRUE(startsWith(key.help, "The condition to apply when a " + command + kWriteKindMiddle)) << key.help;
      EXPECT_TRUE(endsWith(key.help, kWriteKindEnd)) << key.help;
      EXPECT_NE(key.help.find("'write-kind'"), std::string::npos) << key.help;
    } else {
      EXPECT_TRUE(startsWith(key.help, "Cold Storage mode. ")) << key.help;
    }
  }
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

// Refuses one call: registerConfigData (call 0) or the n-th key call (1-based, adds and
// deprecations alike).
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

TEST(CardamorRegistration, StopsAtTheFirstRefusedKeyAndReportsItsStatus) {
  AgentTable table{};
  EXPECT_EQ(initAgent(&table), 0);

  RefusingManager noRecord(0);
  EXPECT_EQ(table.registerConfig(&noRecord), VARNOX_ERR_GENERIC);
  EXPECT_EQ(noRecord.record(), nullptr);
  EXPECT_EQ(noRecord.attempts, 0);

  RefusingManager third(3);
  EXPECT_EQ(table.registerConfig(&third), VARNOX_ERR_BAD_VALUE);
  EXPECT_EQ(third.attempts, 3);  // nothing after the refused key
  ASSERT_EQ(third.keys().size(), 2u);
  EXPECT_EQ(third.keys()[0].name, "Min Queue Size");
  EXPECT_EQ(third.keys()[1].name, "Max Queue Size");
  ASSERT_NE(third.record(), nullptr);  // stays with the host, which releases it
  table.deleteConfigData(third.record());

  // The last call of all is the Cold Storage deprecation (27 keys + 2 deprecations).
  RefusingManager last(29);
  EXPECT_EQ(table.registerConfig(&last), VARNOX_ERR_BAD_VALUE);
  EXPECT_EQ(last.keys().size(), 27u);
  EXPECT_EQ(last.keys().back().deprecation, "");
  table.deleteConfigData(last.record());
}

TEST(CardamorRegistration, AFailedMappingStillAttemptsEveryLaterMappingAndRegistersNothing) {
  AgentTable table{};
  initAgent(&table);

  RecordingThread failing("EPO");
  EXPECT_EQ(table.registerDriveVariables(&failing), VARNOX_ERR_TYPE_MISMATCH);
  EXPECT_EQ(failing.calls.size(), expectedVariables().size());
  EXPECT_EQ(failing.calls.back().name, expectedVariables().back().name);
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

// Runs small flows through TestRun against the simulated drive, with an agent made of this
// file's functions: it writes a stamped pattern, reads it back and compares, so that the
// engine's variables, tags, conditions and completions are checked by what an agent sees.
#include "varnox/TestRun.h"

#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <new>

#include "tavik/Cdb.h"
#include "varnox/ConfigManager.h"
#include "varnox/DriveThread.h"
#include "varnox/Errors.h"

namespace varnox {
namespace {

constexpr uint32_t kNoStatus = 0xFFFFFFFF;

struct EchoConfig {
  uint32_t corruptAtRead = 0;  // 1-based read whose expectation is altered; 0 never
  uint32_t powerAtPass = 0;    // pass on which a power toggle is asked for; 0 never
  bool failSetup = false;
  Condition write, read, power;
};

// What every drive's agent saw, kept after its record is deleted.
struct Observed {
  uint64_t completions = 0;
  uint64_t readsCompared = 0;
  uint64_t wrongOpcode = 0;
  uint64_t epoSeen = 0;
  uint64_t resetsSeen = 0;
  bool firstPassHadNoStatus = false;
  uint32_t firstPassTag = 0;
  uint32_t setupMaxXfer = 0;
};
std::mutex gMutex;
std::map<std::string, Observed> gObserved;

struct EchoDrive {
  uint64_t* lba = nullptr;
  uint32_t* xfer = nullptr;
  uint32_t* testMaxXfer = nullptr;
  Buffer* writeData = nullptr;
  uint32_t* lastTag = nullptr;
  uint32_t* lastStatus = nullptr;
  uint32_t* readValid = nullptr;
  uint32_t* epo = nullptr;
  bool* deviceReset = nullptr;
  TaggedBuffer* readData = nullptr;
  TaggedBuffer* recvCdb = nullptr;
  std::string name;
  uint32_t blockBytes = 512;
  uint64_t pass = 0;
  uint64_t reads = 0;
  uint8_t stamp = 0;
  struct Pending {
    bool read = false;
    uint64_t lba = 0;
    std::vector<uint8_t> expected;
  };
  std::vector<Pending> pending = std::vector<Pending>(kMaxQueueDepth);
  std::vector<std::vector<uint8_t>> writeBuffers = std::vector<std::vector<uint8_t>>(kMaxQueueDepth);
  std::map<uint64_t, std::vector<uint8_t>> content;  // what each block holds after the writes sent
  std::deque<std::pair<uint64_t, uint32_t>> readBacks;
  Observed seen;
};

int echoRegisterConfig(ConfigManager* manager) {
  auto* config = new (std::nothrow) EchoConfig;
  if (config == nullptr) return VARNOX_ERR_NO_MEMORY;
  int status = manager->registerConfigData(config, sizeof(*config));
  if (status != 0) {
    delete config;
    return status;
  }
  if ((status = manager->addU32("Corrupt At Read", &config->corruptAtRead, 0, 1000000, "test")) != 0) return status;
  if ((status = manager->addU32("Power At Pass", &config->powerAtPass, 0, 1000000, "test")) != 0) return status;
  if ((status = manager->addBool("Fail Setup", &config->failSetup, "test")) != 0) return status;
  if ((status = manager->addCondition("Write Condition", &config->write, "test")) != 0) return status;
  if ((status = manager->addCondition("Read Condition", &config->read, "test")) != 0) return status;
  return manager->addCondition("PowerToggle Condition", &config->power, "test");
}

void echoDeleteConfig(void* config) { delete static_cast<EchoConfig*>(config); }

int echoRegisterDrive(DriveThread* thread) {
  auto* d = new EchoDrive;
  int err = 0;
  d->lba = thread->mapU64("LBA", kVarReadWrite, &err, 0);
  d->xfer = thread->mapU32("XferLength", kVarReadWrite, &err, 0);
  d->testMaxXfer = thread->mapU32("TestMaxXferLength", kVarRead, &err, 0);
  d->writeData = thread->mapBuffer("WriteData", kVarWrite, &err);
  d->lastTag = thread->mapU32("LastTagID", kVarRead, &err, 0);
  d->lastStatus = thread->mapU32("LastStatusByte", kVarRead, &err, 0);
  d->readValid = thread->mapU32("ReadDataIsValid", kVarRead, &err, 0);
  d->epo = thread->mapU32("EPO", kVarProvided, &err, 0);
  d->deviceReset = thread->mapBool("DeviceReset", kVarReadWrite, &err, false);
  d->readData = thread->mapTaggedBuffer("ReadDataPtr[TagID]", kVarProvided, &err);
  d->recvCdb = thread->mapTaggedBuffer("RecvCDB[TagID]", kVarRead, &err);
  if (err == 0) err = thread->registerDriveData(d);
  if (err != 0) delete d;
  return err;
}

void echoDeleteDrive(void* drive) {
  auto* d = static_cast<EchoDrive*>(drive);
  std::lock_guard<std::mutex> lock(gMutex);
  gObserved[d->name] = d->seen;
  delete d;
}

int echoSetup(DriveThread* thread, void* config, void* drive) {
  auto* c = static_cast<EchoConfig*>(config);
  auto* d = static_cast<EchoDrive*>(drive);
  d->name = thread->driveName();
  d->blockBytes = thread->sectorSize();
  d->seen.setupMaxXfer = *d->testMaxXfer;
  if (c->failSetup) {
    thread->eventLog().logf(2, "Echo: \"Fail Setup\" is set, refusing drive %s", thread->driveName().c_str());
    return VARNOX_ERR_QUEUE_SIZE_ORDER;
  }
  return 0;
}

int handleCompletion(EchoConfig* c, EchoDrive* d, DriveThread* thread) {
  if (*d->lastStatus == kNoStatus) return 0;
  ++d->seen.completions;
  const uint32_t tag = *d->lastTag;
  EchoDrive::Pending& p = d->pending[tag];
  uint64_t cdbBytes = 0;
  const uint8_t* cdb = d->recvCdb->getData(tag, &cdbBytes);
  if (cdb == nullptr || cdbBytes == 0 || cdb[0] != (p.read ? kOpRead16 : kOpWrite16)) ++d->seen.wrongOpcode;
  if (!p.read || *d->lastStatus != 0) return 0;
  if (*d->readValid != 1) return VARNOX_ERR_READ_DATA;
  uint64_t bytes = 0;
  const uint8_t* data = d->readData->getData(tag, &bytes);
  std::vector<uint8_t> expected = p.expected;
  if (c->corruptAtRead != 0 && ++d->reads == c->corruptAtRead) expected[0] ^= 0xFF;
  ++d->seen.readsCompared;
  if (data == nullptr || bytes < expected.size() || std::memcmp(data, expected.data(), expected.size()) != 0) {
    thread->eventLog().logf(2, "Echo: miscompare at LBA %llu on tag %u", static_cast<unsigned long long>(p.lba), tag);
    return VARNOX_ERR_MISCOMPARE;
  }
  return 0;
}

int echoExecute(DriveThread* thread, void* config, void* drive) {
  auto* c = static_cast<EchoConfig*>(config);
  auto* d = static_cast<EchoDrive*>(drive);
  ++d->pass;
  if (d->pass == 1) {
    d->seen.firstPassHadNoStatus = *d->lastStatus == kNoStatus;
    d->seen.firstPassTag = *d->lastTag;
  }
  FreeTagQueue& tags = thread->freeTagQueue();
  if (*d->epo != 0 || *d->deviceReset) {
    // Power came back or the drive reset: the commands in flight are gone and so is what they
    // might have written.
    ++(*d->epo != 0 ? d->seen.epoSeen : d->seen.resetsSeen);
    *d->epo = 0;
    *d->deviceReset = false;
    for (uint32_t t = tags.getNotFreeTag(0, false); t != kNoTag; t = tags.getNotFreeTag(t + 1, false)) {
      tags.pushFreeTag(t, 0);
    }
    d->content.clear();
    d->readBacks.clear();
    return 0;
  }
  if (int status = handleCompletion(c, d, thread); status != 0) return status;

  const uint32_t tag = tags.peekNextFreeTag();
  if (tag == kNoTag) return 0;
  if (c->powerAtPass != 0 && d->pass == c->powerAtPass) {
    applyCondition(c->power, thread->conditionMask());
    return 0;
  }
  EchoDrive::Pending& p = d->pending[tag];
  if (d->pass % 2 == 0 && !d->readBacks.empty()) {
    auto [lba, xfer] = d->readBacks.front();
    d->readBacks.pop_front();
    p.read = true;
    p.lba = lba;
    p.expected.clear();
    for (uint32_t i = 0; i < xfer; ++i) {
      const std::vector<uint8_t>& block = d->content[lba + i];
      p.expected.insert(p.expected.end(), block.begin(), block.end());
    }
    *d->lba = lba;
    *d->xfer = xfer;
    applyCondition(c->read, thread->conditionMask());
    return 0;
  }
  // Write what the LBA agent chose, every block stamped with this write and its LBA.
  const uint64_t lba = *d->lba;
  const uint32_t xfer = *d->xfer;
  std::vector<uint8_t>& buffer = d->writeBuffers[tag];
  buffer.assign(uint64_t{xfer} * d->blockBytes, 0);
  ++d->stamp;
  for (uint32_t i = 0; i < xfer; ++i) {
    uint8_t* block = buffer.data() + uint64_t{i} * d->blockBytes;
    std::memset(block, d->stamp, d->blockBytes);
    std::memcpy(block, &lba, sizeof(lba));
    block[8] = static_cast<uint8_t>(i);
    d->content[lba + i].assign(block, block + d->blockBytes);
  }
  d->writeData->pointAt(buffer.data(), buffer.size());
  p.read = false;
  p.lba = lba;
  d->readBacks.emplace_back(lba, xfer);
  applyCondition(c->write, thread->conditionMask());
  return 0;
}

const char* echoUsage() { return "echo test agent"; }

AgentTable echoTable() {
  AgentTable table{};
  table.setupTest = echoSetup;
  table.execute = echoExecute;
  table.registerConfig = echoRegisterConfig;
  table.deleteConfigData = echoDeleteConfig;
  table.registerDriveVariables = echoRegisterDrive;
  table.deleteDriveData = echoDeleteDrive;
  table.usageText = echoUsage;
  return table;
}

// An agent that only points "WriteData" at zeros, for flows whose commands the built-in agents
// choose.
struct ZerosDrive {
  Buffer* writeData = nullptr;
  uint32_t* testMaxXfer = nullptr;
  std::vector<uint8_t> zeros;
};

int zerosRegisterDrive(DriveThread* thread) {
  auto* d = new ZerosDrive;
  int err = 0;
  d->writeData = thread->mapBuffer("WriteData", kVarWrite, &err);
  d->testMaxXfer = thread->mapU32("TestMaxXferLength", kVarRead, &err, 0);
  if (err == 0) err = thread->registerDriveData(d);
  if (err != 0) delete d;
  return err;
}

int zerosSetup(DriveThread* thread, void*, void* drive) {
  auto* d = static_cast<ZerosDrive*>(drive);
  d->zeros.assign(uint64_t{*d->testMaxXfer} * thread->sectorSize(), 0);
  d->writeData->pointAt(d->zeros.data(), d->zeros.size());
  return d->zeros.empty() ? VARNOX_ERR_CONFIG_MISSING : 0;
}

int zerosExecute(DriveThread*, void*, void*) { return 0; }
int zerosRegisterConfig(ConfigManager*) { return 0; }
void zerosDeleteDrive(void* drive) { delete static_cast<ZerosDrive*>(drive); }

AgentTable zerosTable() {
  AgentTable table{};
  table.setupTest = zerosSetup;
  table.execute = zerosExecute;
  table.registerConfig = zerosRegisterConfig;
  table.registerDriveVariables = zerosRegisterDrive;
  table.deleteDriveData = zerosDeleteDrive;
  return table;
}

StepSpec step(StepSpec::Kind kind, const std::string& name, const std::string& condition = "") {
  StepSpec s;
  s.kind = kind;
  s.name = name;
  s.condition = condition;
  return s;
}

class TestRunTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::lock_guard<std::mutex> lock(gMutex);
    gObserved.clear();
    plan.sourceFile = "echo.toml";
    DriveSpec drive;
    drive.name = "D0";
    drive.device.capacityBlocks = 2048;
    drive.device.queueDepth = 4;
    drive.device.seed = 7;
    plan.drives.push_back(drive);
    StepSpec lba = step(StepSpec::Kind::Agent, "lba");
    lba.settings = {{"max_lba", "1023"}, {"max_xfer", "4"}};
    plan.flow = {lba, step(StepSpec::Kind::Agent, "echo"), step(StepSpec::Kind::Write, "Write", "write"),
                 step(StepSpec::Kind::Read, "Read", "read"), step(StepSpec::Kind::GetStatus, "GetStatus")};
    plan.keys = {{"Write Condition", "write"}, {"Read Condition", "read"}};
    plan.passes = 300;
  }

  int prepare(TestRun& run) {
    run.addAgent("echo", echoTable());
    return run.prepare(plan, error);
  }

  static uint64_t sum(const std::map<std::string, uint64_t>& counts) {
    uint64_t total = 0;
    for (const auto& entry : counts) total += entry.second;
    return total;
  }

  TestPlan plan;
  std::string error;
};

TEST_F(TestRunTest, CleanRunHandsEveryCompletionToTheAgentOnce) {
  plan.drives[0].device.shuffleCompletions = true;
  DriveSpec second = plan.drives[0];
  second.name = "D1";
  second.device.seed = 8;
  plan.drives.push_back(second);
  TestRun run;
  ASSERT_EQ(kExitPassed, prepare(run)) << error;
  RunReport report = run.run();
  EXPECT_EQ(kExitPassed, report.exitStatus) << report.error;
  ASSERT_EQ(2u, report.drives.size());
  std::lock_guard<std::mutex> lock(gMutex);
  for (const DriveReport& drive : report.drives) {
    SCOPED_TRACE(drive.name);
    const Observed& seen = gObserved[drive.name];
    EXPECT_EQ(300u, drive.passes);
    EXPECT_EQ(0, drive.agentStatus);
    EXPECT_EQ(7u + (drive.name == "D1" ? 1 : 0), drive.deviceSeed);
    EXPECT_GT(drive.commandsByKind.at("Write"), 50u);
    EXPECT_GT(drive.commandsByKind.at("Read"), 50u);
    EXPECT_EQ(0u, drive.completionsByStatus.count("CHECK CONDITION"));
    // The agent handled every completion GetStatus reported, but the one of the last pass, which
    // no later pass picks up.
    const uint64_t reported = sum(drive.completionsByStatus);
    EXPECT_GE(reported, seen.completions);
    EXPECT_LE(reported - seen.completions, 1u);
    EXPECT_GT(seen.readsCompared, 50u);
    EXPECT_EQ(0u, seen.wrongOpcode);
    EXPECT_TRUE(seen.firstPassHadNoStatus);
    EXPECT_EQ(255u, seen.firstPassTag);
    EXPECT_EQ(4u, seen.setupMaxXfer);  // the LBA agent published its bound before the agent's setup
    EXPECT_GT(drive.bytesWritten, 0u);
    EXPECT_GT(drive.bytesVerified, 0u);
    EXPECT_FALSE(drive.deviceStopped);
  }
}

TEST_F(TestRunTest, MiscompareEndsTheDriveWithAnIntegrityFailure) {
  plan.keys.push_back({"Corrupt At Read", "5"});
  TestRun run;
  ASSERT_EQ(kExitPassed, prepare(run)) << error;
  RunReport report = run.run();
  EXPECT_EQ(kExitIntegrityFailure, report.exitStatus);
  ASSERT_EQ(1u, report.drives.size());
  EXPECT_EQ(VARNOX_ERR_MISCOMPARE, report.drives[0].agentStatus);
  EXPECT_EQ(1u, report.drives[0].failures);
  EXPECT_NE(std::string::npos, report.drives[0].failureText.find("Echo: miscompare at LBA")) << report.drives[0].failureText;
  EXPECT_LT(report.drives[0].passes, 300u);
  std::lock_guard<std::mutex> lock(gMutex);
  EXPECT_EQ(5u, gObserved["D0"].readsCompared);
}

TEST_F(TestRunTest, PowerToggleAndDeviceResetReachTheAgentAndTheRunGoesOn) {
  const TestPlan base = plan;
  for (bool power : {true, false}) {
    SCOPED_TRACE(power ? "power toggle" : "device reset");
    plan = base;
    if (power) {
      plan.flow.insert(plan.flow.begin() + 4, step(StepSpec::Kind::PowerToggle, "PowerToggle", "power"));
      plan.keys.push_back({"PowerToggle Condition", "power"});
      plan.keys.push_back({"Power At Pass", "101"});
    } else {
      FaultRule reset;
      reset.kind = "reset";
      reset.after = 80;
      plan.drives[0].device.faults.push_back(reset);
      plan.drives[0].device.shuffleCompletions = true;
    }
    TestRun run;
    ASSERT_EQ(kExitPassed, prepare(run)) << error;
    RunReport report = run.run();
    EXPECT_EQ(kExitPassed, report.exitStatus) << report.error;
    const DriveReport& drive = report.drives[0];
    const auto toggles = drive.commandsByKind.find("PowerToggle");
    EXPECT_EQ(power ? 1u : 0u, toggles == drive.commandsByKind.end() ? 0u : toggles->second);
    EXPECT_EQ(power ? 1u : 0u, drive.deviceStats.powerCycles);
    EXPECT_EQ(power ? 0u : 1u, drive.deviceStats.resets);
    std::lock_guard<std::mutex> lock(gMutex);
    EXPECT_EQ(power ? 1u : 0u, gObserved["D0"].epoSeen);
    EXPECT_EQ(power ? 0u : 1u, gObserved["D0"].resetsSeen);
    EXPECT_GT(gObserved["D0"].readsCompared, 50u);  // reads go on afterwards
    gObserved.clear();
  }
}

TEST_F(TestRunTest, EveryWriteKindTheChooserPicksReachesTheDriveAsAValidCommand) {
  for (bool protectionInfo : {false, true}) {
    SCOPED_TRACE(protectionInfo ? "with protection information" : "without protection information");
    TestPlan mix = plan;
    mix.drives[0].device.atomicUnitBlocks = 8;
    // Trim and WriteSame passes send two commands against one completion per pass; a deep queue
    // keeps a tag free for the verify for most of the run.
    mix.drives[0].device.queueDepth = 128;
    mix.drives[0].device.protectionInfo = protectionInfo;
    StepSpec chooser = step(StepSpec::Kind::Agent, "write-kind");
    chooser.settings = {{"write", "1"}, {"writesame", "1"}, {"trim", "1"}, {"atomic", "1"}};
    mix.flow = {mix.flow[0],
                chooser,
                step(StepSpec::Kind::Agent, "zeros"),
                step(StepSpec::Kind::Write, "Write", "write"),
                step(StepSpec::Kind::WriteSame, "WriteSame", "writesame"),
                step(StepSpec::Kind::Trim, "Trim", "trim"),
                step(StepSpec::Kind::WriteAtomic, "WriteAtomic", "atomic"),
                step(StepSpec::Kind::Verify, "Verify", "trim|writesame"),
                step(StepSpec::Kind::SyncCache, "SyncCache", "write&atomic"),
                step(StepSpec::Kind::GetStatus, "GetStatus")};
    mix.keys.clear();
    TestRun run;
    run.addAgent("zeros", zerosTable());
    ASSERT_EQ(kExitPassed, run.prepare(mix, error)) << error;
    RunReport report = run.run();
    ASSERT_EQ(kExitPassed, report.exitStatus) << report.error;
    const DriveReport& drive = report.drives[0];
    for (const char* kind : {"Write", "WriteSame", "Trim", "WriteAtomic", "Verify"}) {
      EXPECT_GT(drive.commandsByKind.count(kind) ? drive.commandsByKind.at(kind) : 0, 20u) << kind;
    }
    // The chooser sets one kind per pass, so "write&atomic" never holds.
    EXPECT_EQ(0u, drive.commandsByKind.count("SyncCache"));
    // Zeros everywhere: trimmed blocks read back as zeros too, so every verify matches, and a
    // malformed CDB, list or data length would show as CHECK CONDITION.
    EXPECT_EQ(0u, drive.completionsByStatus.count("CHECK CONDITION"));
    EXPECT_GT(drive.completionsByStatus.at("GOOD"), 250u);
  }
}

TEST_F(TestRunTest, RefusalsNameTheKeyValueSettingOrDevice) {
  struct Case {
    const char* what;
    std::function<void(TestPlan&)> change;
    int exit;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"unknown key", [](TestPlan& p) { p.keys.push_back({"Min Queue Sise", "5"}); }, kExitRefused,
       "echo.toml: unknown configuration key \"Min Queue Sise\""},
      {"value out of range", [](TestPlan& p) { p.keys.push_back({"Power At Pass", "2000000"}); }, kExitRefused,
       "\"Power At Pass\": value \"2000000\" is out of range 0..1000000"},
      {"setup refused", [](TestPlan& p) { p.keys.push_back({"Fail Setup", "yes"}); }, kExitRefused,
       "Echo: \"Fail Setup\" is set, refusing drive D0"},
      {"bad lba setting", [](TestPlan& p) { p.flow[0].settings.push_back({"mode", "zigzag"}); }, kExitRefused,
       "setting \"mode\" = \"zigzag\""},
      {"lba range beyond the drive", [](TestPlan& p) { p.flow[0].settings = {{"max_lba", "2048"}}; }, kExitRefused,
       "\"max_lba\" 2048 is beyond the drive's last block 2047"},
      {"no GetStatus", [](TestPlan& p) { p.flow.pop_back(); }, kExitRefused, "no GetStatus step"},
      {"missing library", [](TestPlan& p) { p.flow[1].name = "/nonexistent/libecho.so"; }, kExitRefused,
       "\"/nonexistent/libecho.so\" could not be loaded"},
      {"device that cannot be opened", [](TestPlan& p) { p.drives[0].device.kind = "/nonexistent/dev/sdz"; },
       kExitDeviceFailure, "/nonexistent/dev/sdz"},
      {"no limit", [](TestPlan& p) { p.passes = 0; }, kExitRefused, "needs a pass limit or a duration"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SetUp();
    c.change(plan);
    TestRun run;
    error.clear();
    EXPECT_EQ(c.exit, prepare(run));
    EXPECT_NE(std::string::npos, error.find(c.message)) << error;
  }
}

TEST(TestRunDescribeTest, BuiltinAgentUsageAndUnknownLibrary) {
  std::string usage, keys, error;
  EXPECT_EQ(kExitPassed, TestRun::describeAgent("lba", usage, keys, error)) << error;
  EXPECT_NE(std::string::npos, usage.find("max_xfer"));
  EXPECT_TRUE(keys.empty());
  EXPECT_EQ(kExitRefused, TestRun::describeAgent("/nonexistent/libx.so", usage, keys, error));
  EXPECT_NE(std::string::npos, error.find("/nonexistent/libx.so"));
}

}  // namespace
}  // namespace varnox

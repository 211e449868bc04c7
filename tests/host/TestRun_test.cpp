// Runs small flows through TestRun against the simulated drive with an agent made of this
// file's functions. Whole runs with the real agent (clean, two drives, power cycles, resets and
// every fault kind) are pinned by the scenario and fault-proof tests; here, what only a
// hand-made agent shows: every write kind the chooser picks reaching the drive as a valid
// command, and the refusals of a plan, each naming what is wrong.
#include "varnox/TestRun.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <new>

#include "varnox/ConfigManager.h"
#include "varnox/DriveThread.h"
#include "varnox/Errors.h"

namespace varnox {
namespace {

// Keys of the test agent: a bounded number and a switch that makes its setup refuse the drive.
struct ZerosConfig {
  uint32_t limit = 0;
  bool failSetup = false;
};

int zerosRegisterConfig(ConfigManager* manager) {
  auto* config = new (std::nothrow) ZerosConfig;
  if (config == nullptr) return VARNOX_ERR_NO_MEMORY;
  int status = manager->registerConfigData(config, sizeof(*config));
  if (status != 0) {
    delete config;
    return status;
  }
  if ((status = manager->addU32("Limit", &config->limit, 0, 1000000, "test")) != 0) return status;
  return manager->addBool("Fail Setup", &config->failSetup, "test");
}

void zerosDeleteConfig(void* config) { delete static_cast<ZerosConfig*>(config); }

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

int zerosSetup(DriveThread* thread, void* config, void* drive) {
  auto* d = static_cast<ZerosDrive*>(drive);
  if (static_cast<ZerosConfig*>(config)->failSetup) {
    thread->eventLog().logf(2, "Zeros: \"Fail Setup\" is set, refusing drive %s", thread->driveName().c_str());
    return VARNOX_ERR_QUEUE_SIZE_ORDER;
  }
  d->zeros.assign(uint64_t{*d->testMaxXfer} * thread->sectorSize(), 0);
  d->writeData->pointAt(d->zeros.data(), d->zeros.size());
  return d->zeros.empty() ? VARNOX_ERR_CONFIG_MISSING : 0;
}

int zerosExecute(DriveThread*, void*, void*) { return 0; }
void zerosDeleteDrive(void* drive) { delete static_cast<ZerosDrive*>(drive); }

AgentTable zerosTable() {
  AgentTable table{};
  table.setupTest = zerosSetup;
  table.execute = zerosExecute;
  table.registerConfig = zerosRegisterConfig;
  table.deleteConfigData = zerosDeleteConfig;
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
    plan = TestPlan{};
    plan.sourceFile = "zeros.toml";
    DriveSpec drive;
    drive.name = "D0";
    drive.device.capacityBlocks = 2048;
    drive.device.queueDepth = 4;
    drive.device.seed = 7;
    plan.drives.push_back(drive);
    StepSpec lba = step(StepSpec::Kind::Agent, "lba");
    lba.settings = {{"max_lba", "1023"}, {"max_xfer", "4"}};
    plan.flow = {lba, step(StepSpec::Kind::Agent, "zeros"), step(StepSpec::Kind::Write, "Write", "write"),
                 step(StepSpec::Kind::Read, "Read", "read"), step(StepSpec::Kind::GetStatus, "GetStatus")};
    plan.passes = 300;
  }

  int prepare(TestRun& run) {
    run.addAgent("zeros", zerosTable());
    return run.prepare(plan, error);
  }

  TestPlan plan;
  std::string error;
};

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
                mix.flow[1],
                step(StepSpec::Kind::Write, "Write", "write"),
                step(StepSpec::Kind::WriteSame, "WriteSame", "writesame"),
                step(StepSpec::Kind::Trim, "Trim", "trim"),
                step(StepSpec::Kind::WriteAtomic, "WriteAtomic", "atomic"),
                step(StepSpec::Kind::Verify, "Verify", "trim|writesame"),
                step(StepSpec::Kind::SyncCache, "SyncCache", "write&atomic"),
                step(StepSpec::Kind::GetStatus, "GetStatus")};
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

// A folder this file makes sure is not there, rather than a path assumed missing on the machine.
std::string absentPath(const std::string& name) {
  const std::string dir = ::testing::TempDir() + "varnox_absent_" + std::to_string(::getpid());
  std::filesystem::remove_all(dir);
  return dir + "/" + name;
}

TEST_F(TestRunTest, RefusalsNameTheKeyValueSettingOrDevice) {
  static const std::string kAbsentLibrary = absentPath("libzeros.so");
  static const std::string kAbsentDevice = absentPath("sdz");
  struct Case {
    const char* what;
    std::function<void(TestPlan&)> change;
    int exit;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"unknown key", [](TestPlan& p) { p.keys.push_back({"Min Queue Sise", "5"}); }, kExitRefused,
       "zeros.toml: unknown configuration key \"Min Queue Sise\""},
      {"value out of range", [](TestPlan& p) { p.keys.push_back({"Limit", "2000000"}); }, kExitRefused,
       "\"Limit\": value \"2000000\" is out of range 0..1000000"},
      {"setup refused", [](TestPlan& p) { p.keys.push_back({"Fail Setup", "yes"}); }, kExitRefused,
       "Zeros: \"Fail Setup\" is set, refusing drive D0"},
      {"bad lba setting", [](TestPlan& p) { p.flow[0].settings.push_back({"mode", "zigzag"}); }, kExitRefused,
       "setting \"mode\" = \"zigzag\""},
      {"lba range beyond the drive", [](TestPlan& p) { p.flow[0].settings = {{"max_lba", "2048"}}; }, kExitRefused,
       "\"max_lba\" 2048 is beyond the drive's last block 2047"},
      {"no GetStatus", [](TestPlan& p) { p.flow.pop_back(); }, kExitRefused, "no GetStatus step"},
      {"missing library", [](TestPlan& p) { p.flow[1].name = kAbsentLibrary; }, kExitRefused,
       "libzeros.so\" could not be loaded"},
      {"device that cannot be opened", [](TestPlan& p) { p.drives[0].device.kind = kAbsentDevice; },
       kExitDeviceFailure, kAbsentDevice},
      {"no limit", [](TestPlan& p) { p.passes = 0; }, kExitRefused, "needs a pass limit or a duration"},
      {"zones on a drive without zones",
       [](TestPlan& p) { p.flow.insert(p.flow.begin() + 1, step(StepSpec::Kind::Agent, "zones")); }, kExitRefused,
       "agent \"zones\" on drive D0: the drive is not zoned (give it a zone_size)"},
      {"protect on a drive without protection information",
       [](TestPlan& p) { p.flow.insert(p.flow.begin() + 1, step(StepSpec::Kind::Agent, "protect")); }, kExitRefused,
       "agent \"protect\" on drive D0: the drive has no protection information"},
      {"invalidation rate beyond 1",
       [](TestPlan& p) {
         StepSpec invalidate = step(StepSpec::Kind::Agent, "invalidate");
         invalidate.settings = {{"rate", "2"}};
         p.flow.insert(p.flow.begin() + 1, invalidate);
       },
       kExitRefused, "agent \"invalidate\": setting \"rate\" = \"2\" is not a probability above 0 and at most 1"},
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
  // Every built-in agent lists its settings with their defaults.
  for (const auto& [agent, setting] : {std::pair{"lba", "max_xfer  (number min_xfer..65535, default 8)"},
                                       std::pair{"write-kind", "writesame  (weight 0..1000000, default 0)"},
                                       std::pair{"read-kind", "verify  (weight 0..1000000, default 1)"},
                                       std::pair{"zones", "open_zones  (number 1..1024, default 2)"},
                                       std::pair{"invalidate", "rate  (probability above 0 and at most 1, default 0.1)"},
                                       std::pair{"protect", "condition  (a condition name, default \"e2e\")"}}) {
    EXPECT_EQ(kExitPassed, TestRun::describeAgent(agent, usage, keys, error)) << error;
    EXPECT_NE(std::string::npos, keys.find(setting)) << agent << ":\n" << keys;
  }
  EXPECT_EQ(kExitRefused, TestRun::describeAgent(absentPath("libx.so"), usage, keys, error));
  EXPECT_NE(std::string::npos, error.find(absentPath("libx.so")));
}

}  // namespace
}  // namespace varnox

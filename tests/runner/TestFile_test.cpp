#include "TestFile.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <tuple>

#include "Units.h"

namespace varnox::cli {
namespace {

using Kind = StepSpec::Kind;
using Pairs = std::vector<std::pair<std::string, std::string>>;

TestPlan parse(const std::string& text) {
  TestPlan plan;
  std::string error;
  EXPECT_TRUE(parseTestFile(text, "t.toml", plan, error)) << error;
  return plan;
}

// A flow as (kind, name, condition) per step.
using Step = std::tuple<Kind, std::string, std::string>;
std::vector<Step> steps(const TestPlan& plan) {
  std::vector<Step> out;
  for (const StepSpec& s : plan.flow) out.emplace_back(s.kind, s.name, s.condition);
  return out;
}

TEST(TestFile, ReadsEveryTableIntoThePlan) {
  TestPlan plan = parse(R"(
[test]
passes = 1000
output = "/data/out/run1"
log = "run.log"
command_timeout = "1500ms"

[[drive]]
name = "A"
capacity = "1GiB"
block_size = 4096
protection_info = true
physical_exponent = 3
queue_depth = 64
completions = "in-order"
write_cache = "volatile"
atomic_unit = 16
seed = 99

[[drive]]
device = "/dev/null"
capacity = 1000
direct_io = true

[[flow]]
agent = "lba"
min_lba = 0
max_lba = 4095
mode = "sequential"

[[flow]]
agent = "cardamor"

[[flow]]
command = "atomic"
condition = "atomic"
name = "big atomic"

[[flow]]
command = "getstatus"

[cardamor]
"Min Queue Size" = 64
"Embed Data" = false
"Read Condition" = "read"
"Bucket Count" = 1024

[[fault]]
drive = "A"
kind = "corrupt"
lba = 100
after = 50
count = 2

[[fault]]
drive = "A"
kind = "abort"
after = 10
rate = 0.25
count = 0

[[fault]]
drive = "A"
kind = "slow"
delay = "20ms"
)");
  EXPECT_EQ(plan.sourceFile, "t.toml");
  EXPECT_EQ(plan.passes, 1000u);
  EXPECT_EQ(plan.outputBase, "/data/out/run1");
  EXPECT_EQ(plan.logFile, "run.log");
  EXPECT_DOUBLE_EQ(plan.commandTimeoutSeconds, 1.5);

  ASSERT_EQ(plan.drives.size(), 2u);
  const DeviceSpec& a = plan.drives[0].device;
  EXPECT_EQ(plan.drives[0].name, "A");
  // (kind, capacity, block size, protection, physical exponent, depth, shuffled, cache, atomic
  // unit, seed); 1 GiB of 4096-byte blocks is 262144 of them.
  EXPECT_EQ(std::make_tuple(a.kind, a.capacityBlocks, a.logicalBlockSize, a.protectionInfo,
                            a.log2LogicalPerPhysical, a.queueDepth, a.shuffleCompletions, a.writeCache,
                            a.atomicUnitBlocks, a.seed),
            std::make_tuple(std::string("sim"), uint64_t{262144}, uint32_t{4096}, true, uint32_t{3},
                            uint32_t{64}, false, std::string("volatile"), uint32_t{16}, uint64_t{99}));
  // Fault rules as (kind, lba, after, rate, count); a count of 0 is no limit.
  auto rule = [](const FaultRule& f) { return std::make_tuple(f.kind, f.lba, f.after, f.rate, f.count); };
  using Rule = decltype(rule(FaultRule{}));
  ASSERT_EQ(a.faults.size(), 3u);
  EXPECT_EQ(rule(a.faults[0]), Rule("corrupt", 100, 50, std::nullopt, 2));
  EXPECT_EQ(rule(a.faults[1]), Rule("abort", std::nullopt, 10, 0.25, 0));
  EXPECT_EQ(rule(a.faults[2]), Rule("slow", std::nullopt, std::nullopt, std::nullopt, 1));
  EXPECT_DOUBLE_EQ(a.faults[2].delaySeconds, 0.02);

  const DriveSpec& b = plan.drives[1];
  EXPECT_EQ(b.name, "D1");  // unnamed drives are named by position
  EXPECT_EQ(b.device.kind, "/dev/null");
  EXPECT_EQ(b.device.capacityBlocks, 1000u);
  EXPECT_EQ(b.device.logicalBlockSize, 512u);
  EXPECT_TRUE(b.device.directIo);
  EXPECT_TRUE(b.device.faults.empty());

  EXPECT_EQ(steps(plan), (std::vector<Step>{{Kind::Agent, "lba", ""},
                                            {Kind::Agent, "cardamor", ""},
                                            {Kind::WriteAtomic, "big atomic", "atomic"},
                                            {Kind::GetStatus, "GetStatus", ""}}));
  // Step settings keep the order of the file, values as text.
  EXPECT_EQ(plan.flow[0].settings, (Pairs{{"min_lba", "0"}, {"max_lba", "4095"}, {"mode", "sequential"}}));

  // The agent's keys in file order, not sorted; an explicit flow gets no default conditions.
  EXPECT_EQ(plan.keys, (Pairs{{"Min Queue Size", "64"}, {"Embed Data", "false"}, {"Read Condition", "read"},
                              {"Bucket Count", "1024"}}));
}

TEST(TestFile, FillsInTheDefaultDriveAndFlow) {
  TestPlan plan = parse("[test]\nduration = 10\n[cardamor]\n\"Write Condition\" = \"w\"\n");
  EXPECT_DOUBLE_EQ(plan.durationSeconds, 10);
  EXPECT_EQ(plan.passes, 0u);
  ASSERT_EQ(plan.drives.size(), 1u);
  EXPECT_EQ(plan.drives[0].name, "D0");
  EXPECT_EQ(plan.drives[0].device.kind, "sim");
  EXPECT_EQ(plan.drives[0].device.capacityBlocks, DeviceSpec{}.capacityBlocks);

  EXPECT_EQ(steps(plan), (std::vector<Step>{{Kind::Agent, "lba", ""},
                                            {Kind::Agent, "cardamor", ""},
                                            {Kind::Write, "Write", "write"},
                                            {Kind::Read, "Read", "read"},
                                            {Kind::GetStatus, "GetStatus", ""}}));
  // The file's own "Write Condition" stands; the missing read one is supplied.
  EXPECT_EQ(plan.keys, (Pairs{{"Write Condition", "w"}, {"Read Condition", "read"}}));
}

TEST(TestFile, RefusesMalformedFilesWithOneMessageNamingTheProblem) {
  struct Case {
    const char* text;
    const char* message;
  };
  const Case cases[] = {
      {"[test]\ndurration = \"5s\"\n", "bad.toml: [test]: unknown key \"durration\""},
      {"[tests]\nduration = 5\n",
       "bad.toml: unknown table [tests] (expected [test], [[drive]], [[flow]], [cardamor] or [[fault]])"},
      {"seed = 5\n", "bad.toml: unknown key \"seed\" (expected [test], [[drive]], [[flow]], [cardamor] or [[fault]])"},
      {"[test]\nduration = \"5x\"\n",
       "bad.toml: [test]: \"duration\" is not a duration: unknown duration unit \"x\" in \"5x\" (use ms, s, m or h)"},
      {"[test]\nduration = true\n",
       "bad.toml: [test]: \"duration\" must be a duration such as \"30s\", \"5m\" or \"1h\", got true"},
      {"[test]\npasses = 0\n", "bad.toml: [test]: \"passes\" must be an integer from 1 to 9223372036854775807, got 0"},
      {"[test]\nduration = \"5m\"\npasses = 1000\n", "bad.toml: [test]: \"duration\" and \"passes\" cannot both be given"},
      {"[[drive]]\nblock_size = 1000\n",
       "bad.toml: [[drive]] 1: \"block_size\" must be a power of two from 512 to 65536, got 1000"},
      {"[[drive]]\nblock_size = 256\n",
       "bad.toml: [[drive]] 1: \"block_size\" must be a power of two from 512 to 65536, got 256"},
      {"[[drive]]\nblock_size = 131072\n",
       "bad.toml: [[drive]] 1: \"block_size\" must be a power of two from 512 to 65536, got 131072"},
      {"[[drive]]\nqueue_depth = 2000\n",
       "bad.toml: [[drive]] 1: \"queue_depth\" must be an integer from 1 to 1024, got 2000"},
      {"[[drive]]\nqueue_depth = \"32\"\n",
       "bad.toml: [[drive]] 1: \"queue_depth\" must be an integer from 1 to 1024, got \"32\""},
      {"[[drive]]\ncapacity = \"1GB\"\nblock_size = 4096\n",
       "bad.toml: [[drive]] 1: \"capacity\" must be a positive multiple of the block size 4096, got \"1GB\""},
      {"[[drive]]\ncapacity = \"1QiB\"\n",
       "bad.toml: [[drive]] 1: \"capacity\" is not a size: unknown size unit \"QiB\" in \"1QiB\" (use B, KiB, MiB, "
       "GiB, TiB or KB, MB, GB, TB)"},
      {"[[drive]]\ncompletions = \"random\"\n",
       "bad.toml: [[drive]] 1: \"completions\" must be one of \"shuffled\", \"in-order\", got \"random\""},
      {"[[drive]]\nprotection_info = 1\n", "bad.toml: [[drive]] 1: \"protection_info\" must be true or false, got 1"},
      {"[[drive]]\nname = \"x\"\n[[drive]]\nname = \"x\"\n",
       "bad.toml: [[drive]] 2: \"name\" \"x\" is used by two drives"},
      {"[[drive]]\nname = \"a/b\"\n",
       "bad.toml: [[drive]] 1: \"name\" may hold only letters, digits, '_', '-' and '.', got \"a/b\""},
      {"[[drive]]\ncapacity = 8\natomic_unit = 16\n",
       "bad.toml: [[drive]] 1: \"atomic_unit\" must not exceed the capacity of 8 blocks, got 16"},
      {"[[flow]]\ncommand = \"erase\"\n",
       "bad.toml: [[flow]] 1: \"command\" must be one of \"write\", \"writesame\", \"trim\", \"atomic\", \"read\", "
       "\"verify\", \"synccache\", \"powertoggle\", \"zonereset\", \"invalidate\", \"getstatus\", got \"erase\""},
      {"[[flow]]\nagent = \"lba\"\n[[flow]]\nagent = \"lba\"\ncommand = \"read\"\n",
       "bad.toml: [[flow]] 2: \"agent\" and \"command\" cannot both be given in one step"},
      {"[[flow]]\ncondition = \"read\"\n", "bad.toml: [[flow]] 1: \"agent\" or \"command\" must be given"},
      {"[[flow]]\nagent = \"cardamore\"\n",
       "bad.toml: [[flow]] 1: \"agent\" must be \"lba\", \"write-kind\", \"read-kind\", \"zones\", \"invalidate\", "
       "\"protect\", \"cardamor\" or the path of an agent library, got \"cardamore\""},
      {"[[flow]]\nagent = \"lba\"\nmin_lba = [1, 2]\n",
       "bad.toml: [[flow]] 1: \"min_lba\" must be a string, number or true/false, got an array"},
      {"[cardamor]\n\"Min Queue Size\" = { a = 1 }\n",
       "bad.toml: [cardamor]: \"Min Queue Size\" must be a string, number or true/false, got a table"},
      {"[[fault]]\nkind = \"gremlins\"\n",
       "bad.toml: [[fault]] 1: \"kind\" must be one of \"corrupt\", \"lost-write\", \"misdirect\", "
       "\"stale-read\", \"abort\", \"medium-error\", \"hard-error\", \"recovered-error\", \"torn-atomic\", "
       "\"reorder\", \"reset\", \"power-loss\", \"splice\", \"hang\", \"slow\", \"pi-corrupt\", got \"gremlins\""},
      {"[[drive]]\nzone_model = \"host-managed\"\n",
       "bad.toml: [[drive]] 1: \"zone_model\" needs a \"zone_size\" in blocks, got \"host-managed\""},
      {"[[drive]]\ncapacity = 64\nzone_size = 128\n",
       "bad.toml: [[drive]] 1: \"zone_size\" must not exceed the capacity of 64 blocks, got 128"},
      {"[[drive]]\nzone_size = 64\nzone_model = \"sequential\"\n",
       "bad.toml: [[drive]] 1: \"zone_model\" must be one of \"host-managed\", \"host-aware\", got \"sequential\""},
      {"[[drive]]\ndevice = \"/data/d.img\"\nzone_size = 64\n", "bad.toml: [[drive]] 1: \"zone_size\" needs device = \"sim\""},
      {"[[fault]]\nkind = \"slow\"\n", "bad.toml: [[fault]] 1: \"delay\" must be given for kind \"slow\""},
      {"[[fault]]\nkind = \"slow\"\ndelay = 0\n", "bad.toml: [[fault]] 1: \"delay\" must be longer than 0 s, got 0"},
      {"[[fault]]\nkind = \"abort\"\ndelay = \"5ms\"\n",
       "bad.toml: [[fault]] 1: \"delay\" applies only to kind \"slow\", got \"5ms\""},
      {"[test]\ncommand_timeout = true\n",
       "bad.toml: [test]: \"command_timeout\" must be a duration such as \"30s\" or \"500ms\", got true"},
      {"[test]\ncommand_timeout = \"48h\"\n", "bad.toml: [test]: \"command_timeout\" must be at most 24h, got \"48h\""},
      {"[[fault]]\nlba = 1\n", "bad.toml: [[fault]] 1: \"kind\" must be given"},
      {"[[fault]]\nkind = \"abort\"\nrate = 1.5\n",
       "bad.toml: [[fault]] 1: \"rate\" must be a probability above 0 and at most 1, got 1.5"},
      {"[[fault]]\nkind = \"abort\"\ndrive = \"D7\"\n",
       "bad.toml: [[fault]] 1: \"drive\" does not name a drive of this file, got \"D7\""},
      {"[[fault]]\nkind = \"corrupt\"\nlba = 2097152\n",
       "bad.toml: [[fault]] 1: \"lba\" must lie below the capacity of drive D0 (2097152 blocks), got 2097152"},
      {"[[drive]]\ndevice = \"/data/disk.img\"\n[[fault]]\nkind = \"lost-write\"\n",
       "bad.toml: [[fault]] 1: \"kind\" needs a simulated drive, and drive D0 is \"/data/disk.img\" (files and block "
       "devices take corrupt, abort, medium-error, hard-error and recovered-error), got \"lost-write\""},
      {"[[fault]]\nkind = \"abort\"\ncount = -1\n",
       "bad.toml: [[fault]] 1: \"count\" must be an integer from 0 to 4294967295, got -1"},
      {"[test]\nduration = \n", nullptr},  // TOML syntax: message from the parser, with the line
  };
  for (const Case& c : cases) {
    TestPlan plan;
    plan.passes = 7;
    std::string error;
    EXPECT_FALSE(parseTestFile(c.text, "bad.toml", plan, error)) << c.text;
    if (c.message != nullptr) EXPECT_EQ(error, c.message) << c.text;
    else EXPECT_EQ(error.rfind("bad.toml:2:", 0), 0u) << error;
    EXPECT_EQ(error.find('\n'), std::string::npos) << error;
    EXPECT_TRUE(plan.drives.empty() && plan.passes == 0) << "a refused file leaves no half-filled plan";
  }
}

TEST(TestFile, MissingFileNamesThePath) {
  TestPlan plan;
  std::string error;
  const std::string path = ::testing::TempDir() + "varnox_absent_" + std::to_string(::getpid()) + "/t.toml";
  EXPECT_FALSE(loadTestFile(path, plan, error));
  EXPECT_EQ(error, path + ": cannot open the test file: No such file or directory");
}

TEST(Units, ParsesDurationsAndSizes) {
  std::string error;
  EXPECT_EQ(parseDuration("30s", error), 30.0);
  EXPECT_EQ(parseDuration("5m", error), 300.0);
  EXPECT_EQ(parseDuration("1.5h", error), 5400.0);
  EXPECT_EQ(parseDuration("250ms", error), 0.25);
  EXPECT_EQ(parseDuration(" 12 ", error), 12.0);
  for (const char* bad : {"", "s", "-5s", "5 days", "1e3"}) EXPECT_FALSE(parseDuration(bad, error)) << bad;

  EXPECT_EQ(parseSize("512", error), 512u);
  EXPECT_EQ(parseSize("4KiB", error), 4096u);
  EXPECT_EQ(parseSize("512MiB", error), 536870912u);
  EXPECT_EQ(parseSize("1GiB", error), 1073741824u);
  EXPECT_EQ(parseSize("1.5 GiB", error), 1610612736u);
  EXPECT_EQ(parseSize("2TB", error), 2000000000000u);
  for (const char* bad : {"", "GiB", "0.3B", "1XB", "16777216TiB"}) EXPECT_FALSE(parseSize(bad, error)) << bad;

  EXPECT_EQ(formatBytes(512), "512 B");
  EXPECT_EQ(formatBytes(1536), "1.5 KiB");
  EXPECT_EQ(formatBytes(1073741824), "1.0 GiB");
  EXPECT_EQ(formatDuration(9.96), "10.0 s");
  EXPECT_EQ(formatDuration(3725), "1 h 2 m 5 s");
}

}  // namespace
}  // namespace varnox::cli

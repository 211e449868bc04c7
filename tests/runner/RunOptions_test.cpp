#include "RunOptions.h"

#include <gtest/gtest.h>

#include "TestFile.h"

namespace varnox::cli {
namespace {

TestPlan twoDrives() {
  TestPlan plan;
  std::string error;
  EXPECT_TRUE(parseTestFile("[test]\nduration = \"10s\"\n[[drive]]\nseed = 77\n[[drive]]\n[[drive]]\ndevice = \"/data/img\"\n",
                            "t.toml", plan, error))
      << error;
  return plan;
}

TEST(RunOptions, CommandLineLimitsReplaceTheFilesAndOneIsRequired) {
  TestPlan plan = twoDrives();
  RepeatInfo repeat;
  std::string error;
  RunOptions options;
  options.passes = 500;
  ASSERT_TRUE(applyRunOptions(plan, options, repeat, error)) << error;
  EXPECT_EQ(plan.passes, 500u);
  EXPECT_EQ(plan.durationSeconds, 0);

  plan = twoDrives();
  options = RunOptions{};
  options.duration = "2m";
  ASSERT_TRUE(applyRunOptions(plan, options, repeat, error)) << error;
  EXPECT_EQ(plan.durationSeconds, 120);
}

TEST(RunOptions, SeedsMakeEveryRunRepeatable) {
  // Without --seed the runner draws one for the drives that have none and for "Random Seed".
  TestPlan plan = twoDrives();
  RepeatInfo repeat;
  std::string error;
  ASSERT_TRUE(applyRunOptions(plan, RunOptions{}, repeat, error)) << error;
  ASSERT_NE(repeat.seed, 0u);
  EXPECT_EQ(plan.drives[0].device.seed, 77u);  // the file's own seed stands
  EXPECT_EQ(plan.drives[1].device.seed, repeat.seed);
  EXPECT_EQ(plan.drives[2].device.seed, repeat.seed);  // a file follows the seed as well
  EXPECT_LE(repeat.seed, UINT32_MAX);                  // what --seed takes back
  EXPECT_FALSE(repeat.seedFixed);
  EXPECT_EQ(planKey(plan, "Random Seed"), std::to_string(repeat.seed));
  EXPECT_EQ(repeat.commandLine, "varnox run t.toml --seed " + std::to_string(repeat.seed));

  // --seed replaces every simulated drive's seed; the file's "Random Seed" and --set win over it.
  plan = twoDrives();
  plan.keys.emplace_back("Random Seed", "5");
  RunOptions options;
  options.seed = 1234;
  options.duration = "30s";
  options.sets = {"Max Queue Size = 512", "Miscompare Output Path=/data/my run"};
  options.outputBase = "/data/out";
  options.force = true;
  ASSERT_TRUE(applyRunOptions(plan, options, repeat, error)) << error;
  EXPECT_TRUE(plan.drives[2].device.force);
  EXPECT_EQ(plan.drives[0].device.seed, 1234u);
  EXPECT_EQ(plan.drives[1].device.seed, 1234u);
  EXPECT_EQ(plan.drives[2].device.seed, 1234u);
  EXPECT_EQ(repeat.randomSeed, "5");
  EXPECT_EQ(planKey(plan, "Max Queue Size"), "512");
  EXPECT_EQ(planKey(plan, "Miscompare Output Path"), "/data/my run");
  EXPECT_EQ(plan.outputBase, "/data/out");
  EXPECT_EQ(planKey(plan, "Miscompare Output Path"), "/data/my run");  // the key wins over --output
  EXPECT_EQ(repeat.commandLine,
            "varnox run t.toml --seed 1234 --duration 30s --set 'Max Queue Size = 512' --set 'Miscompare Output "
            "Path=/data/my run' --output /data/out --force");

  plan = twoDrives();
  options = RunOptions{};
  options.seed = 9;
  options.sets = {"Random Seed=0"};
  ASSERT_TRUE(applyRunOptions(plan, options, repeat, error)) << error;
  EXPECT_EQ(repeat.randomSeed, "0");

  // Spaces around "=" name the same key.
  plan = twoDrives();
  options = RunOptions{};
  options.sets = {"Random Seed = 5"};
  ASSERT_TRUE(applyRunOptions(plan, options, repeat, error)) << error;
  EXPECT_EQ(repeat.randomSeed, "5");
  EXPECT_TRUE(repeat.seedFixed);
}

TEST(RunOptions, BlocksAbove4KiBGetABucketCountThatKeepsTheTableAt256MiB) {
  struct Case {
    uint32_t blockSize;
    const char* keys;  // extra [cardamor] keys
    std::optional<std::string> buckets;
  };
  const Case cases[] = {
      {4096, "", std::nullopt},  // the agent's own default
      {8192, "", "32768"},
      {65536, "", "4096"},
      {65536, "\"Bucket Count\" = 100\n", "100"},  // the user's choice stands
  };
  for (const Case& c : cases) {
    TestPlan plan;
    std::string error;
    ASSERT_TRUE(parseTestFile("[test]\npasses = 1\n[[drive]]\nblock_size = " + std::to_string(c.blockSize) +
                                  "\ncapacity = 1024\n[cardamor]\n" + c.keys,
                              "t.toml", plan, error))
        << error;
    RepeatInfo repeat;
    ASSERT_TRUE(applyRunOptions(plan, RunOptions{}, repeat, error)) << error;
    EXPECT_EQ(planKey(plan, "Bucket Count"), c.buckets) << c.blockSize;
  }
}

TEST(RunOptions, OutputBaseNamesCardamorsFilesUnlessTheKeyIsSet) {
  TestPlan plan;
  std::string error;
  ASSERT_TRUE(parseTestFile("[test]\npasses = 1\noutput = \"/data/base\"\n", "t.toml", plan, error)) << error;
  RepeatInfo repeat;
  ASSERT_TRUE(applyRunOptions(plan, RunOptions{}, repeat, error)) << error;
  EXPECT_EQ(planKey(plan, "Miscompare Output Path"), "/data/base");

  // An agent library of the user's own may not know Cardamor's key: nothing is added for it.
  ASSERT_TRUE(parseTestFile("[test]\npasses = 1\n[[flow]]\nagent = \"/opt/agents/libmine.so\"\n", "t.toml", plan,
                            error))
      << error;
  RunOptions options;
  options.outputBase = "/data/base";
  ASSERT_TRUE(applyRunOptions(plan, options, repeat, error)) << error;
  EXPECT_FALSE(planKey(plan, "Miscompare Output Path").has_value());
  EXPECT_EQ(plan.outputBase, "/data/base");
}

}  // namespace
}  // namespace varnox::cli

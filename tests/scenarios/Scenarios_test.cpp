// Whole tests run the way `varnox run` runs them: an example test file read into a plan, the
// command line's options applied, and the plan run through the host with the real agent library
// on the simulated drive. Fixed seeds make every run the same run.
#include <gtest/gtest.h>

#include <string>

#include "RunOptions.h"
#include "TestFile.h"
#include "varnox/TestRun.h"

namespace varnox::scenarios {
namespace {

struct Outcome {
  int prepareStatus = -1;
  std::string error;
  RunReport report;
};

// Loads an example (or a test file given as text), applies the options and runs it to the end.
Outcome runTest(const std::string& path, const std::string& text, cli::RunOptions options) {
  Outcome out;
  TestPlan plan;
  const bool parsed = text.empty() ? cli::loadTestFile(std::string(VARNOX_SOURCE_DIR) + "/" + path, plan, out.error)
                                   : cli::parseTestFile(text, path, plan, out.error);
  if (!parsed) return out;
  cli::RepeatInfo repeat;
  if (!cli::applyRunOptions(plan, options, repeat, out.error)) return out;
  TestRun run;
  out.prepareStatus = run.prepare(plan, out.error);
  if (out.prepareStatus == kExitPassed) out.report = run.run();
  return out;
}

cli::RunOptions seeded(uint64_t seed, uint64_t passes) {
  cli::RunOptions options;
  options.seed = seed;
  options.passes = passes;
  return options;
}

TEST(Scenario, QuickExampleWithShuffledCompletionsRunsClean) {
  const Outcome out = runTest("examples/quick.toml", "", seeded(7, 100000));
  ASSERT_EQ(out.prepareStatus, kExitPassed) << out.error;
  ASSERT_EQ(out.report.exitStatus, kExitPassed) << out.report.error;
  ASSERT_EQ(out.report.drives.size(), 1u);
  const DriveReport& d = out.report.drives[0];
  EXPECT_EQ(d.passes, 100000u);
  EXPECT_EQ(d.failures, 0u);
  EXPECT_EQ(d.agentStatus, 0);
  EXPECT_GT(d.commandsByKind.at("Write"), 10000u);
  // Everything written was read back, except at most "Max Queue Size" ranges still waiting
  // when the run stopped (256 ranges of at most the LBA agent's longest transfer).
  EXPECT_GT(d.bytesVerified, 0u);
  EXPECT_LE(d.bytesWritten - d.bytesVerified, 256ull * 256 * 512);
}

TEST(Scenario, TwoDrivesRunInParallelFromTheOneConfiguration) {
  const Outcome out = runTest("examples/two-drives.toml", "", seeded(11, 20000));
  ASSERT_EQ(out.prepareStatus, kExitPassed) << out.error;
  ASSERT_EQ(out.report.exitStatus, kExitPassed) << out.report.error;
  ASSERT_EQ(out.report.drives.size(), 2u);
  for (const DriveReport& d : out.report.drives) {
    SCOPED_TRACE(d.name);
    EXPECT_EQ(d.passes, 20000u);
    EXPECT_EQ(d.failures, 0u);
    EXPECT_GT(d.bytesVerified, 0u);
  }
  EXPECT_NE(out.report.drives[0].name, out.report.drives[1].name);
}

TEST(Scenario, PowerCyclesWithSyncCacheEndWithNoFailure) {
  // The power-cycle example, cut as often as the interval allows: a
  // zero interval makes the agent cycle power again as soon as the drive is back.
  cli::RunOptions options = seeded(5, 20000);
  options.sets.push_back("PowerToggle Freq=0");
  const Outcome out = runTest("examples/power-cycle.toml", "", options);
  ASSERT_EQ(out.prepareStatus, kExitPassed) << out.error;
  ASSERT_EQ(out.report.exitStatus, kExitPassed) << out.report.error;
  const DriveReport& d = out.report.drives.at(0);
  EXPECT_EQ(d.failures, 0u);
  EXPECT_GE(d.deviceStats.powerCycles, 3u);
  EXPECT_GT(d.commandsByKind.at("SyncCache"), 0u);
  EXPECT_GT(d.bytesVerified, 0u);
}

}  // namespace
}  // namespace varnox::scenarios

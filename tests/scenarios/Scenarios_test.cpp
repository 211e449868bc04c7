// Whole tests run the way `varnox run` runs them: an example test file read into a plan, the
// command line's options applied, and the plan run through the host with the real agent library
// on the simulated drive. Fixed seeds make every run the same run.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <functional>
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

// Loads an example (or a test file given as text), applies the options and `edit`, and runs it
// to the end.
Outcome runTest(const std::string& path, const std::string& text, cli::RunOptions options,
                const std::function<void(TestPlan&)>& edit = {}) {
  Outcome out;
  TestPlan plan;
  const bool parsed = text.empty() ? cli::loadTestFile(std::string(VARNOX_SOURCE_DIR) + "/" + path, plan, out.error)
                                   : cli::parseTestFile(text, path, plan, out.error);
  if (!parsed) return out;
  // Dumps and data files go to a folder of the test's own, never the working directory.
  if (!options.outputBase) {
    const std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("varnox-scenario-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    options.outputBase = (dir / "run").string();
  }
  cli::RepeatInfo repeat;
  if (!cli::applyRunOptions(plan, options, repeat, out.error)) return out;
  if (edit) edit(plan);
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
  // On the example's volatile cache every command sent while the sync cache is out is held
  // back and then lost to the cut, and with no interval nothing else is ever sent: the cache
  // that keeps its writes shows the cycle at full rate.
  std::ifstream example(VARNOX_SOURCE_DIR "/examples/power-cycle.toml");
  std::string text((std::istreambuf_iterator<char>(example)), std::istreambuf_iterator<char>());
  const size_t at = text.find("write_cache = \"volatile\"");
  ASSERT_NE(at, std::string::npos);
  text.replace(at, std::strlen("write_cache = \"volatile\""), "write_cache = \"protected\"");
  const Outcome out = runTest("power-cycle.toml", text, options);
  ASSERT_EQ(out.prepareStatus, kExitPassed) << out.error;
  ASSERT_EQ(out.report.exitStatus, kExitPassed) << out.report.error;
  const DriveReport& d = out.report.drives.at(0);
  EXPECT_EQ(d.failures, 0u);
  EXPECT_GE(d.deviceStats.powerCycles, 3u);
  EXPECT_GT(d.commandsByKind.at("SyncCache"), 0u);
  EXPECT_GT(d.bytesVerified, 0u);
}

TEST(Scenario, TheSameCorruptionGetsTheSameVerdictOnTheSimulatedDriveAndOnAFile) {
  namespace fs = std::filesystem;
  const fs::path dir = fs::temp_directory_path() / ("varnox-parity-" + std::to_string(::getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir);
  auto testFile = [&](const std::string& device) {
    return "[[drive]]\nname = \"D0\"\ndevice = \"" + device +
           "\"\ncapacity = 65536\nseed = 3\n"
           "[[fault]]\nkind = \"corrupt\"\nlba = 1000\nafter = 200\n"
           "[cardamor]\n\"Min Queue Size\" = 16\n\"Max Queue Size\" = 64\n"
           "\"Miscompare Output Path\" = \"" + (dir / device.substr(device.rfind('/') + 1)).string() + "\"\n";
  };
  const Outcome sim = runTest("parity.toml", testFile("sim"), seeded(3, 20000));
  const Outcome file = runTest("parity.toml", testFile((dir / "disk.img").string()), seeded(3, 20000));
  for (const Outcome* out : {&sim, &file}) {
    ASSERT_EQ(out->prepareStatus, kExitPassed) << out->error;
    EXPECT_EQ(out->report.exitStatus, kExitIntegrityFailure);
    const DriveReport& d = out->report.drives.at(0);
    EXPECT_EQ(d.agentStatus, -1046);
    EXPECT_EQ(d.failureText.rfind("Miscompare Detected at LBA 0x00000000000003E8, first_offset = ", 0), 0u)
        << d.failureText;
    EXPECT_EQ(d.outputFiles.size(), 3u);
  }
  // The drive's seed picks the LBAs and drives the rules on either device, so the same byte of
  // the same block went bad, although the file completes commands in its own order.
  EXPECT_EQ(sim.report.drives.at(0).failureText, file.report.drives.at(0).failureText);
  fs::remove_all(dir);
}

TEST(Scenario, SkipCommandsPassOnTheSimulatedDriveAndOnAFile) {
  namespace fs = std::filesystem;
  const fs::path dir = fs::temp_directory_path() / ("varnox-skip-" + std::to_string(::getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir);
  for (const bool onFile : {false, true}) {
    for (uint64_t seed = 1; seed <= 5; ++seed) {
      SCOPED_TRACE(std::string(onFile ? "file" : "sim") + ", seed " + std::to_string(seed));
      cli::RunOptions options = seeded(seed, 20000);
      options.sets.push_back("Miscompare Output Path=" + (dir / "out").string());
      // A file has no atomic writes: there the flow writes and reads only.
      const Outcome out = runTest("tests/scenarios/skip-commands.toml", "", options, [&](TestPlan& plan) {
        if (!onFile) return;
        plan.drives.at(0).device.kind = (dir / "disk.img").string();
        plan.drives.at(0).device.atomicUnitBlocks = 0;
        std::erase_if(plan.flow, [](const StepSpec& s) { return s.kind == StepSpec::Kind::WriteAtomic; });
        for (StepSpec& step : plan.flow)
          for (auto& [key, value] : step.settings)
            if (step.name == "write-kind" && key == "atomic") value = "0";
      });
      ASSERT_EQ(out.prepareStatus, kExitPassed) << out.error;
      EXPECT_EQ(out.report.exitStatus, kExitPassed) << out.report.error;
      const DriveReport& d = out.report.drives.at(0);
      for (const std::string kind : {"Write", "Read", "WriteAtomic"}) {
        if (onFile && kind == "WriteAtomic") continue;
        EXPECT_EQ(d.commandsByKind.count(kind), 1u) << kind;
      }
      EXPECT_GT(d.bytesVerified, 0u);
      // Every error was injected: no command reached beyond the drive's last block.
      auto count = [&](const char* status) {
        return d.completionsByStatus.count(status) ? d.completionsByStatus.at(status) : 0;
      };
      EXPECT_LE(count("CHECK CONDITION") + count("TASK ABORTED"), d.deviceStats.faultsInjected);
    }
  }
  fs::remove_all(dir);
}

}  // namespace
}  // namespace varnox::scenarios

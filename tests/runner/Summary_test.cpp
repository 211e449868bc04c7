#include "Summary.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <memory>

#include "Progress.h"
#include "runner/CaseFile.h"
#include "varnox/Errors.h"

namespace varnox::cli {
namespace {

// Output files in a folder made sure to be missing: the summary reads what they hold, if anything.
std::string gone(const std::string& name) {
  const std::string dir = ::testing::TempDir() + "varnox_summary_" + std::to_string(::getpid());
  std::filesystem::remove_all(dir);
  return dir + "/" + name;
}

RunReport failedRun() {
  RunReport report;
  report.seconds = 12.34;
  report.exitStatus = kExitIntegrityFailure;
  DriveReport d;
  d.name = "D0";
  d.device = "simulated drive, 2048 x 512-byte blocks";
  d.passes = 900;
  d.commandsByKind = {{"Read", 200}, {"Write", 250}};
  d.completionsByStatus = {{"CHECK CONDITION", 1}, {"GOOD", 449}};
  d.bytesWritten = 3 * 1048576;
  d.bytesVerified = 1000;
  d.failures = 1;
  d.agentStatus = VARNOX_ERR_MISCOMPARE;
  d.failureText = "Miscompare at LBA 0x10 \"tab\there\"";
  d.outputFiles = {gone("r_trace_D0.txt"), gone("r_drive_D0.bin")};
  d.deviceStopped = true;
  d.deviceSeed = 42;
  d.deviceStats.commands = 450;
  d.deviceStats.powerCycles = 2;
  d.deviceStats.faultsInjected = 1;
  // 199 reads of 10 us and one of 5 ms.
  auto reads = std::make_unique<LatencyHistogram>();
  for (int i = 0; i < 199; ++i) reads->record(10'000);
  reads->record(5'000'000);
  d.latency["Read"] = reads->snapshot();
  d.geometry.capacityBlocks = 2048;
  d.queueDepth = 8;
  d.path = "sim";
  d.cache = "volatile";
  FaultRule rule;
  rule.kind = "corrupt";
  rule.lba = 16;
  d.faultRules = {rule};
  d.faultRuleCounts = {1};
  d.faultTallies = {{"corrupt", true, 1, 1}, {"abort", false, 3, 0}};
  d.failureSeconds = 11.5;
  d.events = {{4.25, "power cycle"}, {8.5, "reset"}};
  report.drives.push_back(d);
  report.agentKeys = {{"cardamor", "Min Queue Size", "u32", "64", false},
                      {"cardamor", "Showstop on Miscompare", "bool", "true", false},
                      {"cardamor", "Verify Condition", "condition", "", true}};
  return report;
}

// The summaries expected of failedRun() and of a refused run, by case name.
std::string expected(const std::string& name) {
  for (const testing::Case& c : testing::readCases(testing::casePath("summary.txt")))
    if (c.name.starts_with(name + " (")) return testing::expand(c.blocks.at(0).body, {{"{gone}", gone("")}});
  ADD_FAILURE() << "no case " << name;
  return "";
}

TEST(Summary, TextAndJsonNameTheFailureTheFilesAndHowToRepeat) {
  RunReport report = failedRun();
  RepeatInfo repeat{42, std::string("42"), "varnox run t.toml --seed 42"};
  EXPECT_EQ(summaryText({"t.toml", &report, &repeat, SIGINT}),
            expected("text of a failed run stopped by SIGINT"));
  const RunDetails details{.version = "1.2.3",
                           .revision = "abc",
                           .startTime = "2025-01-31T12:00:00Z",
                           .endTime = "2025-01-31T12:00:12Z",
                           .hostName = "host",
                           .commandLine = "varnox run 'my t.toml'",
                           .kernel = "Linux 6.1.0 x86_64",
                           .cpuModel = "CPU \"X\"",
                           .cpuCores = 8,
                           .workingDirectory = "/w",
                           .testFilePath = "/w/my t.toml",
                           .testFileSha256 = std::string(64, 'a')};
  repeat.commandLine = "varnox run 'my t.toml' --seed 42";
  // The resolved configuration: a drive with a fault rule, a flow with an agent's setting.
  TestPlan plan;
  plan.passes = 900;
  plan.drives = {{"D0", DeviceSpec{}, 1, {}}};
  plan.drives[0].device.seed = 42;
  plan.drives[0].device.faults = {FaultRule{"corrupt", 16, std::nullopt, 0.5, 1, 0}};
  plan.flow = {{StepSpec::Kind::Agent, "lba", "", {{"max_xfer", "8"}}}, {StepSpec::Kind::Read, "Read", "read", {}}};
  EXPECT_EQ(summaryJson({"my t.toml", &report, &repeat, 0, nullptr, &details, &plan}),
            expected("JSON of a failed run"));

  // A time-seeded agent cannot repeat its data: the summary says so instead of promising it. An
  // interrupted run says so, and what it had checked; reading more than was written is explained.
  repeat.randomSeed = "0";
  report.exitStatus = kExitTerminated;
  report.drives[0].failures = 0;
  report.drives[0].bytesVerified = 4 * 1048576;
  EXPECT_EQ(summaryText({"t.toml", &report, &repeat, SIGTERM}),
            expected("text of a time-seeded run stopped by SIGTERM"));

  // A refused run has no drives and no seeds, and control characters never reach the file raw.
  RunReport refused;
  refused.exitStatus = kExitRefused;
  refused.error = "t.toml: key \"X\"\nunknown\x01";
  EXPECT_EQ(summaryJson({"t.toml", &refused, nullptr, 0, nullptr, &details}), expected("JSON of a refused run"));
}

TEST(Progress, AddsUpDrivesAndShowsRatesOverTheInterval) {
  DriveProgress a, b;
  a.passes = 10;
  a.commands = 4000;
  a.bytesWritten = 3000000;
  a.readBackDistance = 64;
  b.passes = 5;
  b.commands = 1000;
  b.bytesVerified = 1000000;
  b.readBackDistance = 100;
  b.failures = 1;
  ProgressTotals now = sumProgress({&a, &b, nullptr});
  EXPECT_EQ(now.passes, 15u);
  EXPECT_EQ(now.commands, 5000u);
  EXPECT_EQ(now.readBackDistance, 100u);  // the farthest drive, not a sum
  EXPECT_EQ(now.failures, 1u);

  ProgressTotals before;
  before.commands = 4000;
  before.bytesWritten = 2000000;
  EXPECT_EQ(formatProgress(now, before, 0.5, 12.0),
            "   12.0 s  passes 15  cmd/s 2000  write 1.9 MiB/s  verify 1.9 MiB/s  distance 100  failures 1");
  // No interval yet: no rates rather than a division by zero.
  EXPECT_EQ(formatProgress(now, before, 0, 0),
            "    0.0 s  passes 15  cmd/s 0  write 0 B/s  verify 0 B/s  distance 100  failures 1");
}

TEST(Progress, SeveralDrivesGetALineEachOnATerminal) {
  const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(::grantpt(master), 0);
  ASSERT_EQ(::unlockpt(master), 0);
  std::FILE* terminal = std::fopen(::ptsname(master), "w");
  ASSERT_NE(terminal, nullptr);
  DriveProgress a, b;
  a.passes = 7;
  b.passes = 9;
  ProgressLine line(terminal, {"A", "B"});
  ASSERT_TRUE(line.enabled());
  line.update({&a, &b});
  line.update({&a, &b});  // redrawn in place: back up one line first
  std::fclose(terminal);
  // A terminal hands its output over in pieces: read until the closed side says no more.
  std::string drawn;
  char buf[2048];
  for (ssize_t n; (n = ::read(master, buf, sizeof buf)) > 0;) drawn.append(buf, static_cast<size_t>(n));
  ::close(master);
  ASSERT_FALSE(drawn.empty());
  const size_t second = drawn.find("\033[1A\r\033[J");
  ASSERT_NE(second, std::string::npos) << drawn;
  for (const std::string& shown : {drawn.substr(0, second), drawn.substr(second)}) {
    EXPECT_NE(shown.find("A "), std::string::npos) << shown;
    EXPECT_NE(shown.find("passes 7"), std::string::npos) << shown;
    EXPECT_NE(shown.find("B "), std::string::npos) << shown;
    EXPECT_NE(shown.find("passes 9"), std::string::npos) << shown;
  }
}

}  // namespace
}  // namespace varnox::cli

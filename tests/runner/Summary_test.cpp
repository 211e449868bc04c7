#include "Summary.h"

#include <gtest/gtest.h>

#include <memory>
#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <cstdlib>

#include "Progress.h"
#include "varnox/Errors.h"
#include "varnox/EventLog.h"

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
  report.drives.push_back(d);
  return report;
}

TEST(Summary, TextNamesTheFailureTheFilesAndHowToRepeat) {
  RunReport report = failedRun();
  RepeatInfo repeat{42, std::string("42"), "varnox run t.toml --seed 42"};
  std::string text = summaryText({"t.toml", &report, &repeat, SIGINT});
  EXPECT_EQ(text, std::string("\nDrive D0: simulated drive, 2048 x 512-byte blocks\n"
                              "  passes        900\n"
                              "  commands      Read 200, Write 250\n"
                              "  completions   CHECK CONDITION 1, GOOD 449\n"
                              "                (fewer GOOD than passes: not every pass sends a command; a pass that "
                              "finds every tag busy only waits for a completion)\n"
                              "  latency       kind               IOPS      mean       p50       p90       p99     p99.9"
                              "    p99.99       max\n"
                              "                Read                 16    35.0us    10.0us    10.0us    10.0us    5.00ms"
                              "    5.00ms    5.00ms\n"
                              "  written       3.0 MiB (3145728 bytes)\n"
                              "  verified      1000 B\n"
                              "  failures      1\n"
                              "  ended by      -1046 (") +
                      EventLog::errStr(VARNOX_ERR_MISCOMPARE) +
                      ")\n"
                      "  failure       Miscompare at LBA 0x10 \"tab\there\"\n"
                      "  showstop      the drive was stopped at the failure by a showstop and refused every later command\n"
                      "  device        450 commands, 2 power cycles, 0 resets, 1 faults injected\n"
                      "  faults        corrupt 1 injected, 1 exposed; abort 3 injected\n"
                      "  drive seed    42\n"
                      "  output files  " + gone("r_trace_D0.txt") + "\n"
                      "                " + gone("r_drive_D0.bin") + "\n"
                      "\n"
                      "Stopped by SIGINT before the run's limit.\n"
                      "Result: data-integrity failure (exit 1) after 12.3 s, t.toml: stopped before its limit, "
                      "1000 B verified on 1 drive, 1 failure found\n"
                      "Seeds: Random Seed 42, drive seed 42\n"
                      "Repeat with: varnox run t.toml --seed 42\n");

  // A time-seeded agent cannot repeat its data; the summary says so instead of promising it.
  repeat.randomSeed = "0";
  EXPECT_NE(summaryText({"t.toml", &report, &repeat, 0}).find("\"Random Seed\" 0 draws new data every run"),
            std::string::npos);

  // An interrupted run says so, and what it had checked; reading more than was written is explained.
  report.exitStatus = kExitTerminated;
  report.drives[0].failures = 0;
  report.drives[0].bytesVerified = 4 * 1048576;
  text = summaryText({"t.toml", &report, &repeat, SIGTERM});
  EXPECT_NE(text.find("Result: interrupted by SIGTERM (exit 143) after 12.3 s, t.toml: stopped before its limit, "
                      "4.0 MiB verified on 1 drive, no failure found\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("  verified      4.0 MiB (4194304 bytes)\n                (more than written: "), std::string::npos)
      << text;
}

TEST(Summary, JsonCarriesTheSameFactsEscaped) {
  RunReport report = failedRun();
  RepeatInfo repeat{42, std::string("42"), "varnox run 'my t.toml' --seed 42"};
  const RunDetails details{"varnox 1.2.3 (source revision abc)", "2025-01-31T12:00:00Z", "2025-01-31T12:00:12Z", "host",
                           "varnox run 'my t.toml'"};
  EXPECT_EQ(summaryJson({"my t.toml", &report, &repeat, 0, nullptr, &details}),
            "{\n"
            "  \"file\": \"my t.toml\",\n"
            "  \"result\": \"data-integrity failure\",\n"
            "  \"exitStatus\": 1,\n"
            "  \"seconds\": 12.34,\n"
            "  \"interrupted\": false,\n"
            "  \"error\": \"\",\n"
            "  \"version\": \"varnox 1.2.3 (source revision abc)\",\n"
            "  \"startTime\": \"2025-01-31T12:00:00Z\",\n"
            "  \"endTime\": \"2025-01-31T12:00:12Z\",\n"
            "  \"hostName\": \"host\",\n"
            "  \"commandLine\": \"varnox run 'my t.toml'\",\n"
            "  \"seed\": 42,\n"
            "  \"randomSeed\": 42,\n"
            "  \"repeat\": \"varnox run 'my t.toml' --seed 42\",\n"
            "  \"drives\": [\n"
            "    {\"name\": \"D0\", \"device\": \"simulated drive, 2048 x 512-byte blocks\", \"passes\": 900,\n"
            "     \"commandsByKind\": {\"Read\": 200, \"Write\": 250},\n"
            "     \"completionsByStatus\": {\"CHECK CONDITION\": 1, \"GOOD\": 449},\n"
            "     \"bytesWritten\": 3145728, \"bytesVerified\": 1000, \"failures\": 1, \"agentStatus\": -1046,\n"
            "     \"failureText\": \"Miscompare at LBA 0x10 \\\"tab\\there\\\"\",\n"
            "     \"outputFiles\": [\"" + gone("r_trace_D0.txt") + "\", \"" + gone("r_drive_D0.bin") + "\"],\n"
            "     \"deviceStopped\": true, \"deviceSeed\": 42,\n"
            "     \"deviceStats\": {\"commands\": 450, \"blocksWritten\": 0, \"blocksRead\": 0, \"powerCycles\": 2, "
            "\"resets\": 0, \"faultsInjected\": 1},\n"
            "     \"geometry\": {\"path\": \"sim\", \"blocks\": 2048, \"blockSize\": 512, \"protectionInfo\": false, "
            "\"physicalExponent\": 0, \"queueDepth\": 8, \"cache\": \"volatile\", \"atomicUnit\": 0},\n"
            "     \"faultRules\": [{\"kind\": \"corrupt\", \"lba\": 16, \"after\": null, \"rate\": null, \"count\": 1, "
            "\"injected\": 1}],\n"
            "     \"latency\": {\n"
            "       \"Read\": {\"count\": 200, \"iops\": 16.2075, \"meanNs\": 34950, \"p50Ns\": 10047, \"p90Ns\": 10047, "
            "\"p99Ns\": 10047, \"p99.9Ns\": 5000000, \"p99.99Ns\": 5000000, \"maxNs\": 5000000, \"buckets\": "
            "[[9984, 10047, 199], [4980736, 5013503, 1]]}},\n"
            // The failing LBA comes from the failure line; the files named are gone.
            "     \"failure\": {\"lba\": 16, \"driveHex\": \"\", \"referenceHex\": \"\",\n"
            "       \"history\": \"\",\n"
            "       \"sequence\": \"\"},\n"
            "     \"faults\": {\"corrupt\": {\"injected\": 1, \"exposed\": 1}, \"abort\": {\"injected\": 3}}}\n"
            "  ]\n"
            "}\n");

  // A refused run has no drives and no seeds, and control characters never reach the file raw.
  RunReport refused;
  refused.exitStatus = kExitRefused;
  refused.error = "t.toml: key \"X\"\nunknown\x01";
  EXPECT_EQ(summaryJson({"t.toml", &refused, nullptr, 0}),
            "{\n  \"file\": \"t.toml\",\n  \"result\": \"refused\",\n  \"exitStatus\": 2,\n  \"seconds\": 0,\n"
            "  \"interrupted\": false,\n  \"error\": \"t.toml: key \\\"X\\\"\\nunknown\\u0001\",\n  \"drives\": []\n}\n");
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
    EXPECT_NE(shown.find("A ") , std::string::npos) << shown;
    EXPECT_NE(shown.find("passes 7"), std::string::npos) << shown;
    EXPECT_NE(shown.find("B "), std::string::npos) << shown;
    EXPECT_NE(shown.find("passes 9"), std::string::npos) << shown;
  }
}

}  // namespace
}  // namespace varnox::cli

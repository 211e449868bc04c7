#include "Summary.h"

#include <gtest/gtest.h>

#include "Progress.h"
#include "varnox/Errors.h"
#include "varnox/EventLog.h"

namespace varnox::cli {
namespace {

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
  d.outputFiles = {"/tmp/r_trace_D0.txt", "/tmp/r_drive_D0.bin"};
  d.deviceStopped = true;
  d.deviceSeed = 42;
  d.deviceStats.commands = 450;
  d.deviceStats.powerCycles = 2;
  d.deviceStats.faultsInjected = 1;
  d.faultTallies = {{"corrupt", true, 1, 1}, {"abort", false, 3, 0}};
  report.drives.push_back(d);
  return report;
}

TEST(Summary, TextNamesTheFailureTheFilesAndHowToRepeat) {
  RunReport report = failedRun();
  RepeatInfo repeat{42, std::string("42"), "varnox run t.toml --seed 42"};
  std::string text = summaryText({"t.toml", &report, &repeat, true});
  EXPECT_EQ(text, std::string("\nDrive D0: simulated drive, 2048 x 512-byte blocks\n"
                              "  passes        900\n"
                              "  commands      Read 200, Write 250\n"
                              "  completions   CHECK CONDITION 1, GOOD 449\n"
                              "  written       3.0 MiB (3145728 bytes)\n"
                              "  verified      1000 B\n"
                              "  failures      1\n"
                              "  ended by      -1046 (") +
                      EventLog::errStr(VARNOX_ERR_MISCOMPARE) +
                      ")\n"
                      "  failure       Miscompare at LBA 0x10 \"tab\there\"\n"
                      "  showstop      the drive was stopped by a showstop and took no further commands\n"
                      "  device        450 commands, 2 power cycles, 0 resets, 1 faults injected\n"
                      "  faults        corrupt 1 injected, 1 exposed; abort 3 injected\n"
                      "  drive seed    42\n"
                      "  output files  /tmp/r_trace_D0.txt\n"
                      "                /tmp/r_drive_D0.bin\n"
                      "\n"
                      "Stopped with Ctrl-C.\n"
                      "Result: data-integrity failure (exit 1) after 12.3 s, t.toml\n"
                      "Seeds: Random Seed 42, drive seed 42\n"
                      "Repeat with: varnox run t.toml --seed 42\n");

  // A time-seeded agent cannot repeat its data; the summary says so instead of promising it.
  repeat.randomSeed = "0";
  EXPECT_NE(summaryText({"t.toml", &report, &repeat, false}).find("\"Random Seed\" 0 draws new data every run"),
            std::string::npos);
}

TEST(Summary, JsonCarriesTheSameFactsEscaped) {
  RunReport report = failedRun();
  RepeatInfo repeat{42, std::string("42"), "varnox run 'my t.toml' --seed 42"};
  EXPECT_EQ(summaryJson({"my t.toml", &report, &repeat, false}),
            "{\n"
            "  \"file\": \"my t.toml\",\n"
            "  \"result\": \"data-integrity failure\",\n"
            "  \"exitStatus\": 1,\n"
            "  \"seconds\": 12.34,\n"
            "  \"interrupted\": false,\n"
            "  \"error\": \"\",\n"
            "  \"seed\": 42,\n"
            "  \"randomSeed\": \"42\",\n"
            "  \"repeat\": \"varnox run 'my t.toml' --seed 42\",\n"
            "  \"drives\": [\n"
            "    {\"name\": \"D0\", \"device\": \"simulated drive, 2048 x 512-byte blocks\", \"passes\": 900,\n"
            "     \"commandsByKind\": {\"Read\": 200, \"Write\": 250},\n"
            "     \"completionsByStatus\": {\"CHECK CONDITION\": 1, \"GOOD\": 449},\n"
            "     \"bytesWritten\": 3145728, \"bytesVerified\": 1000, \"failures\": 1, \"agentStatus\": -1046,\n"
            "     \"failureText\": \"Miscompare at LBA 0x10 \\\"tab\\there\\\"\",\n"
            "     \"outputFiles\": [\"/tmp/r_trace_D0.txt\", \"/tmp/r_drive_D0.bin\"],\n"
            "     \"deviceStopped\": true, \"deviceSeed\": 42,\n"
            "     \"deviceStats\": {\"commands\": 450, \"blocksWritten\": 0, \"blocksRead\": 0, \"powerCycles\": 2, "
            "\"resets\": 0, \"faultsInjected\": 1},\n"
            "     \"faults\": {\"corrupt\": {\"injected\": 1, \"exposed\": 1}, \"abort\": {\"injected\": 3}}}\n"
            "  ]\n"
            "}\n");

  // A refused run has no drives and no seeds, and control characters never reach the file raw.
  RunReport refused;
  refused.exitStatus = kExitRefused;
  refused.error = "t.toml: key \"X\"\nunknown\x01";
  EXPECT_EQ(summaryJson({"t.toml", &refused, nullptr, false}),
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
            "   12.0 s  passes 15  cmd/s 2000  write 2.0 MB/s  verify 2.0 MB/s  distance 100  failures 1");
  // No interval yet: no rates rather than a division by zero.
  EXPECT_EQ(formatProgress(now, before, 0, 0),
            "    0.0 s  passes 15  cmd/s 0  write 0.0 MB/s  verify 0.0 MB/s  distance 100  failures 1");
}

}  // namespace
}  // namespace varnox::cli

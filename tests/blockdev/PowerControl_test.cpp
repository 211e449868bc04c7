// Power control of real drives: the user's commands run without a shell and within their limit,
// the settings refused with the key named, and the drive looked for again after a cycle (files in
// the test's folder stand in for drives that come back the same, different, resized or not at all).
#include "blockdev/PowerControl.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>

#include "support/TempDir.h"

namespace varnox::blockdev {
namespace {

namespace fs = std::filesystem;
using PowerControlTest = testing::TempDirTest;
using testing::readAll;

TEST_F(PowerControlTest, CommandsRunWithoutAShellWithinTheirLimit) {
  struct Case {
    std::vector<std::string> argv;
    double timeout;
    bool ok;
    std::string failure;
    std::string output;  // must be in what it printed
  };
  const Case cases[] = {
      {{"true"}, 10, true, "", ""},
      {{"false"}, 10, false, "exited with status 1", ""},
      // Arguments reach the program as they are: no word splitting, no globbing, no variables.
      {{"echo", "a  b", "*", "$HOME"}, 10, true, "", "a  b * $HOME\n"},
      {{"sh", "-c", "echo to-out; echo to-err >&2; exit 3"},
       10,
       false,
       "exited with status 3",
       "to-out\nto-err\n"},
      {{"sleep", "30"}, 0.2, false, "did not finish within 200 ms", ""},
      // Everything the command started goes with it at the limit, also what holds the pipe.
      {{"sh", "-c", "sleep 30 & sleep 30"}, 0.2, false, "did not finish within 200 ms", ""},
      {{"no-such-power-switch"}, 10, false, "cannot be started: No such file or directory", ""},
      {{""}, 10, false, "cannot be started: no program given", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(commandText(c.argv));
    const CommandRun run = runCommand(c.argv, c.timeout);
    EXPECT_EQ(run.ok, c.ok);
    EXPECT_EQ(run.failure, c.failure);
    EXPECT_NE(run.output.find(c.output), std::string::npos) << run.output;
  }
  // Output beyond 4 KiB keeps its end.
  const CommandRun chatty = runCommand({"sh", "-c", "seq 1 5000"}, 10);
  EXPECT_TRUE(chatty.ok);
  EXPECT_EQ(chatty.output.size(), 4096u);
  EXPECT_TRUE(chatty.output.ends_with("4999\n5000\n"));
  EXPECT_EQ(commandText({"relay", "say \"off\"", "a\\b"}), R"(["relay", "say \"off\"", "a\\b"])");
}

TEST_F(PowerControlTest, ACommandGetsNoSignalBlockedThatTheRunnerBlocks) {
  // The runner blocks SIGINT, SIGTERM and SIGHUP in its threads to take them on one of its own.
  sigset_t blocked, previous;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGTERM);
  ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &blocked, &previous), 0);
  const CommandRun run = runCommand({"sh", "-c", "kill -TERM $$; sleep 5"}, 10);
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  EXPECT_EQ(run.failure, "was killed by signal 15");
}

TEST_F(PowerControlTest, SettingsAreRefusedNamingTheKey) {
  const std::string script = file("not-executable.sh", "#!/bin/sh\n");
  struct Case {
    std::vector<std::string> off, on;
    double settle, timeout;
    std::string error;
  };
  const Case cases[] = {
      {{}, {}, 0, 60, ""},
      {{"true"}, {"true"}, 0, 60, ""},
      {{"/bin/true"}, {"true", "with", "arguments"}, 2.5, 0.5, ""},
      {{"true"},
       {},
       0,
       60,
       "power_off needs power_on as well: a power toggle runs both ([\"true\"] for one that has nothing to "
       "do)"},
      {{},
       {"true"},
       0,
       60,
       "power_on needs power_off as well: a power toggle runs both ([\"true\"] for one that has nothing to "
       "do)"},
      {{"relay-that-is-not-there", "off"},
       {"true"},
       0,
       60,
       "power_off: program \"relay-that-is-not-there\" is not found in PATH"},
      {{"true"}, {script}, 0, 60, "power_on: program \"" + script + "\" is missing or not executable"},
      {{"true"}, {""}, 0, 60, "power_on: the program (its first element) is empty"},
      {{"true"}, {"true"}, 0, 0, "power_timeout must be above 0"},
      {{"true"}, {"true"}, -1, 60, "power_settle must not be negative"},
  };
  for (const Case& c : cases) {
    DeviceSpec settings;
    settings.powerOff = c.off;
    settings.powerOn = c.on;
    settings.powerSettleSeconds = c.settle;
    settings.powerTimeoutSeconds = c.timeout;
    EXPECT_EQ(powerSettingsError(settings), c.error) << commandText(c.off) << " " << commandText(c.on);
  }
  DeviceSpec settings;
  settings.powerOff = {"relay", "off"};
  settings.powerOn = {"relay", "on"};
  settings.powerSettleSeconds = 2;
  EXPECT_EQ(
      powerPlanText(settings, "/dev/sdz"),
      "would cut power to /dev/sdz at each power toggle: run power_off [\"relay\", \"off\"], then power_on "
      "[\"relay\", \"on\"] (each within 60 s), wait 2 s and wait up to 60 s for /dev/sdz to come back as the "
      "same device");
}

TEST_F(PowerControlTest, ACycleEndsOnlyWhenTheSameDeviceIsBack) {
  const std::string disk = path("disk.img"), other = path("other.img"), log = path("power.log");
  DeviceIdentity identity;
  std::string error;
  struct Case {
    const char* name;
    std::vector<std::string> off, on;
    std::string why;  // the start of the failure; empty: the cycle succeeds
  };
  const Case cases[] = {
      {"switched off and on", {"sh", "-c", "echo off >> " + log}, {"sh", "-c", "echo on >> " + log}, ""},
      // Back only after a while: it is looked for until it is there.
      {"back late", {"mv", disk, other}, {"sh", "-c", "(sleep 0.3; mv " + other + " " + disk + ") &"}, ""},
      {"another file",
       {"cp", disk, other},
       {"mv", other, disk},
       disk + " came back as a different device: inode "},
      {"resized",
       {"true"},
       {"truncate", "-s", "2048", disk},
       disk + " came back as the same device with a different size: size 2048 bytes, was 4096 bytes"},
      {"gone",
       {"rm", disk},
       {"true"},
       "no device came back at " + disk + " within 500 ms of power_on: " + disk +
           ": No such file or directory"},
      {"power_off fails",
       {"sh", "-c", "echo relay not answering >&2; exit 4"},
       {"true"},
       "power_off [\"sh\", \"-c\", \"echo relay not answering >&2; exit 4\"] exited with status 4: relay not "
       "answering"},
      {"power_on hangs",
       {"true"},
       {"sleep", "30"},
       "power_on [\"sleep\", \"30\"] did not finish within 500 ms"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove(disk);
    fs::remove(other);
    file("disk.img", std::string(4096, 'x'));
    ASSERT_TRUE(readDeviceIdentity(disk, identity, error)) << error;
    DeviceSpec settings;
    settings.powerOff = c.off;
    settings.powerOn = c.on;
    settings.powerTimeoutSeconds = c.why.empty() ? 10 : 0.5;
    std::string report;
    const std::string why = PowerControl(settings).cycle(identity, report);
    EXPECT_EQ(why.substr(0, c.why.size()), c.why) << why;
    if (c.why.empty()) {
      EXPECT_EQ(why, "");
      EXPECT_TRUE(report.starts_with("power_off took ")) << report;
      EXPECT_NE(report.find(", " + disk + " back after "), std::string::npos) << report;
    }
  }
  EXPECT_EQ(readAll(log), "off\non\n");
}

}  // namespace
}  // namespace varnox::blockdev

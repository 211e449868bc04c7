#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <set>
#include <tuple>

#include "SimDriveHarness.h"
#include "sim/SimulatedDrive.h"

namespace varnox::sim {
namespace {

using namespace testing;  // the harness, patterns and configurations

SimConfig withFault(FaultRule rule, uint64_t seed = 1) {
  SimConfig c = smallConfig();
  c.atomicUnitBlocks = 16;
  c.seed = seed;
  c.faults.push_back(std::move(rule));
  return c;
}

// A rule of `kind` at `lba` (none: a block of the command), firing `count` times (0: no limit).
FaultRule rule(const char* kind, std::optional<uint64_t> lba = {}, uint32_t count = 1,
               std::optional<uint64_t> after = {}, std::optional<double> rate = {}) {
  return FaultRule{kind, lba, after, rate, count};
}

std::vector<uint8_t> blockOf(const std::vector<uint8_t>& data, uint64_t index) {
  return std::vector<uint8_t>(data.begin() + index * 512, data.begin() + (index + 1) * 512);
}

// Kind, first LBA and blocks of the one fault the drive injected.
std::tuple<std::string, uint64_t, uint64_t> onlyFault(const Harness& h) {
  const std::vector<InjectedFault> faults = h.drive->injectedFaults();
  EXPECT_EQ(faults.size(), 1u);
  return faults.empty() ? std::tuple<std::string, uint64_t, uint64_t>{}
                        : std::tuple{faults[0].kind, faults[0].firstLba, uint64_t{faults[0].blocks}};
}

TEST(SimFaults, ErrorFaultsCompleteWithTheirSense) {
  {
    Harness h(withFault(rule("medium-error", 40, 2)));
    std::vector<uint8_t> buffer(8 * 512);
    DeviceCompletion c = h.readInto(36, buffer);
    EXPECT_SENSE(c, kSenseMediumError, 0x11, 0x00);
    EXPECT_EQ(c.bytesIn, 0u);
    EXPECT_EQ(information(c), 40u);
    // A read that does not cover the block is not hit; a verify that does is.
    EXPECT_EQ(h.read(41, 4), std::vector<uint8_t>(4 * 512, 0));
    EXPECT_SENSE(h.verify(40, buffer, kBytchkCompare, 1), kSenseMediumError, 0x11, 0x00);
    EXPECT_EQ(h.read(36, 8), buffer);  // count reached
  }
  // That a recovered error still does its command's work is a SimExposure case.
  Harness h(withFault(rule("hard-error", 60)));
  EXPECT_SENSE(h.write(60, pattern(60, 2, 512, 3)), kSenseHardwareError, 0x44, 0x00);
  EXPECT_EQ(h.read(60, 2), std::vector<uint8_t>(1024, 0));
}

// The rules act through the drive's fault seam (before each command, after each stored block),
// so these tests pin the seam as well.
TEST(SimFaults, AbortsLandALeadingPartAndTornAtomicWritesTearOneUnit) {
  int partial = 0;
  for (uint64_t seed = 1; seed <= 10; ++seed) {
    Harness aborts(withFault(rule("abort"), seed));
    const auto data = pattern(0, 12, 512, 1);
    DeviceCompletion done = aborts.write(0, std::vector<uint8_t>(data.begin(), data.begin() + 8 * 512));
    EXPECT_EQ(done.status, kStatusTaskAborted);
    EXPECT_TRUE(done.sense.empty());
    auto got = aborts.read(0, 8);
    size_t landed = 0;
    while (landed < 8 && blockOf(got, landed) == blockOf(data, landed)) ++landed;
    for (size_t i = landed; i < 8; ++i) EXPECT_EQ(blockOf(got, i), std::vector<uint8_t>(512, 0));
    partial += landed > 0 && landed < 8;

    Harness torn(withFault(rule("torn-atomic"), seed));
    ASSERT_EQ(torn.submitAtomic(1, 0, data, 4), 0);
    EXPECT_EQ(torn.finish(1).status, kStatusTaskAborted);
    got = torn.read(0, 12);
    int tornUnits = 0;
    bool sawOld = false;
    for (int unit = 0; unit < 3; ++unit) {
      std::set<bool> isNew;
      for (int i = unit * 4; i < unit * 4 + 4; ++i) isNew.insert(blockOf(got, i) == blockOf(data, i));
      if (isNew.size() == 2) {
        ++tornUnits;
        EXPECT_TRUE(blockOf(got, unit * 4) == blockOf(data, unit * 4)) << "a torn unit starts with new data";
      } else if (!*isNew.begin()) {
        sawOld = true;
      } else {
        EXPECT_FALSE(sawOld || tornUnits) << "units after the torn one stay old";
      }
    }
    EXPECT_EQ(tornUnits, 1) << "seed " << seed;
  }
  EXPECT_GT(partial, 0);
}

TEST(SimFaults, ResetAndPowerLossRulesDropTheQueueAndRaiseAResetEvent) {
  for (const char* kind : {"reset", "power-loss"}) {
    SCOPED_TRACE(kind);
    Harness h(withFault(rule(kind, {}, 1, 3)));
    for (uint32_t tag = 0; tag < 5; ++tag) ASSERT_EQ(h.submitWrite(tag, tag, pattern(tag, 1, 512, 1)), 0);
    // Commands 0-2 were lost with command 3; command 4 is the only one left.
    EXPECT_EQ(h.drive->outstanding(), 1u);
    EXPECT_TRUE(h.drive->takeResetEvent());
    EXPECT_FALSE(h.drive->takeResetEvent());
    EXPECT_EQ(h.drive->takePowerLossEvent(), std::string(kind) == "power-loss");
    EXPECT_FALSE(h.drive->takePowerLossEvent());
    h.finish(4);
    DeviceStats s = h.drive->stats();
    EXPECT_EQ(s.resets + s.powerCycles, 1u);
    EXPECT_EQ(s.faultsInjected, 1u);
  }
}

TEST(SimFaults, RatesAndStartPointsGateFiringAndReplayWithTheSeed) {
  auto run = [](uint64_t seed) {
    Harness h(withFault(rule("corrupt", {}, 0, 50, 0.25), seed));
    std::vector<int> hit;
    for (uint64_t lba = 0; lba < 200; ++lba) {
      h.write(lba, pattern(lba, 1, 512, 1));
      hit.push_back(h.read(lba, 1) != pattern(lba, 1, 512, 1));
    }
    return hit;
  };
  std::vector<int> hit = run(5);
  // Two commands per block: the first 25 blocks come before the start point.
  EXPECT_EQ(std::vector<int>(hit.begin(), hit.begin() + 25), std::vector<int>(25, 0));
  const int total = static_cast<int>(std::count(hit.begin(), hit.end(), 1));
  EXPECT_GT(total, 10);
  EXPECT_LT(total, 80);
  EXPECT_EQ(run(5), hit);
  EXPECT_NE(run(6), hit);
}

TEST(SimFaults, ReorderedReadOvertakesTheOlderWriteItOverlaps) {
  Harness h(withFault(rule("reorder")));
  h.write(100, pattern(100, 4, 512, 1));
  const auto newer = pattern(102, 4, 512, 2);
  ASSERT_EQ(h.submitWrite(1, 102, newer), 0);
  // A read that overlaps nothing outstanding is not a candidate: the rule fires once, on tag 2.
  std::vector<uint8_t> other(512), got(6 * 512);
  ASSERT_EQ(h.submitRead(3, 200, other), 0);
  ASSERT_EQ(h.submitRead(2, 100, got), 0);
  EXPECT_EQ(h.finish(2).status, kStatusGood);  // before the commands submitted ahead of it
  EXPECT_EQ(h.finish(1).status, kStatusGood);
  EXPECT_EQ(h.finish(3).status, kStatusGood);
  // Executed in order all the same: the read saw the write.
  auto expect = pattern(100, 2, 512, 1);
  expect.insert(expect.end(), newer.begin(), newer.end());
  EXPECT_EQ(got, expect);
  EXPECT_EQ(onlyFault(h), std::make_tuple("reorder", 100u, 6u));
}

TEST(SimFaults, SpliceLandsPartOfTheWriteAndFailsReadsUntilRewritten) {
  Harness h(withFault(rule("splice", 303)));
  const auto data = pattern(300, 8, 512, 1);
  EXPECT_EQ(h.write(300, data).status, kStatusTaskAborted);
  std::vector<uint8_t> buffer(8 * 512);
  DeviceCompletion c = h.readInto(306, buffer);
  EXPECT_SENSE(c, kSenseHardwareError, 0x44, 0x00);
  uint16_t uec = 0;
  EXPECT_EQ(SenseParser::getUec(c.sense.data(), c.sense.size(), uec), 0);
  EXPECT_NE(uec, 0);
  EXPECT_SENSE(h.verify(300, data, kBytchkCompare, 1), kSenseHardwareError, 0x44, 0x00);
  EXPECT_EQ(h.read(308, 2), std::vector<uint8_t>(1024, 0));  // beside the range
  // A write of part of the range leaves it unreadable; one of all of it heals it.
  h.write(300, pattern(300, 2, 512, 2));
  buffer.resize(512);
  EXPECT_SENSE(h.readInto(300, buffer), kSenseHardwareError, 0x44, 0);
  h.write(300, pattern(300, 8, 512, 3));
  EXPECT_EQ(h.read(300, 8), pattern(300, 8, 512, 3));
  EXPECT_EQ(onlyFault(h), std::make_tuple("splice", 300u, 8u));
}

TEST(SimFaults, BadRulesAreRefusedWithTheirValue) {
  SimConfig c = smallConfig();
  const std::pair<FaultRule, const char*> rules[] = {
      {rule("corrupt", 4096), "fault 1: lba = 4096"},
      {rule("abort", {}, 1, {}, 1.5), "rate = 1.5"},
      {rule("reorder-reads"), "\"reorder-reads\" is not one of corrupt"},
  };
  for (const auto& [rule, message] : rules) {
    c.faults = {rule};
    EXPECT_NE(validateSimConfig(c).find(message), std::string::npos) << validateSimConfig(c);
  }
}

}  // namespace
}  // namespace varnox::sim

#include <gtest/gtest.h>

#include <set>

#include "SimDriveHarness.h"
#include "sim/SimulatedDrive.h"

namespace varnox::sim {
namespace {

using testing::Harness;
using testing::pattern;
using testing::smallConfig;

SimConfig withFault(FaultRule rule) {
  SimConfig c = smallConfig();
  c.atomicUnitBlocks = 16;
  c.faults.push_back(std::move(rule));
  return c;
}

FaultRule at(const char* kind, uint64_t lba) {
  FaultRule r;
  r.kind = kind;
  r.lba = lba;
  return r;
}

std::vector<uint8_t> blockOf(const std::vector<uint8_t>& data, uint64_t index) {
  return std::vector<uint8_t>(data.begin() + index * 512, data.begin() + (index + 1) * 512);
}

// What corrupt, lost-write and stale-read leave in the named block is pinned end to end by the
// fault-proof cases, which compare the dumped drive block with the reference byte for byte; here,
// that a rule fires once, and where misdirected data goes.
TEST(SimFaults, SilentDataFaultsFireOnceAndMisdirectedDataLandsElsewhere) {
  {
    Harness h(withFault(at("corrupt", 20)));
    EXPECT_EQ(h.write(16, pattern(16, 8, 512, 1)).status, kStatusGood);
    EXPECT_NE(h.read(20, 1), pattern(20, 1, 512, 1));
    h.write(20, pattern(20, 1, 512, 2));
    EXPECT_EQ(h.read(20, 1), pattern(20, 1, 512, 2));
    EXPECT_EQ(h.drive->stats().faultsInjected, 1u);
  }
  {
    Harness h(withFault(at("misdirect", 22)));
    EXPECT_EQ(h.write(22, pattern(22, 1, 512, 1)).status, kStatusGood);
    EXPECT_EQ(h.read(22, 1), std::vector<uint8_t>(512, 0));
    auto rest = h.read(0, 2048);
    int landed = 0;
    for (uint64_t lba = 0; lba < 2048; ++lba)
      if (blockOf(rest, lba) == pattern(22, 1, 512, 1)) ++landed;
    EXPECT_EQ(landed, 1);
  }
}

TEST(SimFaults, ErrorFaultsCompleteWithTheirSense) {
  {
    FaultRule rule = at("medium-error", 40);
    rule.count = 2;
    Harness h(withFault(rule));
    std::vector<uint8_t> buffer(8 * 512);
    DeviceCompletion c = h.readInto(36, buffer);
    EXPECT_SENSE(c, kSenseMediumError, 0x11, 0x00);
    EXPECT_EQ(c.bytesIn, 0u);
    uint8_t info[8] = {};
    ASSERT_EQ(SenseParser::getInformationBytes(c.sense.data(), c.sense.size(), info), 0);
    EXPECT_EQ(info[7], 40);
    // A read that does not cover the block is not hit; a verify that does is.
    EXPECT_EQ(h.read(41, 4), std::vector<uint8_t>(4 * 512, 0));
    EXPECT_SENSE(h.verify(40, buffer, kBytchkCompare, 1), kSenseMediumError, 0x11, 0x00);
    EXPECT_EQ(h.read(36, 8), buffer);  // count reached
  }
  // That a recovered error still does its command's work is a SimExposure case.
  {
    Harness h(withFault(at("hard-error", 60)));
    EXPECT_SENSE(h.write(60, pattern(60, 2, 512, 3)), kSenseHardwareError, 0x44, 0x00);
    EXPECT_EQ(h.read(60, 2), std::vector<uint8_t>(1024, 0));
  }
}

// The rules act through the drive's fault seam (before each command, after each stored block),
// so these tests and the corrupt one above pin the seam as well.
TEST(SimFaults, AbortsLandALeadingPartAndTornAtomicWritesTearOneUnit) {
  int partial = 0;
  for (uint64_t seed = 1; seed <= 10; ++seed) {
    FaultRule rule;
    rule.kind = "abort";
    SimConfig c = withFault(rule);
    c.seed = seed;
    Harness h(c);
    DeviceCompletion done = h.write(0, pattern(0, 8, 512, 1));
    EXPECT_EQ(done.status, kStatusTaskAborted);
    EXPECT_TRUE(done.sense.empty());
    auto got = h.read(0, 8);
    size_t landed = 0;
    while (landed < 8 && blockOf(got, landed) == blockOf(pattern(0, 8, 512, 1), landed)) ++landed;
    for (size_t i = landed; i < 8; ++i) EXPECT_EQ(blockOf(got, i), std::vector<uint8_t>(512, 0));
    if (landed > 0 && landed < 8) ++partial;
  }
  EXPECT_GT(partial, 0);

  for (uint64_t seed = 1; seed <= 10; ++seed) {
    FaultRule rule;
    rule.kind = "torn-atomic";
    SimConfig c = withFault(rule);
    c.seed = seed;
    Harness h(c);
    auto data = pattern(0, 12, 512, 1);
    ASSERT_EQ(h.submitAtomic(1, 0, data, 4), 0);
    EXPECT_EQ(h.finish(1).status, kStatusTaskAborted);
    auto got = h.read(0, 12);
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
}

TEST(SimFaults, ResetAndPowerLossRulesDropTheQueueAndRaiseAResetEvent) {
  for (const char* kind : {"reset", "power-loss"}) {
    SCOPED_TRACE(kind);
    FaultRule rule;
    rule.kind = kind;
    rule.after = 3;
    Harness h(withFault(rule));
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
    FaultRule rule;
    rule.kind = "corrupt";
    rule.rate = 0.25;
    rule.after = 50;
    rule.count = 0;  // no limit
    SimConfig c = withFault(rule);
    c.seed = seed;
    Harness h(c);
    std::vector<int> hit;
    for (uint64_t lba = 0; lba < 200; ++lba) {
      h.write(lba, pattern(lba, 1, 512, 1));
      hit.push_back(h.read(lba, 1) != pattern(lba, 1, 512, 1));
    }
    return hit;
  };
  std::vector<int> hit = run(5);
  int total = 0;
  for (size_t i = 0; i < hit.size(); ++i) {
    if (i < 25) {
      EXPECT_EQ(hit[i], 0) << "command " << 2 * i << " is before the start point";
    }
    total += hit[i];
  }
  EXPECT_GT(total, 10);
  EXPECT_LT(total, 80);
  EXPECT_EQ(run(5), hit);
  EXPECT_NE(run(6), hit);
}

TEST(SimFaults, ReorderedReadOvertakesTheOlderWriteItOverlaps) {
  FaultRule rule;
  rule.kind = "reorder";
  Harness h(withFault(rule));
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
  const std::vector<InjectedFault> faults = h.drive->injectedFaults();
  ASSERT_EQ(faults.size(), 1u);
  EXPECT_EQ(faults[0].kind, "reorder");
  EXPECT_EQ(faults[0].firstLba, 100u);
  EXPECT_EQ(faults[0].blocks, 6u);
}

TEST(SimFaults, SpliceLandsPartOfTheWriteAndFailsReadsUntilRewritten) {
  Harness h(withFault(at("splice", 303)));
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
  const std::vector<InjectedFault> faults = h.drive->injectedFaults();
  ASSERT_EQ(faults.size(), 1u);
  EXPECT_EQ(faults[0].kind, "splice");
  EXPECT_EQ(faults[0].firstLba, 300u);
  EXPECT_EQ(faults[0].blocks, 8u);
}

TEST(SimFaults, BadRulesAreRefusedWithTheirValue) {
  SimConfig c = smallConfig();
  c.faults.push_back(at("corrupt", 4096));
  EXPECT_NE(validateSimConfig(c).find("fault 1: lba = 4096"), std::string::npos) << validateSimConfig(c);
  c.faults[0] = FaultRule{"abort", {}, {}, 1.5, 1};
  EXPECT_NE(validateSimConfig(c).find("rate = 1.5"), std::string::npos) << validateSimConfig(c);
  c.faults[0].kind = "reorder-reads";
  EXPECT_NE(validateSimConfig(c).find("\"reorder-reads\" is not one of corrupt"), std::string::npos);
}

}  // namespace
}  // namespace varnox::sim

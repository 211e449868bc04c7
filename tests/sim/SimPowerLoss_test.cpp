#include <gtest/gtest.h>

#include <set>

#include "SimDriveHarness.h"
#include "sim/SimulatedDrive.h"
#include "tavik/Tavik.h"
#include "varnox/Errors.h"

namespace varnox::sim {
namespace {

using namespace testing;  // the harness, patterns and configurations

// Which of two known writes each block of a range shows: 0 the old, 1 the new, -1 neither.
std::vector<int> whichVersion(Harness& h, uint64_t lba, uint32_t blocks, uint8_t oldStamp, uint8_t newStamp) {
  const auto got = h.read(lba, blocks), oldData = pattern(lba, blocks, 512, oldStamp),
             newData = pattern(lba, blocks, 512, newStamp);
  std::vector<int> version;
  for (uint32_t i = 0; i < blocks; ++i) {
    auto same = [&](const std::vector<uint8_t>& v) { return std::equal(&v[i * 512], &v[(i + 1) * 512], &got[i * 512]); };
    version.push_back(same(newData) ? 1 : same(oldData) ? 0 : -1);
  }
  return version;
}

TEST(SimPowerLoss, OutstandingAtomicUnitsLandWholeOrNotAtAll) {
  int unitsKept = 0, unitsLost = 0, plainTorn = 0;
  for (uint64_t seed = 1; seed <= 12; ++seed) {
    SimConfig c = smallConfig();
    c.atomicUnitBlocks = 8;
    c.seed = seed;
    Harness h(c);
    h.write(0, pattern(0, 256, 512, 1));
    // Eight atomic writes of three 4-block units and eight plain 8-block writes, none completed.
    for (uint32_t i = 0; i < 8; ++i) ASSERT_EQ(h.submitAtomic(i, i * 16, pattern(i * 16, 12, 512, 2), 4), 0);
    for (uint32_t i = 0; i < 8; ++i)
      ASSERT_EQ(h.submitWrite(8 + i, 128 + i * 16, pattern(128 + i * 16, 8, 512, 2)), 0);
    ASSERT_EQ(h.drive->powerToggle(), 0);
    DeviceCompletion none;
    EXPECT_FALSE(h.drive->outstanding() || h.drive->poll(none, true));

    for (uint32_t i = 0; i < 8; ++i) {
      auto v = whichVersion(h, i * 16, 12, 1, 2);
      for (int unit = 0; unit < 3; ++unit) {
        const std::set<int> seen(v.begin() + unit * 4, v.begin() + unit * 4 + 4);
        ASSERT_TRUE(seen == std::set{0} || seen == std::set{1}) << "seed " << seed << " write " << i << " unit " << unit;
        (*seen.begin() == 1 ? unitsKept : unitsLost)++;
      }
    }
    for (uint32_t i = 0; i < 8; ++i) {
      // A plain write may be cut between blocks, but what landed is a leading part of it.
      auto v = whichVersion(h, 128 + i * 16, 8, 1, 2);
      ASSERT_TRUE(std::is_sorted(v.rbegin(), v.rend())) << "seed " << seed << " write " << i;
      ASSERT_GE(v.back(), 0);
      if (v.front() == 1 && v.back() == 0) ++plainTorn;
    }
  }
  // The draws cover every outcome, so the checks above were not vacuous.
  EXPECT_GT(unitsKept, 0);
  EXPECT_GT(unitsLost, 0);
  EXPECT_GT(plainTorn, 0);

  // A drive that keeps no old images (nothing in the test can cut its power) lands every write.
  SimConfig c = smallConfig();
  c.keepUndoImages = false;
  Harness h(c);
  h.write(0, pattern(0, 16, 512, 1));
  ASSERT_EQ(h.submitWrite(1, 0, pattern(0, 16, 512, 2)), 0);
  ASSERT_EQ(h.drive->powerToggle(), 0);
  EXPECT_EQ(whichVersion(h, 0, 16, 1, 2), std::vector<int>(16, 1));
}

// Completes the newest outstanding command first.
struct NewestFirst : FaultHook {
  uint32_t orderCompletion(const uint32_t*, uint32_t count, uint32_t) override { return count - 1; }
};

// What a completed command wrote or a completed read returned is what the drive holds: a later
// reset or power loss does not take it back (undoing an older write still in flight must not hide
// it), for an atomic write not even the rest of the unit a read saw part of.
TEST(SimPowerLoss, DataACompletedReadReturnedIsNeverRolledBack) {
  for (bool powerLoss : {false, true}) {
    for (uint64_t seed = 1; seed <= 8; ++seed) {
      SCOPED_TRACE(std::string(powerLoss ? "power loss" : "reset") + ", seed " + std::to_string(seed));
      SimConfig c = smallConfig();
      c.seed = seed;
      c.atomicUnitBlocks = 4;
      c.writeCache = WriteCacheMode::Protected;
      Harness h(c);
      NewestFirst hook;
      h.drive->setFaultHook(&hook);
      h.write(0, pattern(0, 16, 512, 1));
      ASSERT_EQ(h.submitWrite(1, 0, pattern(0, 4, 512, 2)), 0);
      ASSERT_EQ(h.submitAtomic(2, 8, pattern(8, 8, 512, 2), 4), 0);
      ASSERT_EQ(h.submitWrite(5, 20, pattern(20, 8, 512, 2)), 0);  // never completed, never read
      ASSERT_EQ(h.submitWrite(6, 24, pattern(24, 8, 512, 3)), 0);
      h.finish(6);
      for (uint64_t lba : {1, 9}) {
        std::vector<uint8_t> got(512);
        ASSERT_EQ(h.submitRead(3, lba, got), 0);
        h.finish(3);
        EXPECT_EQ(got, pattern(lba, 1, 512, 2));
      }
      ASSERT_EQ(powerLoss ? h.drive->powerToggle() : h.drive->reset(), 0);
      EXPECT_EQ(whichVersion(h, 1, 1, 1, 2), std::vector<int>{1});
      EXPECT_EQ(h.read(24, 8), pattern(24, 8, 512, 3));
      EXPECT_EQ(h.drive->stats().resets + h.drive->stats().powerCycles, 1u);
      EXPECT_EQ(whichVersion(h, 8, 4, 1, 2), std::vector<int>(4, 1));
      const std::vector<int> second = whichVersion(h, 12, 4, 1, 2);
      EXPECT_TRUE(second == std::vector<int>(4, 0) || second == std::vector<int>(4, 1));
    }
  }
}

TEST(SimPowerLoss, WriteCacheModesDecideWhatSurvives) {
  for (WriteCacheMode mode :
       {WriteCacheMode::WriteThrough, WriteCacheMode::Protected, WriteCacheMode::Volatile}) {
    SCOPED_TRACE(writeCacheModeName(mode));
    SimConfig c = smallConfig();
    c.writeCache = mode;
    Harness h(c);
    h.write(0, pattern(0, 8, 512, 1));
    EXPECT_EQ(h.sync().status, kStatusGood);
    h.write(4, pattern(4, 8, 512, 2));  // half over synced data, half over never-written blocks
    h.write(4, pattern(4, 2, 512, 3));  // written twice since the sync
    h.drive->reset();
    EXPECT_EQ(h.read(4, 2), pattern(4, 2, 512, 3)) << "a reset keeps the cache in every mode";
    ASSERT_EQ(h.drive->powerToggle(), 0);
    std::vector<uint8_t> expect = pattern(0, 8, 512, 1);
    if (mode == WriteCacheMode::Volatile) {
      expect.resize(12 * 512, 0);
    } else {
      expect.resize(4 * 512);
      auto second = pattern(4, 8, 512, 2);
      auto third = pattern(4, 2, 512, 3);
      expect.insert(expect.end(), third.begin(), third.end());
      expect.insert(expect.end(), second.begin() + 2 * 512, second.end());
    }
    EXPECT_EQ(h.read(0, 12), expect);
    // What a volatile cache held at the sync is on the medium for good.
    h.write(0, pattern(0, 1, 512, 4));
    h.sync();
    h.drive->powerToggle();
    EXPECT_EQ(h.read(0, 1), pattern(0, 1, 512, 4));
    EXPECT_EQ(h.drive->stats().powerCycles, 2u);
  }
}

TEST(SimCompletions, ShuffledCompletionsReturnEveryTagOnce) {
  SimConfig c = smallConfig();
  c.shuffleCompletions = true;
  c.seed = 7;
  Harness h(c);
  std::vector<uint8_t> out(512);
  std::vector<uint32_t> order;
  bool heldBack = false;
  uint32_t next = 0;
  // Keep the queue busy: submit while tags are free, poll without waiting, and wait when full.
  while (order.size() < 300) {
    if (next < 300 && h.drive->outstanding() < c.queueDepth) {
      ASSERT_EQ(h.submitWrite(next % 1024, next, pattern(next, 1, 512, 1)), 0);
      ++next;
    }
    DeviceCompletion done;
    if (h.drive->poll(done, h.drive->outstanding() == c.queueDepth || next == 300)) {
      EXPECT_EQ(done.status, kStatusGood);
      order.push_back(done.tag);
    } else {
      heldBack = true;
    }
  }
  EXPECT_TRUE(heldBack);
  EXPECT_FALSE(std::is_sorted(order.begin(), order.end()));
  std::sort(order.begin(), order.end());
  for (uint32_t i = 0; i < 300; ++i) ASSERT_EQ(order[i], i);
  DeviceCompletion none;
  EXPECT_FALSE(h.drive->poll(none, true));
}

// That a fixed seed replays a whole run, completion order included, is pinned through the command
// line (CommandLine.ShortRunPassesAndRepeatsExactlyWithTheSameSeed).
TEST(SimDeviceRequests, ShowstopStopsTheDriveAndRequestsAreAnswered) {
  SimConfig c = smallConfig();
  c.deviceProperty = 0x1234;
  Harness h(c);
  Tavik tavik(h.drive.get(), 3);
  uint32_t property = 0xFFFFFFFF;
  EXPECT_EQ(tavik.ioctl(kIoctlDeviceProperty, 1, &property), 0);
  EXPECT_EQ(property, 0x1234u);
  uint32_t saved = 99, one = 1;
  EXPECT_EQ(tavik.ioctl(kIoctlGetSetting, 1, &saved), 0);
  EXPECT_EQ(saved, 0u);
  EXPECT_EQ(tavik.ioctl(kIoctlSetSetting, 1, &one), 0);
  EXPECT_EQ(tavik.ioctl(kIoctlGetSetting, 1, &saved), 0);
  EXPECT_EQ(saved, 1u);
  uint32_t zero = 0;
  EXPECT_EQ(tavik.ioctl(4242, 1, &zero), VARNOX_ERR_NOT_SUPPORTED);
  EXPECT_EQ(h.drive->ioctl(kIoctlMiscompareLba, 1, nullptr), VARNOX_ERR_BAD_VALUE);

  // Another vendor block is not a showstop.
  ShowstopRequest other;
  other.cdb[0] = 0xD5;
  EXPECT_NE(tavik.send(&other), 0);
  EXPECT_FALSE(h.drive->stopped());

  ASSERT_EQ(h.submitWrite(5, 0, pattern(0, 1, 512, 1)), 0);
  ShowstopRequest showstop;
  EXPECT_EQ(tavik.send(&showstop), 0);
  EXPECT_TRUE(h.drive->stopped());
  EXPECT_EQ(h.submitWrite(6, 1, pattern(1, 1, 512, 1)), VARNOX_ERR_DEVICE);
  h.finish(5);  // what was accepted before still completes
  h.drive->powerToggle();
  EXPECT_TRUE(h.drive->stopped());
}

}  // namespace
}  // namespace varnox::sim

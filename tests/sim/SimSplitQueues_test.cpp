// A simulated drive split among slices: threads on their own tags and blocks submit and poll at
// once and each gets back exactly its own commands and data, and a power cut still reaches every
// group's commands and the whole volatile cache.
#include <gtest/gtest.h>

#include <atomic>
#include <barrier>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "sim/SimDriveHarness.h"
#include "sim/SplitWorker.h"
#include "tavik/Cdb.h"

namespace varnox::sim {
namespace {

using testing::command;
using testing::GroupWorker;
using testing::kBlockBytes;
using testing::kDepth;
using testing::kGroupBlocks;
using testing::kGroups;
using testing::stamped;

SimConfig splitConfig(WriteCacheMode cache) {
  SimConfig config = testing::smallConfig();
  config.capacityBlocks = kGroups * kGroupBlocks;
  config.queueDepth = kGroups * kDepth;
  config.shuffleCompletions = true;
  config.writeCache = cache;
  config.keepUndoImages = true;
  return config;
}

TEST(SimSplitQueues, TwoGroupsAtOnceEachGetTheirOwnCompletionsAndData) {
  for (WriteCacheMode cache : {WriteCacheMode::WriteThrough, WriteCacheMode::Volatile}) {
    testing::Harness h(splitConfig(cache));
    ASSERT_TRUE(h.drive->splitQueues(kGroups, kDepth));
    std::atomic<uint32_t> failures{0};
    constexpr uint32_t kRounds = 200;
    std::vector<std::thread> threads;
    for (uint32_t g = 0; g < kGroups; ++g)
      threads.emplace_back([&, g] { GroupWorker{*h.device, g, failures}.run(kRounds); });
    for (auto& t : threads) t.join();
    EXPECT_EQ(failures.load(), 0u) << writeCacheModeName(cache);
    const DeviceStats stats = h.device->stats();
    EXPECT_EQ(stats.blocksWritten, uint64_t{kGroups} * kRounds * kDepth);
    EXPECT_EQ(stats.blocksRead, uint64_t{kGroups} * kRounds * kDepth);
    EXPECT_EQ(stats.commands, 2ull * kGroups * kRounds * kDepth);
    EXPECT_EQ(h.device->outstanding(), 0u);
  }
}

TEST(SimSplitQueues, APowerCutLosesEveryGroupsUnsyncedWritesAndOutstandingCommands) {
  testing::Harness h(splitConfig(WriteCacheMode::Volatile));
  ASSERT_TRUE(h.drive->splitQueues(kGroups, kDepth));
  std::atomic<uint32_t> failures{0};
  std::barrier meet(kGroups);
  std::vector<std::thread> threads;
  for (uint32_t g = 0; g < kGroups; ++g) {
    threads.emplace_back([&, g] {
      GroupWorker w{*h.device, g, failures};
      std::vector<std::vector<uint8_t>> data(kDepth);
      // Every block of the group written (round 0, then 1 over it), then flushed by group 0.
      for (uint32_t round = 0; round < 2 * kGroupBlocks / kDepth; ++round) w.writeRound(round, data);
      meet.arrive_and_wait();
      if (g == 0) {
        uint8_t cdb[kCdbMaxBytes];
        if (h.device->submit(command(0, cdb, buildSynchronizeCache16(cdb))) != 0) ++failures;
        DeviceCompletion c;
        if (!h.device->pollTags(c, true, 0, kDepth) || c.status != kStatusGood) ++failures;
      }
      meet.arrive_and_wait();
      // Round 2 over every block, completed, and round 3 over some, left outstanding: all unsynced.
      for (uint32_t round = 2 * kGroupBlocks / kDepth; round < 3 * kGroupBlocks / kDepth; ++round)
        w.writeRound(round, data);
      for (uint32_t s = 0; s < kDepth; ++s) {
        data[s] = stamped(g, w.lbaOf(s, 0), 99);
        uint8_t cdb[kCdbMaxBytes];
        DeviceCommand c = command(w.tagOf(s), cdb, buildWrite16(cdb, w.lbaOf(s, 0), 1));
        c.dataOut = data[s].data();
        c.dataOutBytes = data[s].size();
        if (h.device->submit(c) != 0) ++failures;
      }
      meet.arrive_and_wait();
      // The cut comes while both groups have commands outstanding; nothing can be polled after it.
      if (g == 0) h.device->powerToggle();
      meet.arrive_and_wait();
      DeviceCompletion c;
      if (h.device->pollTags(c, true, g * kDepth, (g + 1) * kDepth)) ++failures;
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(failures.load(), 0u);
  EXPECT_EQ(h.device->outstanding(), 0u);
  // Every block is back to what the sync flushed, exactly, in both groups.
  for (uint32_t g = 0; g < kGroups; ++g) {
    const std::vector<uint8_t> all = h.read(g * kGroupBlocks, kGroupBlocks);
    uint32_t wrong = 0;
    for (uint64_t i = 0; i < kGroupBlocks; ++i) {
      const uint64_t lba = g * kGroupBlocks + i;
      // Round r writes blocks (r * kDepth + s) % kGroupBlocks: the second pass before the sync
      // wrote block i last, in round kGroupBlocks / kDepth + i / kDepth.
      const uint32_t round = static_cast<uint32_t>(kGroupBlocks / kDepth + i / kDepth);
      wrong += std::memcmp(all.data() + i * kBlockBytes, stamped(g, lba, round).data(), kBlockBytes) != 0;
    }
    EXPECT_EQ(wrong, 0u) << "group " << g;
  }
}

TEST(SimSplitQueues, ADriveWithFaultsKeptMediumOrZonesTakesOneCallAtATime) {
  SimConfig faults = splitConfig(WriteCacheMode::WriteThrough);
  FaultRule corrupt;
  corrupt.kind = "corrupt";
  faults.faults.push_back(corrupt);
  SimConfig zoned = splitConfig(WriteCacheMode::WriteThrough);
  zoned.zones = ZoneKind::HostAware;
  zoned.zoneBlocks = 256;
  for (const SimConfig& config : {faults, zoned}) {
    testing::Harness h(config);
    EXPECT_FALSE(h.drive->splitQueues(kGroups, kDepth));
  }
  testing::Harness plain(splitConfig(WriteCacheMode::WriteThrough));
  EXPECT_FALSE(plain.drive->splitQueues(kGroups, 1024));  // more tags than the drive has
  std::vector<uint8_t> block = stamped(0, 0, 0);
  ASSERT_EQ(plain.submitWrite(0, 0, block), 0);
  EXPECT_FALSE(plain.drive->splitQueues(kGroups, kDepth));  // a command outstanding
  plain.finish(0);
  EXPECT_TRUE(plain.drive->splitQueues(kGroups, kDepth));
}

}  // namespace
}  // namespace varnox::sim

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
#include "tavik/Cdb.h"

namespace varnox::sim {
namespace {

constexpr uint32_t kGroups = 2;
constexpr uint32_t kDepth = 16;
constexpr uint64_t kGroupBlocks = 1024;
constexpr uint32_t kBlockBytes = 512;

// A block's content names the group, the block and the round that wrote it in every word, so a
// block holding another's data, a torn block or a stale round all show.
std::vector<uint8_t> stamped(uint32_t group, uint64_t lba, uint32_t round) {
  std::vector<uint8_t> block(kBlockBytes);
  for (size_t i = 0; i < block.size(); i += 16) {
    const uint64_t words[2] = {(uint64_t{group} << 56) | lba, (uint64_t{round} << 16) | i};
    std::memcpy(block.data() + i, words, sizeof words);
  }
  return block;
}

DeviceCommand command(uint32_t tag, const uint8_t* cdb, size_t n) {
  DeviceCommand c{.tag = tag, .cdbLength = static_cast<uint32_t>(n)};
  std::copy(cdb, cdb + n, c.cdb);
  return c;
}

// One group's thread: `depth` writes of one block each in flight, polled back, then read back and
// compared, for `rounds` rounds. Failures are counted, not asserted, off the test's thread.
struct GroupWorker {
  Device& device;
  uint32_t group;
  std::atomic<uint32_t>& failures;
  std::vector<std::vector<uint8_t>> reads = std::vector<std::vector<uint8_t>>(kDepth);

  uint64_t lbaOf(uint32_t slot, uint32_t round) const {
    return group * kGroupBlocks + (uint64_t{round} * kDepth + slot) % kGroupBlocks;
  }
  uint32_t tagOf(uint32_t slot) const { return group * kDepth + slot; }

  // Polls until every tag of the group came back once, GOOD.
  void drain() {
    std::vector<bool> back(kDepth, false);
    for (uint32_t got = 0, tries = 0; got < kDepth && tries < 1'000'000; ++tries) {
      DeviceCompletion c;
      if (!device.pollTags(c, true, group * kDepth, (group + 1) * kDepth)) continue;
      const uint32_t slot = c.tag - group * kDepth;
      if (c.tag < group * kDepth || slot >= kDepth || back[slot] || c.status != kStatusGood) ++failures;
      if (slot < kDepth) back[slot] = true;
      ++got;
    }
    for (bool b : back) failures += b ? 0 : 1;
  }

  void writeRound(uint32_t round, std::vector<std::vector<uint8_t>>& data) {
    for (uint32_t s = 0; s < kDepth; ++s) {
      data[s] = stamped(group, lbaOf(s, round), round);
      uint8_t cdb[kCdbMaxBytes];
      DeviceCommand c = command(tagOf(s), cdb, buildWrite16(cdb, lbaOf(s, round), 1));
      c.dataOut = data[s].data();
      c.dataOutBytes = data[s].size();
      if (device.submit(c) != 0) ++failures;
    }
    drain();
  }

  void run(uint32_t rounds) {
    std::vector<std::vector<uint8_t>> data(kDepth);
    for (uint32_t round = 0; round < rounds; ++round) {
      writeRound(round, data);
      for (uint32_t s = 0; s < kDepth; ++s) {
        reads[s].assign(kBlockBytes, 0xEE);
        uint8_t cdb[kCdbMaxBytes];
        DeviceCommand c = command(tagOf(s), cdb, buildRead16(cdb, lbaOf(s, round), 1));
        c.dataIn = reads[s].data();
        c.dataInBytes = reads[s].size();
        if (device.submit(c) != 0) ++failures;
      }
      drain();
      for (uint32_t s = 0; s < kDepth; ++s) failures += reads[s] == data[s] ? 0 : 1;
    }
  }
};

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

// A file split among the slices of a drive: each group of tags with its own io_uring, threads
// submitting and polling at once, and a power toggle from one thread letting go of every group's
// commands.
#include <gtest/gtest.h>

#include <barrier>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "blockdev/BlockDevice.h"
#include "sim/SimDriveHarness.h"
#include "sim/SplitWorker.h"
#include "support/TempDir.h"
#include "tavik/Cdb.h"

namespace varnox::blockdev {
namespace {

using sim::testing::command;
using sim::testing::GroupWorker;
using sim::testing::kBlockBytes;
using sim::testing::kDepth;
using sim::testing::kGroupBlocks;
using sim::testing::kGroups;
using sim::testing::stamped;

class BlockDeviceSplitTest : public testing::TempDirTest {
 protected:
  std::unique_ptr<BlockDevice> open(bool powerControl, bool direct = false) {
    DeviceSpec s;
    s.kind = path("disk.img");
    s.capacityBlocks = kGroups * kGroupBlocks;
    s.logicalBlockSize = kBlockBytes;
    s.queueDepth = kGroups * kDepth;
    s.directIo = direct;
    if (powerControl) {
      s.powerOff = {"true"};
      s.powerOn = {"true"};
      s.powerTimeoutSeconds = 5;
    }
    std::string error;
    int status = 0;
    std::vector<std::string> warnings;
    std::unique_ptr<BlockDevice> device = BlockDevice::open(s, error, status, warnings);
    EXPECT_TRUE(device) << error;
    return device;
  }
};

TEST_F(BlockDeviceSplitTest, TwoGroupsAtOnceEachGetTheirOwnCompletionsAndData) {
  std::unique_ptr<BlockDevice> device = open(false);
  ASSERT_TRUE(device);
  ASSERT_TRUE(device->splitQueues(kGroups, kDepth));
  std::atomic<uint32_t> failures{0};
  constexpr uint32_t kRounds = 100;
  std::vector<std::thread> threads;
  for (uint32_t g = 0; g < kGroups; ++g)
    threads.emplace_back([&, g] { GroupWorker{*device, g, failures}.run(kRounds); });
  for (auto& t : threads) t.join();
  EXPECT_EQ(failures.load(), 0u);
  const DeviceStats stats = device->stats();
  EXPECT_EQ(stats.blocksWritten, uint64_t{kGroups} * kRounds * kDepth);
  EXPECT_EQ(stats.blocksRead, uint64_t{kGroups} * kRounds * kDepth);
  EXPECT_EQ(stats.commands, 2ull * kGroups * kRounds * kDepth);
  EXPECT_EQ(device->outstanding(), 0u);
}

// Buffered and direct: a direct request completes through the thread that submitted it.
TEST_F(BlockDeviceSplitTest, APowerToggleFromOneThreadLetsGoOfEveryGroupsCommands) {
  for (bool direct : {false, true}) {
    SCOPED_TRACE(direct ? "direct" : "buffered");
    std::filesystem::remove(path("disk.img"));
    sim::testing::Harness h(open(true, direct), kBlockBytes);
    ASSERT_TRUE(h.device);
    ASSERT_TRUE(h.device->splitQueues(kGroups, kDepth));
    std::atomic<uint32_t> failures{0};
    std::barrier meet(kGroups);
    // The buffers of the commands in flight live until the toggle has let go of them.
    std::vector<std::vector<std::vector<uint8_t>>> inFlight(kGroups,
                                                            std::vector<std::vector<uint8_t>>(kDepth));
    constexpr uint32_t kRounds = 2 * kGroupBlocks / kDepth;
    std::vector<std::thread> threads;
    for (uint32_t g = 0; g < kGroups; ++g) {
      threads.emplace_back([&, g] {
        GroupWorker w{*h.device, g, failures};
        std::vector<std::vector<uint8_t>> data(kDepth);
        for (uint32_t round = 0; round < kRounds; ++round) w.writeRound(round, data);
        // Then a write of each tag left in flight over the blocks of round 0.
        for (uint32_t s = 0; s < kDepth; ++s) {
          inFlight[g][s] = stamped(g, w.lbaOf(s, 0), 999);
          uint8_t cdb[kCdbMaxBytes];
          DeviceCommand c = command(w.tagOf(s), cdb, buildWrite16(cdb, w.lbaOf(s, 0), 1));
          c.dataOut = inFlight[g][s].data();
          c.dataOutBytes = inFlight[g][s].size();
          if (h.device->submit(c) != 0) ++failures;
        }
        meet.arrive_and_wait();
        if (g == 0 && h.device->powerToggle() != 0) ++failures;
        meet.arrive_and_wait();
        DeviceCompletion late;
        if (h.device->pollTags(late, true, g * kDepth, (g + 1) * kDepth)) ++failures;
      });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(failures.load(), 0u) << h.device->lastPowerToggle();
    EXPECT_TRUE(h.device->lastPowerToggle().ends_with("; 32 commands in flight lost"))
        << h.device->lastPowerToggle();
    EXPECT_EQ(h.device->outstanding(), 0u);
    // Every block holds its last completed write, or whole the write in flight over it.
    for (uint32_t g = 0; g < kGroups; ++g) {
      const std::vector<uint8_t> all = h.read(g * kGroupBlocks, kGroupBlocks);
      uint32_t wrong = 0;
      for (uint64_t i = 0; i < kGroupBlocks; ++i) {
        const uint64_t lba = g * kGroupBlocks + i;
        const auto block = all.begin() + static_cast<std::ptrdiff_t>(i * kBlockBytes);
        const bool last =
            std::equal(block, block + kBlockBytes,
                       stamped(g, lba, static_cast<uint32_t>(kGroupBlocks / kDepth + i / kDepth)).begin());
        const bool flying =
            i < kDepth && std::equal(block, block + kBlockBytes, stamped(g, lba, 999).begin());
        wrong += last || flying ? 0 : 1;
      }
      EXPECT_EQ(wrong, 0u) << "group " << g;
    }
    // And both groups take commands again.
    GroupWorker again{*h.device, 1, failures};
    again.run(1);
    EXPECT_EQ(failures.load(), 0u);
  }
}

}  // namespace
}  // namespace varnox::blockdev

// The slices of a drive on their own threads: pinned where the test says, and calling one shared
// simulated drive at once while one of them cuts its power.
#include <gtest/gtest.h>
#include <pthread.h>
#include <sched.h>

#include <atomic>
#include <thread>
#include <vector>

#include "sim/SimDriveHarness.h"
#include "sim/SplitWorker.h"
#include "tavik/Cdb.h"
#include "varnox/DeviceSlices.h"
#include "varnox/DriveSlices.h"

namespace varnox {
namespace {

using sim::testing::command;
using sim::testing::kBlockBytes;
using sim::testing::kDepth;
using sim::testing::kGroupBlocks;
using sim::testing::kGroups;
using sim::testing::stamped;

TEST(SliceThreads, APinnedThreadRunsOnlyOnItsCpu) {
  cpu_set_t allowed;
  ASSERT_EQ(sched_getaffinity(0, sizeof allowed, &allowed), 0);
  uint32_t tried = 0;
  for (uint32_t cpu = 0; cpu < CPU_SETSIZE && tried < 4; ++cpu) {
    if (!CPU_ISSET(cpu, &allowed)) continue;
    ++tried;
    std::thread([cpu] {
      ASSERT_TRUE(pinThisThread(cpu));
      cpu_set_t set;
      ASSERT_EQ(pthread_getaffinity_np(pthread_self(), sizeof set, &set), 0);
      EXPECT_EQ(CPU_COUNT(&set), 1) << cpu;
      EXPECT_TRUE(CPU_ISSET(cpu, &set)) << cpu;
      EXPECT_EQ(sched_getcpu(), static_cast<int>(cpu));
    }).join();
  }
  EXPECT_GT(tried, 0u);
  // The process itself keeps every CPU it had.
  cpu_set_t after;
  ASSERT_EQ(sched_getaffinity(0, sizeof after, &after), 0);
  EXPECT_TRUE(CPU_EQUAL(&allowed, &after));
}

// One slice's thread: rounds of kDepth one-block writes, polled back and read back, until told to
// stop; a device event ends the round, whose commands are then lost to it.
struct SliceWorker {
  Device& view;
  uint32_t slice;
  std::atomic<uint32_t>& failures;
  uint32_t events = 0;
  uint32_t verifiedRounds = 0;

  uint64_t lbaOf(uint32_t s, uint32_t round) const {
    return slice * kGroupBlocks + (uint64_t{round} * kDepth + s) % kGroupBlocks;
  }
  // False when an event took the commands of the round.
  bool drain() {
    for (uint32_t got = 0; got < kDepth;) {
      DeviceCompletion c;
      if (view.poll(c, true)) {
        if (c.tag >= kDepth || c.status != kStatusGood) ++failures;
        ++got;
      } else if (view.takeResetEvent()) {
        ++events;
        if (view.outstanding() != 0) ++failures;
        return false;
      }
    }
    return true;
  }
  void run(uint32_t rounds, uint32_t toggleAt) {
    std::vector<std::vector<uint8_t>> data(kDepth), reads(kDepth);
    for (uint32_t round = 0; round < rounds; ++round) {
      if (round == toggleAt && view.powerToggle() != 0) ++failures;
      for (uint32_t s = 0; s < kDepth; ++s) {
        data[s] = stamped(slice, lbaOf(s, round), round);
        uint8_t cdb[kCdbMaxBytes];
        DeviceCommand c = command(s, cdb, buildWrite16(cdb, lbaOf(s, round), 1));
        c.dataOut = data[s].data();
        c.dataOutBytes = data[s].size();
        if (view.submit(c) != 0) ++failures;
      }
      if (!drain()) continue;
      for (uint32_t s = 0; s < kDepth; ++s) {
        reads[s].assign(kBlockBytes, 0xEE);
        uint8_t cdb[kCdbMaxBytes];
        DeviceCommand c = command(s, cdb, buildRead16(cdb, lbaOf(s, round), 1));
        c.dataIn = reads[s].data();
        c.dataInBytes = reads[s].size();
        if (view.submit(c) != 0) ++failures;
      }
      if (!drain()) continue;
      // A read the event did not take returns the round's data exactly.
      for (uint32_t s = 0; s < kDepth; ++s) failures += reads[s] == data[s] ? 0 : 1;
      ++verifiedRounds;
    }
  }
};

TEST(SliceThreads, APowerCutOfOneSliceReachesTheOtherOnceWhileBothRun) {
  sim::SimConfig config = sim::testing::smallConfig();
  config.capacityBlocks = kGroups * kGroupBlocks;
  config.queueDepth = kGroups * kDepth;
  config.shuffleCompletions = true;
  config.writeCache = sim::WriteCacheMode::Volatile;
  sim::testing::Harness drive(config);
  DeviceSlices slices(*drive.device, kGroups, kDepth);
  ASSERT_TRUE(slices.parallel());
  std::atomic<uint32_t> failures{0};
  constexpr uint32_t kRounds = 400;
  std::vector<SliceWorker> workers;
  for (uint32_t i = 0; i < kGroups; ++i) workers.push_back({slices.slice(i), i, failures});
  std::vector<std::thread> threads;
  for (uint32_t i = 0; i < kGroups; ++i)
    threads.emplace_back([&, i] { workers[i].run(kRounds, i == 0 ? kRounds / 2 : UINT32_MAX); });
  for (auto& t : threads) t.join();
  // A slice that ended before the cut takes it now.
  for (SliceWorker& w : workers)
    while (w.view.takeResetEvent()) ++w.events;
  EXPECT_EQ(failures.load(), 0u);
  // The slice that cut the power is told of no event; the other is told once.
  EXPECT_EQ(workers[0].events, 0u);
  EXPECT_EQ(workers[1].events, 1u);
  EXPECT_EQ(workers[0].verifiedRounds, kRounds);
  EXPECT_GE(workers[1].verifiedRounds, kRounds - 1);
  EXPECT_EQ(slices.powerCycles(), 1u);
  ASSERT_EQ(slices.events().size(), 1u);
  EXPECT_EQ(slices.events()[0].kind, "power cycle");
  EXPECT_EQ(drive.device->stats().powerCycles, 1u);
  EXPECT_EQ(drive.device->outstanding(), 0u);
}

TEST(SliceThreads, ADriveWithFaultRulesIsCalledOneSliceAtATime) {
  sim::SimConfig config = sim::testing::smallConfig();
  FaultRule corrupt;
  corrupt.kind = "corrupt";
  config.faults.push_back(corrupt);
  sim::testing::Harness drive(config);
  DeviceSlices slices(*drive.device, kGroups, kDepth);
  EXPECT_FALSE(slices.parallel());
}

}  // namespace
}  // namespace varnox

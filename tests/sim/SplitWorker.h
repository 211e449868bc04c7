#pragma once
// One thread of a device split among slices (Device::splitQueues) in tests: its own tags and
// blocks, writes of blocks stamped with group, LBA and round, polled back and read back.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <vector>

#include "tavik/Cdb.h"
#include "tavik/Device.h"

namespace varnox::sim::testing {

inline constexpr uint32_t kGroups = 2;
inline constexpr uint32_t kDepth = 16;
inline constexpr uint64_t kGroupBlocks = 1024;
inline constexpr uint32_t kBlockBytes = 512;

// A block's content names the group, the block and the round that wrote it in every word, so a
// block holding another's data, a torn block or a stale round all show.
inline std::vector<uint8_t> stamped(uint32_t group, uint64_t lba, uint32_t round) {
  std::vector<uint8_t> block(kBlockBytes);
  for (size_t i = 0; i < block.size(); i += 16) {
    const uint64_t words[2] = {(uint64_t{group} << 56) | lba, (uint64_t{round} << 16) | i};
    std::memcpy(block.data() + i, words, sizeof words);
  }
  return block;
}

inline DeviceCommand command(uint32_t tag, const uint8_t* cdb, size_t n) {
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

}  // namespace varnox::sim::testing

#pragma once
// Short-hand for driving a SimulatedDrive (or any other device) in tests: each helper builds one command, submits it
// and, where it says so, waits for its completion.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "sim/SimulatedDrive.h"
#include "tavik/Cdb.h"
#include "tavik/SenseParser.h"

namespace varnox::sim::testing {

// Block contents that differ per LBA and per write.
inline std::vector<uint8_t> pattern(uint64_t lba, uint32_t blocks, uint32_t blockBytes, uint8_t stamp) {
  std::vector<uint8_t> data(uint64_t{blocks} * blockBytes);
  for (size_t i = 0; i < data.size(); ++i)
    data[i] = static_cast<uint8_t>(stamp * 37 + (lba + i / blockBytes) * 13 + i % blockBytes);
  return data;
}

inline SimConfig smallConfig() {
  SimConfig c;
  c.capacityBlocks = 4096;
  c.queueDepth = 64;
  c.shuffleCompletions = false;
  return c;
}

struct Harness {
  std::unique_ptr<SimulatedDrive> drive;  // null when the harness drives another device
  std::unique_ptr<Device> owned;
  Device* device = nullptr;
  uint32_t blockBytes = 512;

  explicit Harness(const SimConfig& config) : blockBytes(config.logicalBlockSize) {
    std::string error;
    drive = SimulatedDrive::create(config, error);
    EXPECT_NE(drive, nullptr) << error;
    device = drive.get();
  }
  // A file, a block device, or a device wrapping one.
  Harness(std::unique_ptr<Device> other, uint32_t blockSize)
      : owned(std::move(other)), device(owned.get()), blockBytes(blockSize) {}

  uint32_t blocksIn(size_t bytes, uint8_t protect) const {
    return static_cast<uint32_t>(bytes / (blockBytes + (protect ? 8 : 0)));
  }
  int submitCdb(uint32_t tag, const uint8_t* cdb, size_t cdbBytes, const uint8_t* out = nullptr,
                uint64_t outBytes = 0, uint8_t* in = nullptr, uint64_t inBytes = 0) {
    DeviceCommand c{.tag = tag, .cdbLength = static_cast<uint32_t>(cdbBytes), .dataOut = out,
                    .dataOutBytes = outBytes, .dataIn = in, .dataInBytes = inBytes};
    std::copy(cdb, cdb + cdbBytes, c.cdb);
    return device->submit(c);
  }
  int submitWrite(uint32_t tag, uint64_t lba, const std::vector<uint8_t>& data, uint8_t protect = 0) {
    uint8_t cdb[kCdbMaxBytes];
    const size_t n = buildWrite16(cdb, lba, blocksIn(data.size(), protect), protect);
    return submitCdb(tag, cdb, n, data.data(), data.size());
  }
  int submitAtomic(uint32_t tag, uint64_t lba, const std::vector<uint8_t>& data, uint16_t boundary) {
    uint8_t cdb[kCdbMaxBytes];
    const size_t n = buildWriteAtomic16(cdb, lba, static_cast<uint16_t>(blocksIn(data.size(), 0)), boundary);
    return submitCdb(tag, cdb, n, data.data(), data.size());
  }
  int submitRead(uint32_t tag, uint64_t lba, std::vector<uint8_t>& into, uint8_t protect = 0) {
    uint8_t cdb[kCdbMaxBytes];
    const size_t n = buildRead16(cdb, lba, blocksIn(into.size(), protect), protect);
    return submitCdb(tag, cdb, n, nullptr, 0, into.data(), into.size());
  }
  // The next completion; false once nothing is outstanding. A file or block device gives up
  // each wait after a while (a sync on a busy machine may take longer): waited for again while a
  // command is outstanding, for up to a minute.
  bool next(DeviceCompletion& c) {
    for (int tries = 0; tries < 600 && device->outstanding() > 0; ++tries)
      if (device->poll(c, true)) return true;
    return false;
  }
  // Waits for the completion of `tag`, failing the test if another one comes back first.
  DeviceCompletion finish(uint32_t tag) {
    DeviceCompletion c;
    const bool done = next(c);
    EXPECT_TRUE(done);
    EXPECT_EQ(c.tag, tag);
    return c;
  }
  // Submitted with tag 900 and waited for.
  DeviceCompletion runCdb(const uint8_t* cdb, size_t cdbBytes, const uint8_t* out = nullptr,
                          uint64_t outBytes = 0, uint8_t* in = nullptr, uint64_t inBytes = 0) {
    EXPECT_EQ(submitCdb(900, cdb, cdbBytes, out, outBytes, in, inBytes), 0);
    return finish(900);
  }
  DeviceCompletion write(uint64_t lba, const std::vector<uint8_t>& data, uint8_t protect = 0) {
    EXPECT_EQ(submitWrite(900, lba, data, protect), 0);
    return finish(900);
  }
  DeviceCompletion readInto(uint64_t lba, std::vector<uint8_t>& into, uint8_t protect = 0) {
    EXPECT_EQ(submitRead(900, lba, into, protect), 0);
    return finish(900);
  }
  // A read that must complete GOOD.
  std::vector<uint8_t> read(uint64_t lba, uint32_t blocks, uint8_t protect = 0) {
    std::vector<uint8_t> data(uint64_t{blocks} * (blockBytes + (protect ? 8 : 0)), 0xEE);
    DeviceCompletion c = readInto(lba, data, protect);
    EXPECT_EQ(c.status, kStatusGood);
    EXPECT_EQ(c.bytesIn, data.size());
    return data;
  }
  // VERIFY of `blocks` (default: as many as `data` holds) comparing `data` as `bytchk` says.
  DeviceCompletion verify(uint64_t lba, const std::vector<uint8_t>& data, uint8_t bytchk = kBytchkCompare,
                          uint32_t blocks = 0, uint8_t protect = 0) {
    uint8_t cdb[kCdbMaxBytes];
    const size_t n = buildVerify16(cdb, lba, blocks ? blocks : blocksIn(data.size(), protect), bytchk, protect);
    return runCdb(cdb, n, data.data(), data.size());
  }
  DeviceCompletion writeSame(uint64_t lba, uint32_t blocks, const std::vector<uint8_t>& block, bool unmap = false) {
    uint8_t cdb[kCdbMaxBytes];
    return runCdb(cdb, buildWriteSame16(cdb, lba, blocks, unmap), block.data(), block.size());
  }
  DeviceCompletion unmap(const std::vector<UnmapRange>& ranges) {
    std::vector<uint8_t> list(unmapParameterListBytes(static_cast<uint32_t>(ranges.size())));
    buildUnmapParameterList(list.data(), list.size(), ranges.data(), static_cast<uint32_t>(ranges.size()));
    uint8_t cdb[kCdbMaxBytes];
    return runCdb(cdb, buildUnmap10(cdb, static_cast<uint16_t>(list.size())), list.data(), list.size());
  }
  DeviceCompletion sync() {
    uint8_t cdb[kCdbMaxBytes];
    return runCdb(cdb, buildSynchronizeCache16(cdb));
  }
};

inline Kcq senseOf(const DeviceCompletion& c) {
  Kcq kcq;
  EXPECT_EQ(SenseParser::getKey(c.sense.data(), c.sense.size(), kcq), 0);
  EXPECT_EQ(SenseParser::getCode(c.sense.data(), c.sense.size(), kcq), 0);
  EXPECT_EQ(SenseParser::getQual(c.sense.data(), c.sense.size(), kcq), 0);
  return kcq;
}

// The sense data's information field (an LBA, or a miscompare's byte offset).
inline uint64_t information(const DeviceCompletion& c) {
  uint8_t info[8] = {};
  EXPECT_EQ(SenseParser::getInformationBytes(c.sense.data(), c.sense.size(), info), 0);
  uint64_t v = 0;
  for (uint8_t b : info) v = v << 8 | b;
  return v;
}

// Evaluates `completion` once: it is often the command itself.
#define EXPECT_SENSE(completion, k, a, q)                              \
  do {                                                                 \
    const ::varnox::DeviceCompletion completion_ = (completion);       \
    EXPECT_EQ(completion_.status, ::varnox::kStatusCheckCondition);    \
    ::varnox::Kcq kcq_ = ::varnox::sim::testing::senseOf(completion_); \
    EXPECT_EQ(kcq_.key, k);                                            \
    EXPECT_EQ(kcq_.code, a);                                           \
    EXPECT_EQ(kcq_.qual, q);                                           \
  } while (0)

}  // namespace varnox::sim::testing

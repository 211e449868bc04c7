#pragma once
// Short-hand for driving a SimulatedDrive in tests: each helper builds one command, submits it
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
  std::unique_ptr<SimulatedDrive> drive;
  uint32_t blockBytes = 512;

  explicit Harness(const SimConfig& config) : blockBytes(config.logicalBlockSize) {
    std::string error;
    drive = SimulatedDrive::create(config, error);
    EXPECT_NE(drive, nullptr) << error;
  }

  int submitCdb(uint32_t tag, const uint8_t* cdb, size_t cdbBytes, const uint8_t* out = nullptr,
                uint64_t outBytes = 0, uint8_t* in = nullptr, uint64_t inBytes = 0) {
    DeviceCommand c;
    c.tag = tag;
    std::copy(cdb, cdb + cdbBytes, c.cdb);
    c.cdbLength = static_cast<uint32_t>(cdbBytes);
    c.dataOut = out;
    c.dataOutBytes = outBytes;
    c.dataIn = in;
    c.dataInBytes = inBytes;
    return drive->submit(c);
  }
  int submitWrite(uint32_t tag, uint64_t lba, const std::vector<uint8_t>& data, uint8_t protect = 0) {
    uint8_t cdb[kCdbMaxBytes];
    uint32_t bytes = blockBytes + (protect ? 8 : 0);
    size_t n = buildWrite16(cdb, lba, static_cast<uint32_t>(data.size() / bytes), protect);
    return submitCdb(tag, cdb, n, data.data(), data.size());
  }
  int submitAtomic(uint32_t tag, uint64_t lba, const std::vector<uint8_t>& data, uint16_t boundary) {
    uint8_t cdb[kCdbMaxBytes];
    size_t n = buildWriteAtomic16(cdb, lba, static_cast<uint16_t>(data.size() / blockBytes), boundary);
    return submitCdb(tag, cdb, n, data.data(), data.size());
  }
  // Waits for the completion of `tag`, failing the test if another one comes back first.
  DeviceCompletion finish(uint32_t tag) {
    DeviceCompletion c;
    EXPECT_TRUE(drive->poll(c, true));
    EXPECT_EQ(c.tag, tag);
    return c;
  }
  DeviceCompletion runCdb(const uint8_t* cdb, size_t cdbBytes, const uint8_t* out = nullptr,
                          uint64_t outBytes = 0, uint8_t* in = nullptr, uint64_t inBytes = 0) {
    EXPECT_EQ(submitCdb(900, cdb, cdbBytes, out, outBytes, in, inBytes), 0);
    return finish(900);
  }
  DeviceCompletion write(uint64_t lba, const std::vector<uint8_t>& data, uint8_t protect = 0) {
    EXPECT_EQ(submitWrite(900, lba, data, protect), 0);
    return finish(900);
  }
  std::vector<uint8_t> read(uint64_t lba, uint32_t blocks, uint8_t protect = 0) {
    uint32_t bytes = blockBytes + (protect ? 8 : 0);
    std::vector<uint8_t> data(uint64_t{blocks} * bytes, 0xEE);
    uint8_t cdb[kCdbMaxBytes];
    size_t n = buildRead16(cdb, lba, blocks, protect);
    DeviceCompletion c = runCdb(cdb, n, nullptr, 0, data.data(), data.size());
    EXPECT_EQ(c.status, kStatusGood);
    EXPECT_EQ(c.bytesIn, data.size());
    return data;
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

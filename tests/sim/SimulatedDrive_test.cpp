#include "sim/SimulatedDrive.h"

#include <gtest/gtest.h>

#include "SimDriveHarness.h"
#include "tavik/ProtectionInfo.h"
#include "tavik/SenseBuilder.h"
#include "varnox/Errors.h"

namespace varnox::sim {
namespace {

using namespace testing;  // the harness, patterns and configurations

TEST(SimulatedDrive, WritesReadBackAndNeverWrittenBlocksAreZero) {
  Harness h(smallConfig());
  EXPECT_EQ(h.read(4095, 1), std::vector<uint8_t>(512, 0));
  auto data = pattern(100, 16, 512, 1);
  EXPECT_EQ(h.write(100, data).status, kStatusGood);
  EXPECT_EQ(h.read(100, 16), data);
  // A later overlapping write replaces only what it covers.
  auto more = pattern(108, 16, 512, 2);
  h.write(108, more);
  auto got = h.read(100, 24);
  EXPECT_TRUE(std::equal(data.begin(), data.begin() + 8 * 512, got.begin()));
  EXPECT_TRUE(std::equal(more.begin(), more.end(), got.begin() + 8 * 512));
  DeviceStats s = h.drive->stats();
  EXPECT_EQ(s.blocksWritten, 32u);
  EXPECT_EQ(s.blocksRead, 1u + 16 + 24);
  EXPECT_EQ(s.commands, 5u);
}

// Data with protection bytes that are right for it at `lba` (guard over each block's data,
// reference tag the block's LBA).
std::vector<uint8_t> protectedPattern(uint64_t lba, uint32_t blocks, uint8_t stamp) {
  const std::vector<uint8_t> plain = pattern(lba, blocks, 512, stamp);
  std::vector<uint8_t> data(blocks * 520);
  for (uint32_t k = 0; k < blocks; ++k) {
    std::copy_n(&plain[k * 512], 512, &data[k * 520]);
    fillProtection(&data[k * 520 + 512], &data[k * 520], 512, lba + k);
  }
  return data;
}

TEST(SimulatedDrive, ProtectionBytesAreStoredGeneratedAndCheckedAsTheProtectFieldSays) {
  SimConfig c = smallConfig();
  c.protectionInfo = true;
  Harness h(c);
  // Protect 3: the host's bytes are stored as sent, checked by no one.
  auto opaque = pattern(10, 4, 520, 3);
  EXPECT_EQ(h.write(10, opaque, 3).status, kStatusGood);
  EXPECT_EQ(h.read(10, 4, 3), opaque);
  // Without a protect field the drive makes the bytes itself for the block's LBA.
  h.write(20, pattern(20, 2, 512, 4));
  EXPECT_EQ(h.read(20, 2, 1), protectedPattern(20, 2, 4));

  std::vector<uint8_t> in(520 * 2);
  const struct {
    const char* what;
    uint64_t lba;
    size_t damaged;  // byte of the first block's protection bytes changed
    uint8_t ascq;
  } damages[] = {{"guard", 30, 512, 0x01}, {"reference tag", 34, 519, 0x03}};
  for (const auto& d : damages) {
    SCOPED_TRACE(d.what);
    auto bad = protectedPattern(d.lba, 2, 5);
    bad[d.damaged] ^= 0x5A;
    EXPECT_SENSE(h.write(d.lba, bad, 1), kSenseAbortedCommand, 0x10, d.ascq);
    EXPECT_EQ(h.read(d.lba, 2), std::vector<uint8_t>(1024, 0));  // refused before any block landed
    // The same bytes stored with protect 3 fail every later read and verify that checks them.
    h.write(d.lba, bad, 3);
    const DeviceCompletion read = h.readInto(d.lba, in, 1);
    EXPECT_SENSE(read, kSenseAbortedCommand, 0x10, d.ascq);
    EXPECT_EQ(information(read), d.lba);
    in.resize(1024);
    EXPECT_SENSE(h.readInto(d.lba, in), kSenseAbortedCommand, 0x10, d.ascq);
    EXPECT_SENSE(h.verify(d.lba, pattern(d.lba, 2, 512, 5)), kSenseAbortedCommand, 0x10, d.ascq);
    EXPECT_EQ(h.read(d.lba, 2, 3), bad);
  }
  // A checked verify compares the data; bytes sent that do not fit the LBA fail it.
  h.write(40, protectedPattern(40, 2, 6), 1);
  EXPECT_EQ(h.verify(40, protectedPattern(40, 2, 6), kBytchkCompare, 0, 1).status, kStatusGood);
  EXPECT_SENSE(h.verify(41, protectedPattern(40, 1, 6), kBytchkCompare, 0, 1), kSenseAbortedCommand, 0x10, 0x03);
}

TEST(SimulatedDrive, PiCorruptDamagesOnlyTheCheckedProtectionBytes) {
  SimConfig c = smallConfig();
  c.protectionInfo = true;
  FaultRule rule;
  rule.kind = "pi-corrupt";
  rule.lba = 12;
  rule.count = 0;
  c.faults = {rule};
  Harness h(c);
  for (uint8_t stamp = 1; stamp <= 20; ++stamp) {
    auto sent = protectedPattern(12, 1, stamp);
    h.write(12, sent, 3);
    auto stored = h.read(12, 1, 3);
    EXPECT_TRUE(std::equal(sent.begin(), sent.begin() + 512, stored.begin()));
    EXPECT_NE(checkProtection(&stored[512], stored.data(), 512, 12), 0) << int(stamp);
  }
  c.protectionInfo = false;
  std::string error;
  EXPECT_EQ(SimulatedDrive::create(c, error), nullptr);
  EXPECT_EQ(error, "simulated drive: fault 1: pi-corrupt needs a drive with protection_info = true");
}

TEST(SimulatedDrive, UnmappedBlocksReadAsZeros) {
  Harness h(smallConfig());
  const auto before = pattern(0, 64, 512, 5);
  h.write(0, before);
  // UNMAP with two ranges, one of them spanning whole pages of the medium.
  EXPECT_EQ(h.unmap({{2, 3}, {16, 40}}).status, kStatusGood);
  auto expect = before;
  std::fill(expect.begin() + 2 * 512, expect.begin() + 5 * 512, 0);
  std::fill(expect.begin() + 16 * 512, expect.begin() + 56 * 512, 0);
  EXPECT_EQ(h.read(0, 64), expect);
  // WRITE SAME with the UNMAP bit deallocates too; without it one block is replicated.
  const auto one = pattern(0, 1, 512, 6);
  EXPECT_EQ(h.writeSame(100, 3, one).status, kStatusGood);
  EXPECT_EQ(h.writeSame(101, 1, {}, true).status, kStatusGood);
  auto same = one;
  same.resize(2 * 512, 0);
  same.insert(same.end(), one.begin(), one.end());
  EXPECT_EQ(h.read(100, 3), same);
}

TEST(SimulatedDrive, VerifyComparesBytesAndReportsTheFirstDifference) {
  Harness h(smallConfig());
  auto data = pattern(50, 4, 512, 7);
  h.write(50, data);
  EXPECT_EQ(h.verify(50, data).status, kStatusGood);
  data[2 * 512 + 17] ^= 0x40;
  DeviceCompletion c = h.verify(50, data);
  EXPECT_SENSE(c, kSenseMiscompare, 0x1D, 0x00);
  EXPECT_EQ(information(c), 2u * 512 + 17);
  // BYTCHK 3: one block of data compared with every block of the range.
  const auto one = pattern(0, 1, 512, 8);
  h.writeSame(200, 5, one);
  EXPECT_EQ(h.verify(200, one, kBytchkSame, 5).status, kStatusGood);
  EXPECT_SENSE(h.verify(199, one, kBytchkSame, 5), kSenseMiscompare, 0x1D, 0x00);
}

TEST(SimulatedDrive, RefusedCommandsGetIllegalRequestAndChangeNothing) {
  SimConfig config = smallConfig();
  Harness h(config);
  uint8_t cdb[kCdbMaxBytes];
  std::vector<uint8_t> buffer(8 * 512);
  // Out of range: starting beyond the end, and running over it.
  EXPECT_SENSE(h.runCdb(cdb, buildRead16(cdb, 4096, 1), nullptr, 0, buffer.data(), buffer.size()), 5, 0x21,
               0);
  auto data = pattern(4090, 8, 512, 9);
  EXPECT_SENSE(h.runCdb(cdb, buildWrite16(cdb, 4090, 8), data.data(), data.size()), 5, 0x21, 0);
  EXPECT_EQ(h.read(4090, 6), std::vector<uint8_t>(6 * 512, 0));
  EXPECT_EQ(h.drive->stats().blocksWritten, 0u);
  // An UNMAP list with one bad range touches none of its ranges.
  h.write(0, pattern(0, 4, 512, 1));
  EXPECT_SENSE(h.unmap({{0, 4}, {4095, 2}}), 5, 0x21, 0);
  EXPECT_EQ(h.read(0, 4), pattern(0, 4, 512, 1));

  uint8_t read10[10] = {0x28};
  EXPECT_SENSE(h.runCdb(read10, sizeof(read10)), 5, 0x20, 0);
  // Protection bits on a drive without protection information.
  EXPECT_SENSE(h.runCdb(cdb, buildRead16(cdb, 0, 1, 1), nullptr, 0, buffer.data(), buffer.size()), 5, 0x24,
               0);
  // A data buffer shorter than the transfer.
  EXPECT_SENSE(h.runCdb(cdb, buildWrite16(cdb, 0, 9), buffer.data(), buffer.size()), 5, 0x1A, 0);
  // WRITE ATOMIC without atomic support is an unknown command to this drive.
  EXPECT_SENSE(h.runCdb(cdb, buildWriteAtomic16(cdb, 0, 4, 0), buffer.data(), buffer.size()), 5, 0x20, 0);

  config.atomicUnitBlocks = 4;
  Harness atomic(config);
  EXPECT_SENSE(atomic.runCdb(cdb, buildWriteAtomic16(cdb, 0, 8, 0), buffer.data(), buffer.size()), 5, 0x24,
               0);
  EXPECT_EQ(atomic.runCdb(cdb, buildWriteAtomic16(cdb, 0, 8, 4), buffer.data(), buffer.size()).status,
            kStatusGood);
}

TEST(SimulatedDrive, SubmitRefusesWhatTheQueueCannotTake) {
  SimConfig c = smallConfig();
  c.queueDepth = 2;
  Harness h(c);
  auto data = pattern(0, 1, 512, 1);
  EXPECT_EQ(h.submitWrite(1024, 0, data), VARNOX_ERR_BAD_VALUE);
  EXPECT_EQ(h.submitWrite(7, 0, data), 0);
  EXPECT_EQ(h.submitWrite(7, 1, data), VARNOX_ERR_BAD_VALUE);  // tag still outstanding
  EXPECT_EQ(h.submitWrite(8, 1, data), 0);
  EXPECT_EQ(h.submitWrite(9, 2, data), VARNOX_ERR_GENERIC);
  EXPECT_EQ(h.drive->outstanding(), 2u);
  h.finish(7);
  EXPECT_EQ(h.submitWrite(7, 2, data), 0);
}

TEST(SimulatedDrive, ConfigurationErrorsNameTheSettingAndValue) {
  std::string error;
  SimConfig c;
  c.logicalBlockSize = 1000;
  EXPECT_EQ(SimulatedDrive::create(c, error), nullptr);
  EXPECT_NE(error.find("logical block size = 1000"), std::string::npos) << error;
  c = SimConfig{};
  c.queueDepth = 2000;
  EXPECT_NE(validateSimConfig(c).find("queue depth = 2000"), std::string::npos);

  DeviceSpec deviceSpec;
  deviceSpec.writeCache = "sometimes";
  SimConfig out;
  EXPECT_FALSE(simConfigFromSpec(deviceSpec, 1, out, error));
  EXPECT_NE(error.find("\"sometimes\""), std::string::npos) << error;
  deviceSpec.writeCache = "volatile";
  deviceSpec.faults.push_back(FaultRule{"teleport", {}, {}, {}, 1});
  EXPECT_FALSE(simConfigFromSpec(deviceSpec, 1, out, error));
  EXPECT_NE(error.find("\"teleport\""), std::string::npos) << error;
  deviceSpec.faults.clear();
  ASSERT_TRUE(simConfigFromSpec(deviceSpec, 42, out, error));
  EXPECT_EQ(out.writeCache, WriteCacheMode::Volatile);
  EXPECT_EQ(out.seed, 42u);  // a seed of 0 in it takes the run's seed
  // The description of a drive is pinned by the command-line run's summary, and a 1 GiB drive
  // that costs nothing until written by the scenarios that run the 1 GiB examples.
}

}  // namespace
}  // namespace varnox::sim

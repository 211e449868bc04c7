#include "sim/SimulatedDrive.h"

#include <gtest/gtest.h>

#include "SimDriveHarness.h"
#include "tavik/SenseBuilder.h"
#include "varnox/Errors.h"

namespace varnox::sim {
namespace {

using testing::Harness;
using testing::pattern;
using testing::senseOf;
using testing::smallConfig;

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

TEST(SimulatedDrive, ProtectionBytesTravelOnlyWhenTheCommandAsksForThem) {
  SimConfig c = smallConfig();
  c.protectionInfo = true;
  c.logicalBlockSize = 4096;
  Harness h(c);
  auto withPi = pattern(10, 4, 4104, 3);
  EXPECT_EQ(h.write(10, withPi, 1).status, kStatusGood);
  EXPECT_EQ(h.read(10, 4, 1), withPi);
  auto dataOnly = h.read(10, 4);
  ASSERT_EQ(dataOnly.size(), 4u * 4096);
  EXPECT_TRUE(std::equal(withPi.begin() + 4104, withPi.begin() + 4104 + 4096, dataOnly.begin() + 4096));
  // A write without protection bytes leaves zeros where they were.
  h.write(10, pattern(10, 1, 4096, 4));
  auto back = h.read(10, 1, 1);
  EXPECT_EQ(std::vector<uint8_t>(back.begin() + 4096, back.end()), std::vector<uint8_t>(8, 0));
}

TEST(SimulatedDrive, UnmappedBlocksReadAsZeros) {
  Harness h(smallConfig());
  h.write(0, pattern(0, 64, 512, 5));
  // UNMAP with two ranges, one of them spanning whole pages of the medium.
  const UnmapRange ranges[] = {{2, 3}, {16, 40}};
  std::vector<uint8_t> list(unmapParameterListBytes(2));
  buildUnmapParameterList(list.data(), list.size(), ranges, 2);
  uint8_t cdb[kCdbMaxBytes];
  size_t n = buildUnmap10(cdb, static_cast<uint16_t>(list.size()));
  EXPECT_EQ(h.runCdb(cdb, n, list.data(), list.size()).status, kStatusGood);
  auto got = h.read(0, 64);
  auto before = pattern(0, 64, 512, 5);
  for (uint64_t lba = 0; lba < 64; ++lba) {
    bool unmapped = (lba >= 2 && lba < 5) || (lba >= 16 && lba < 56);
    std::vector<uint8_t> block(got.begin() + lba * 512, got.begin() + (lba + 1) * 512);
    std::vector<uint8_t> expect =
        unmapped ? std::vector<uint8_t>(512, 0)
                 : std::vector<uint8_t>(before.begin() + lba * 512, before.begin() + (lba + 1) * 512);
    EXPECT_EQ(block, expect) << "lba " << lba;
  }
  // WRITE SAME with the UNMAP bit deallocates too; without it one block is replicated.
  auto one = pattern(0, 1, 512, 6);
  n = buildWriteSame16(cdb, 100, 3);
  EXPECT_EQ(h.runCdb(cdb, n, one.data(), one.size()).status, kStatusGood);
  auto same = h.read(100, 3);
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(std::equal(one.begin(), one.end(), same.begin() + i * 512));
  n = buildWriteSame16(cdb, 101, 1, true);
  EXPECT_EQ(h.runCdb(cdb, n).status, kStatusGood);
  EXPECT_EQ(h.read(101, 1), std::vector<uint8_t>(512, 0));
  EXPECT_TRUE(std::equal(one.begin(), one.end(), h.read(102, 1).begin()));
}

TEST(SimulatedDrive, VerifyComparesBytesAndReportsTheFirstDifference) {
  Harness h(smallConfig());
  auto data = pattern(50, 4, 512, 7);
  h.write(50, data);
  uint8_t cdb[kCdbMaxBytes];
  size_t n = buildVerify16(cdb, 50, 4);
  EXPECT_EQ(h.runCdb(cdb, n, data.data(), data.size()).status, kStatusGood);

  auto wrong = data;
  wrong[2 * 512 + 17] ^= 0x40;
  DeviceCompletion c = h.runCdb(cdb, n, wrong.data(), wrong.size());
  EXPECT_SENSE(c, kSenseMiscompare, 0x1D, 0x00);
  uint8_t info[8] = {};
  ASSERT_EQ(SenseParser::getInformationBytes(c.sense.data(), c.sense.size(), info), 0);
  EXPECT_EQ(info[6] * 256 + info[7], 2 * 512 + 17);

  // BYTCHK 3: one block of data compared with every block of the range.
  auto one = pattern(0, 1, 512, 8);
  n = buildWriteSame16(cdb, 200, 5);
  h.runCdb(cdb, n, one.data(), one.size());
  n = buildVerify16(cdb, 200, 5, kBytchkSame);
  EXPECT_EQ(h.runCdb(cdb, n, one.data(), one.size()).status, kStatusGood);
  n = buildVerify16(cdb, 199, 5, kBytchkSame);
  EXPECT_SENSE(h.runCdb(cdb, n, one.data(), one.size()), kSenseMiscompare, 0x1D, 0x00);
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
  const UnmapRange ranges[] = {{0, 4}, {4095, 2}};
  std::vector<uint8_t> list(unmapParameterListBytes(2));
  buildUnmapParameterList(list.data(), list.size(), ranges, 2);
  EXPECT_SENSE(h.runCdb(cdb, buildUnmap10(cdb, 40), list.data(), list.size()), 5, 0x21, 0);
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

// The file and block-device backend on files in a temporary directory: commands through
// io_uring, sense for errors, and what a run leaves in the file.
#include "blockdev/BlockDevice.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <fstream>
#include <vector>

#include "blockdev/Precondition.h"
#include "sim/FaultingDevice.h"
#include "sim/SimDriveHarness.h"
#include "support/TempDir.h"
#include "tavik/SenseBuilder.h"
#include "tavik/Tavik.h"
#include "varnox/Errors.h"
#include "varnox/TestRun.h"

namespace varnox::blockdev {
namespace {

namespace fs = std::filesystem;
using sim::testing::Harness;
using sim::testing::information;

constexpr uint32_t kBlock = 512;
constexpr uint64_t kBlocks = 64;

std::vector<uint8_t> pattern(uint64_t lba, uint32_t blocks, uint8_t stamp) {
  return sim::testing::pattern(lba, blocks, kBlock, stamp);
}

class BlockDeviceTest : public testing::TempDirTest {
 protected:
  DeviceSpec fileSettings(const std::string& name, bool direct = false) const {
    DeviceSpec s;
    s.kind = path(name);
    s.capacityBlocks = kBlocks;
    s.logicalBlockSize = kBlock;
    s.queueDepth = 8;
    s.directIo = direct;
    return s;
  }
  std::unique_ptr<BlockDevice> open(const DeviceSpec& s) {
    std::string error;
    int status = 0;
    std::vector<std::string> warnings;
    std::unique_ptr<BlockDevice> device = BlockDevice::open(s, error, status, warnings);
    EXPECT_TRUE(device) << error;
    return device;
  }
  std::vector<uint8_t> fileBytes(const std::string& name, uint64_t lba, uint32_t blocks) const {
    std::vector<uint8_t> data(uint64_t{blocks} * kBlock);
    std::ifstream in(path(name), std::ios::binary);
    in.seekg(static_cast<std::streamoff>(lba * kBlock));
    in.read(reinterpret_cast<char*>(data.data()), static_cast<std::streamsize>(data.size()));
    return data;
  }
};

TEST_F(BlockDeviceTest, FaultRulesOnAFileActAtTheCommandInterface) {
  Harness h(std::make_unique<sim::FaultingDevice>(open(fileSettings("faults.img")),
                                                  std::vector<FaultRule>{{"hard-error", 4, {}, {}},
                                                                         {"recovered-error", 8, {}, {}},
                                                                         {"abort", 20, {}, {}}},
                                                  1),
            kBlock);
  const std::vector<uint8_t> zeros(2 * kBlock, 0), recovered = pattern(8, 2, 2);
  DeviceCompletion c = h.write(3, pattern(3, 2, 1));
  EXPECT_SENSE(c, kSenseHardwareError, 0x44, 0);
  EXPECT_TRUE(c.injected);
  EXPECT_EQ(fileBytes("faults.img", 3, 2), zeros);  // failed before it wrote
  c = h.write(8, recovered);
  EXPECT_SENSE(c, kSenseRecoveredError, 0x18, 0);
  EXPECT_TRUE(c.injected);
  EXPECT_EQ(fileBytes("faults.img", 8, 2), recovered);  // and still wrote
  c = h.write(20, pattern(20, 2, 4));
  EXPECT_EQ(c.status, kStatusTaskAborted);
  EXPECT_TRUE(c.injected);
  EXPECT_FALSE(h.write(30, pattern(30, 1, 5)).injected);
  EXPECT_EQ(fileBytes("faults.img", 20, 2), zeros);
  EXPECT_EQ(h.device->stats().faultsInjected, 3u);
}

TEST_F(BlockDeviceTest, WritesLandAtLbaTimesBlockSizeAndReadBackBufferedAndDirect) {
  for (bool direct : {false, true}) {
    SCOPED_TRACE(direct ? "direct I/O" : "page cache");
    const std::string name = direct ? "direct.img" : "buffered.img";
    Harness h(open(fileSettings(name, direct)), kBlock);
    ASSERT_TRUE(h.device);
    EXPECT_EQ(fs::file_size(path(name)), kBlocks * kBlock);
    EXPECT_EQ(h.device->describe(), "file " + path(name) + ", 64 x 512-byte blocks" + (direct ? ", direct I/O" : ""));
    EXPECT_FALSE(h.device->geometry().supportsPowerToggle || h.device->geometry().supportsReset);
    EXPECT_EQ(h.device->powerToggle(), VARNOX_ERR_NOT_SUPPORTED);
    EXPECT_EQ(h.device->reset(), VARNOX_ERR_NOT_SUPPORTED);

    const std::vector<uint8_t> data = pattern(5, 8, direct ? 3 : 5), second = pattern(40, 4, 11);
    EXPECT_EQ(h.write(5, data).status, kStatusGood);
    EXPECT_EQ(h.read(5, 8), data);
    // Caller's buffers off the direct I/O alignment go through a bounce buffer.
    std::vector<uint8_t> odd(8 * kBlock + 3);
    uint8_t cdb[kCdbMaxBytes];
    EXPECT_EQ(h.runCdb(cdb, buildRead16(cdb, 5, 8), nullptr, 0, odd.data() + 3, 8 * kBlock).status, kStatusGood);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), odd.begin() + 3));
    std::copy(second.begin(), second.end(), odd.begin() + 1);
    EXPECT_EQ(h.runCdb(cdb, buildWrite16(cdb, 40, 4, 0, true), odd.data() + 1, second.size()).status, kStatusGood);
    EXPECT_EQ(h.read(40, 4), second);
    // WRITE SAME repeats its one block.
    const std::vector<uint8_t> block = pattern(99, 1, 9);
    EXPECT_EQ(h.writeSame(20, 3, block).status, kStatusGood);
    const std::vector<uint8_t> three = h.read(20, 3);
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(std::equal(block.begin(), block.end(), &three[i * kBlock])) << i;
    h.owned.reset();
    EXPECT_EQ(fileBytes(name, 5, 8), data);
    EXPECT_EQ(fileBytes(name, 40, 4), second);
  }
}

// A skip command's blocks go to their own LBAs, `lbaStride` apart, however the data is cut into
// pieces for the kernel.
TEST_F(BlockDeviceTest, AStridedWriteLandsEachBlockAtItsOwnLbaAndLeavesTheGapsAlone) {
  Harness h(open(fileSettings("stride.img")), kBlock);
  ASSERT_TRUE(h.device);
  const std::vector<uint8_t> data = pattern(10, 3, 7);
  DeviceCommand c{.tag = 900, .dataOut = data.data(), .dataOutBytes = data.size()};
  c.cdbLength = static_cast<uint32_t>(buildWrite16(c.cdb, 10, 3, 0, false));
  c.lbaStride = 2;
  ASSERT_EQ(h.device->submit(c), 0);
  const DeviceCompletion done = h.finish(900);
  EXPECT_EQ(done.status, kStatusGood);
  h.owned.reset();
  const std::vector<uint8_t> zeros(kBlock, 0);
  for (uint32_t i = 0; i < 3; ++i) {
    const std::vector<uint8_t> block(data.begin() + i * kBlock, data.begin() + (i + 1) * kBlock);
    EXPECT_EQ(fileBytes("stride.img", 10 + 2 * i, 1), block) << i;
  }
  for (uint64_t gap : {11, 13}) EXPECT_EQ(fileBytes("stride.img", gap, 1), zeros) << gap;
}

TEST_F(BlockDeviceTest, ManyCommandsInFlightEachCompleteOnceWithTheirOwnData) {
  Harness h(open(fileSettings("queue.img", true)), kBlock);
  for (uint32_t tag = 0; tag < 8; ++tag) ASSERT_EQ(h.submitWrite(tag + 100, tag * 2, pattern(tag * 2, 2, 1)), 0);
  EXPECT_EQ(h.device->outstanding(), 8u);
  EXPECT_EQ(h.submitWrite(100, 0, pattern(0, 1, 1)), VARNOX_ERR_BAD_VALUE) << "tag 100 is outstanding";
  EXPECT_EQ(h.submitWrite(200, 0, pattern(0, 1, 1)), VARNOX_ERR_GENERIC) << "queue depth 8 is full";
  std::vector<int> seen(8, 0);
  DeviceCompletion done;
  while (h.next(done)) {
    ASSERT_TRUE(done.tag >= 100 && done.tag < 108) << done.tag;
    EXPECT_EQ(done.status, kStatusGood);
    ++seen[done.tag - 100];
  }
  EXPECT_EQ(seen, std::vector<int>(8, 1));
  EXPECT_EQ(h.read(0, 16), pattern(0, 16, 1));
  EXPECT_EQ(h.device->stats().blocksWritten, 16u);

  // Overlapping commands in flight together act in the order they were sent, as on a drive:
  // a write, a discard of its range, a write over half of it, a read of it all.
  std::vector<uint8_t> got(6 * kBlock);
  ASSERT_EQ(h.submitWrite(1, 30, pattern(30, 4, 2)), 0);
  ASSERT_EQ(h.submitWrite(2, 32, pattern(32, 4, 3)), 0);
  ASSERT_EQ(h.submitRead(3, 30, got), 0);
  const UnmapRange range{40, 4};
  std::vector<uint8_t> list(unmapParameterListBytes(1));
  buildUnmapParameterList(list.data(), list.size(), &range, 1);
  ASSERT_EQ(h.submitWrite(4, 40, pattern(40, 4, 4)), 0);
  uint8_t cdb[kCdbMaxBytes];
  ASSERT_EQ(h.submitCdb(5, cdb, buildUnmap10(cdb, static_cast<uint16_t>(list.size())), list.data(), list.size()), 0);
  ASSERT_EQ(h.submitWrite(6, 42, pattern(42, 2, 5)), 0);
  for (int i = 0; i < 6; ++i) {
    ASSERT_TRUE(h.next(done));
    EXPECT_EQ(done.status, kStatusGood) << "tag " << done.tag;
  }
  std::vector<uint8_t> expected = pattern(30, 2, 2), newer = pattern(32, 4, 3);
  expected.insert(expected.end(), newer.begin(), newer.end());
  EXPECT_EQ(got, expected);
  std::vector<uint8_t> after(2 * kBlock, 0), last = pattern(42, 2, 5);
  after.insert(after.end(), last.begin(), last.end());
  EXPECT_EQ(h.read(40, 4), after);
}

TEST_F(BlockDeviceTest, VerifyDiscardAndSyncActOnTheFile) {
  Harness h(open(fileSettings("verify.img")), kBlock);
  ASSERT_TRUE(h.device->geometry().supportsUnmap) << "the temporary directory's file system cannot punch holes";
  const std::vector<uint8_t> data = pattern(10, 4, 21);
  ASSERT_EQ(h.write(10, data).status, kStatusGood);
  EXPECT_EQ(h.verify(10, data).status, kStatusGood);
  EXPECT_EQ(h.verify(10, {}, kBytchkNone, 4).status, kStatusGood);  // a medium check sends no data
  std::vector<uint8_t> wrong = data;
  wrong[2 * kBlock + 7] ^= 0x40;
  DeviceCompletion c = h.verify(10, wrong);
  EXPECT_SENSE(c, kSenseMiscompare, 0x1D, 0x00);
  EXPECT_EQ(information(c), 2 * kBlock + 7);
  // BYTCHK 3: one block compared with every verified block; block 29 was never written.
  const std::vector<uint8_t> block = pattern(0, 1, 77);
  ASSERT_EQ(h.writeSame(30, 5, block).status, kStatusGood);
  EXPECT_EQ(h.verify(30, block, kBytchkSame, 5).status, kStatusGood);
  c = h.verify(29, block, kBytchkSame, 2);
  EXPECT_SENSE(c, kSenseMiscompare, 0x1D, 0x00);
  EXPECT_EQ(information(c), 0u);

  // UNMAP and WRITE SAME with the unmap bit read back as zeros.
  const std::vector<uint8_t> before = h.read(0, 16);
  EXPECT_EQ(h.unmap({{2, 3}, {9, 1}}).status, kStatusGood);
  uint8_t cdb[kCdbMaxBytes];
  EXPECT_EQ(h.runCdb(cdb, buildWriteSame16(cdb, 12, 2, true)).status, kStatusGood);
  EXPECT_EQ(h.unmap({}).status, kStatusGood);  // an empty list is no error
  std::vector<uint8_t> expected = before;
  for (uint64_t lba : {2, 3, 4, 9, 12, 13}) std::fill_n(expected.begin() + lba * kBlock, kBlock, 0);
  EXPECT_EQ(h.read(0, 16), expected);
  c = h.sync();
  EXPECT_EQ(c.status, kStatusGood);
  EXPECT_TRUE(c.sense.empty());
}

TEST_F(BlockDeviceTest, RefusesWhatTheDeviceCannotDoWithReadableSense) {
  Harness h(open(fileSettings("refuse.img")), kBlock);
  std::vector<uint8_t> buffer(4 * kBlock);
  uint8_t cdb[kCdbMaxBytes];
  const uint8_t list[24] = {0, 30, 0, 32};  // an UNMAP list that claims more descriptors than it carries
  const struct {
    const char* what;
    std::function<size_t(uint8_t*)> build;
    const uint8_t* out;  // the data sent; null: the command reads into `buffer`
    uint64_t outBytes;
    uint8_t asc;
  } cases[] = {
      {"read past the end", [](uint8_t* c) { return buildRead16(c, kBlocks - 1, 2); }, nullptr, 0, 0x21},
      {"write at the capacity", [](uint8_t* c) { return buildWrite16(c, kBlocks, 1); }, buffer.data(), kBlock, 0x21},
      {"write same past the end", [](uint8_t* c) { return buildWriteSame16(c, kBlocks - 2, 3); }, buffer.data(), kBlock,
       0x21},
      {"data buffer too short", [](uint8_t* c) { return buildWrite16(c, 0, 8); }, buffer.data(), buffer.size(), 0x1A},
      {"protection information", [](uint8_t* c) { return buildWrite16(c, 0, 1, 1); }, buffer.data(), 520, 0x24},
      {"atomic write without kernel support", [](uint8_t* c) { return buildWriteAtomic16(c, 0, 1, 0); }, buffer.data(),
       kBlock, 0x20},
      {"malformed UNMAP list", [](uint8_t* c) { return buildUnmap10(c, sizeof list); }, list, sizeof list, 0x26},
  };
  EXPECT_EQ(h.device->geometry().atomicUnitBlocks, 0u);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const size_t n = c.build(cdb);
    EXPECT_SENSE(c.out ? h.runCdb(cdb, n, c.out, c.outBytes) : h.runCdb(cdb, n, nullptr, 0, buffer.data(), buffer.size()),
                 kSenseIllegalRequest, c.asc, 0);
  }
  // The same tag after a refusal completes clean: no sense left over from the command before.
  EXPECT_TRUE(h.write(0, pattern(0, 1, 1)).sense.empty());

  // Request 218 keeps the LBA the agent names; the showstop stops the file, which then refuses
  // every command.
  uint32_t zero = 0;
  uint64_t failing = 0x3E8;
  void* args[] = {&zero, &failing};
  EXPECT_EQ(h.device->ioctl(kIoctlMiscompareLba, 2, args), 0);
  EXPECT_EQ(static_cast<BlockDevice*>(h.device)->lastMiscompareLba(), 0x3E8u);
  const ShowstopRequest showstop;
  EXPECT_EQ(h.device->send(&showstop, sizeof showstop), 0);
  EXPECT_TRUE(h.device->stopped());
  EXPECT_NE(h.submitRead(7, 0, buffer), 0);
  h.owned.reset();
  EXPECT_EQ(fs::file_size(path("refuse.img")), kBlocks * kBlock) << "nothing beyond the capacity was touched";

  // A file cannot keep protection information. Paths that cannot be opened are BadInput cases.
  DeviceSpec protectedSettings = fileSettings("pi.img");
  protectedSettings.protectionInfo = true;
  std::string error;
  int status = 0;
  std::vector<std::string> warnings;
  EXPECT_FALSE(BlockDevice::open(protectedSettings, error, status, warnings));
  EXPECT_EQ(status, kExitRefused) << error;
  EXPECT_NE(error.find("protection information"), std::string::npos) << error;
}

// When a fixed seed warns is pinned by tests/runner/cases/commands.cli.
TEST_F(BlockDeviceTest, PreconditionMakesEveryRunsContentDifferent) {
  Harness h(open(fileSettings("pre.img")), kBlock);
  std::string error;
  ASSERT_TRUE(preconditionDevice(*static_cast<BlockDevice*>(h.device), runNonce(5), error)) << error;
  const std::vector<uint8_t> first = h.read(0, kBlocks);
  ASSERT_TRUE(preconditionDevice(*static_cast<BlockDevice*>(h.device), runNonce(5), error)) << error;
  const std::vector<uint8_t> second = h.read(0, kBlocks);
  auto block = [](const std::vector<uint8_t>& v, uint64_t lba) {
    return std::vector<uint8_t>(v.begin() + lba * kBlock, v.begin() + (lba + 1) * kBlock);
  };
  for (uint64_t lba = 0; lba < kBlocks; ++lba) {
    EXPECT_NE(block(first, lba), block(second, lba)) << "block " << lba << " is the same in two runs with the same seed";
    if (lba > 0) {
      EXPECT_NE(block(first, lba), block(first, lba - 1)) << "block " << lba << " repeats its neighbour";
    }
  }
}

}  // namespace
}  // namespace varnox::blockdev

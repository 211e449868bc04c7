// The file and block-device backend on files in a temporary directory: commands through
// io_uring, sense for errors, and the safety checks a real device gets before a test writes it.
#include "blockdev/BlockDevice.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <vector>

#include "blockdev/Precondition.h"
#include "sim/FaultingDevice.h"
#include "tavik/Cdb.h"
#include "tavik/SenseBuilder.h"
#include "tavik/Tavik.h"
#include "varnox/Errors.h"
#include "varnox/TestRun.h"

namespace varnox::blockdev {
namespace {

namespace fs = std::filesystem;

constexpr uint32_t kBlock = 512;
constexpr uint64_t kBlocks = 64;

struct Sense {
  uint8_t key, asc, ascq;
  uint64_t information;
};

Sense senseOf(const DeviceCompletion& c) {
  if (c.sense.size() < 14) return {0xFF, 0xFF, 0xFF, 0};
  uint64_t info = (uint64_t{c.sense[3]} << 24) | (uint64_t{c.sense[4]} << 16) | (uint64_t{c.sense[5]} << 8) | c.sense[6];
  return {static_cast<uint8_t>(c.sense[2] & 0x0F), c.sense[12], c.sense[13], info};
}

std::vector<uint8_t> pattern(uint64_t bytes, uint8_t seed) {
  std::vector<uint8_t> data(bytes);
  for (uint64_t i = 0; i < bytes; ++i) data[i] = static_cast<uint8_t>(seed + i * 7 + i / kBlock);
  return data;
}

class BlockDeviceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::path(::testing::TempDir()) /
           ("varnox_blockdev_" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string path(const std::string& name) const { return (dir_ / name).string(); }

  DeviceSpec deviceSpec(const std::string& name, bool direct = false) const {
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

  static DeviceCommand command(uint32_t tag, const uint8_t* cdb, size_t cdbBytes,
                               const uint8_t* out = nullptr, uint64_t outBytes = 0, uint8_t* in = nullptr,
                               uint64_t inBytes = 0) {
    DeviceCommand command;
    command.tag = tag;
    std::memcpy(command.cdb, cdb, cdbBytes);
    command.cdbLength = static_cast<uint32_t>(cdbBytes);
    command.dataOut = out;
    command.dataOutBytes = outBytes;
    command.dataIn = in;
    command.dataInBytes = inBytes;
    return command;
  }

  // Sends one command and waits for its completion.
  static DeviceCompletion run(Device& device, const uint8_t* cdb, size_t cdbBytes,
                              const uint8_t* out = nullptr, uint64_t outBytes = 0, uint8_t* in = nullptr,
                              uint64_t inBytes = 0) {
    DeviceCompletion completion;
    completion.status = 0xFF;
    EXPECT_EQ(device.submit(command(7, cdb, cdbBytes, out, outBytes, in, inBytes)), 0);
    EXPECT_TRUE(device.poll(completion, true));
    EXPECT_EQ(completion.tag, 7u);
    EXPECT_EQ(device.outstanding(), 0u);
    return completion;
  }

  static DeviceCompletion write(Device& d, uint64_t lba, const std::vector<uint8_t>& data, bool fua = false) {
    uint8_t cdb[kCdbMaxBytes];
    size_t n = buildWrite16(cdb, lba, static_cast<uint32_t>(data.size() / kBlock), 0, fua);
    return run(d, cdb, n, data.data(), data.size());
  }

  static std::vector<uint8_t> read(BlockDevice& d, uint64_t lba, uint32_t blocks, size_t misalign = 0) {
    std::vector<uint8_t> buffer(blocks * kBlock + misalign);
    uint8_t cdb[kCdbMaxBytes];
    size_t n = buildRead16(cdb, lba, blocks);
    DeviceCompletion c = run(d, cdb, n, nullptr, 0, buffer.data() + misalign, blocks * kBlock);
    EXPECT_EQ(c.status, kStatusGood);
    EXPECT_EQ(c.bytesIn, blocks * kBlock);
    return std::vector<uint8_t>(buffer.begin() + misalign, buffer.end());
  }

  std::vector<uint8_t> fileBytes(const std::string& name, uint64_t offset, uint64_t bytes) const {
    std::vector<uint8_t> data(bytes);
    std::ifstream in(path(name), std::ios::binary);
    in.seekg(static_cast<std::streamoff>(offset));
    in.read(reinterpret_cast<char*>(data.data()), static_cast<std::streamsize>(bytes));
    return data;
  }

  fs::path dir_;
};

// A corruption on a file (the one silent fault files take) is pinned end to end by the scenario
// that gets the same verdict on the simulated drive and on a file.
TEST_F(BlockDeviceTest, FaultRulesOnAFileActAtTheCommandInterface) {
  auto rule = [](const char* kind, uint64_t lba) {
    FaultRule r;
    r.kind = kind;
    r.lba = lba;
    return r;
  };
  sim::FaultingDevice d(open(deviceSpec("faults.img")),
                        {rule("hard-error", 4), rule("recovered-error", 8), rule("abort", 20)}, 1);
  const std::vector<uint8_t> zeros(2 * kBlock, 0);
  DeviceCompletion c = write(d, 3, pattern(2 * kBlock, 1));
  EXPECT_EQ(c.status, kStatusCheckCondition);
  EXPECT_EQ(senseOf(c).key, kSenseHardwareError);
  EXPECT_TRUE(c.injected);
  EXPECT_EQ(fileBytes("faults.img", 3 * kBlock, 2 * kBlock), zeros);  // failed before it wrote

  const std::vector<uint8_t> recovered = pattern(2 * kBlock, 2);
  c = write(d, 8, recovered);
  EXPECT_EQ(senseOf(c).key, kSenseRecoveredError);
  EXPECT_TRUE(c.injected);
  EXPECT_EQ(fileBytes("faults.img", 8 * kBlock, 2 * kBlock), recovered);  // and still wrote

  c = write(d, 20, pattern(2 * kBlock, 4));
  EXPECT_EQ(c.status, kStatusTaskAborted);
  EXPECT_TRUE(c.injected);
  EXPECT_FALSE(write(d, 30, pattern(kBlock, 5)).injected);
  EXPECT_EQ(fileBytes("faults.img", 20 * kBlock, 2 * kBlock), zeros);
  EXPECT_EQ(d.stats().faultsInjected, 3u);
}

TEST_F(BlockDeviceTest, WritesLandAtLbaTimesBlockSizeAndReadBackBufferedAndDirect) {
  for (bool direct : {false, true}) {
    SCOPED_TRACE(direct ? "direct I/O" : "page cache");
    const std::string name = direct ? "direct.img" : "buffered.img";
    std::unique_ptr<BlockDevice> d = open(deviceSpec(name, direct));
    ASSERT_TRUE(d);
    EXPECT_EQ(fs::file_size(path(name)), kBlocks * kBlock);
    EXPECT_EQ(d->describe(),
              "file " + path(name) + ", 64 x 512-byte blocks" + (direct ? ", direct I/O" : ""));
    EXPECT_FALSE(d->geometry().supportsPowerToggle);
    EXPECT_FALSE(d->geometry().supportsReset);
    EXPECT_EQ(d->powerToggle(), VARNOX_ERR_NOT_SUPPORTED);
    EXPECT_EQ(d->reset(), VARNOX_ERR_NOT_SUPPORTED);

    std::vector<uint8_t> data = pattern(8 * kBlock, direct ? 3 : 5);
    EXPECT_EQ(write(*d, 5, data).status, kStatusGood);
    EXPECT_EQ(read(*d, 5, 8), data);
    // A caller's buffer off the direct I/O alignment goes through a bounce buffer.
    EXPECT_EQ(read(*d, 5, 8, 3), data);
    std::vector<uint8_t> odd(4 * kBlock + 1);
    std::vector<uint8_t> second = pattern(4 * kBlock, 11);
    std::copy(second.begin(), second.end(), odd.begin() + 1);
    uint8_t cdb[kCdbMaxBytes];
    size_t n = buildWrite16(cdb, 40, 4, 0, true);
    EXPECT_EQ(run(*d, cdb, n, odd.data() + 1, second.size()).status, kStatusGood);
    EXPECT_EQ(read(*d, 40, 4), second);

    // WRITE SAME repeats its one block.
    std::vector<uint8_t> block = pattern(kBlock, 99);
    n = buildWriteSame16(cdb, 20, 3);
    EXPECT_EQ(run(*d, cdb, n, block.data(), block.size()).status, kStatusGood);
    std::vector<uint8_t> same = read(*d, 20, 3);
    for (int i = 0; i < 3; ++i)
      EXPECT_TRUE(std::equal(block.begin(), block.end(), same.begin() + i * kBlock)) << "block " << i;

    d.reset();
    EXPECT_EQ(fileBytes(name, 5 * kBlock, data.size()), data);
    EXPECT_EQ(fileBytes(name, 40 * kBlock, second.size()), second);
  }
}

TEST_F(BlockDeviceTest, ManyCommandsInFlightEachCompleteOnceWithTheirOwnData) {
  std::unique_ptr<BlockDevice> d = open(deviceSpec("queue.img", true));
  ASSERT_TRUE(d);
  std::vector<std::vector<uint8_t>> data;
  std::vector<DeviceCommand> commands;
  uint8_t cdb[kCdbMaxBytes];
  for (uint32_t tag = 0; tag < 8; ++tag) {
    data.push_back(pattern(2 * kBlock, static_cast<uint8_t>(tag * 13)));
    commands.push_back(
        command(tag + 100, cdb, buildWrite16(cdb, tag * 2, 2), data.back().data(), data.back().size()));
    ASSERT_EQ(d->submit(commands.back()), 0);
  }
  EXPECT_EQ(d->outstanding(), 8u);
  EXPECT_EQ(d->submit(commands[0]), VARNOX_ERR_BAD_VALUE) << "tag 100 is outstanding";
  DeviceCommand extra = commands[0];
  extra.tag = 200;
  EXPECT_EQ(d->submit(extra), VARNOX_ERR_GENERIC) << "queue depth 8 is full";
  std::vector<int> seen(8, 0);
  DeviceCompletion done;
  while (d->poll(done, true)) {
    ASSERT_GE(done.tag, 100u);
    ASSERT_LT(done.tag, 108u);
    EXPECT_EQ(done.status, kStatusGood);
    ++seen[done.tag - 100];
  }
  EXPECT_EQ(seen, std::vector<int>(8, 1));
  EXPECT_FALSE(d->poll(done, true)) << "nothing outstanding";
  for (uint32_t tag = 0; tag < 8; ++tag) EXPECT_EQ(read(*d, tag * 2, 2), data[tag]) << "tag " << tag;
  EXPECT_EQ(d->stats().blocksWritten, 16u);

  // Overlapping commands in flight together act in the order they were sent, as on a drive.
  std::vector<uint8_t> older = pattern(4 * kBlock, 1), newer = pattern(4 * kBlock, 2), got(6 * kBlock);
  const DeviceCommand first = command(1, cdb, buildWrite16(cdb, 30, 4), older.data(), older.size());
  const DeviceCommand second = command(2, cdb, buildWrite16(cdb, 32, 4), newer.data(), newer.size());
  const DeviceCommand readBack = command(3, cdb, buildRead16(cdb, 30, 6), nullptr, 0, got.data(), got.size());
  ASSERT_EQ(d->submit(first), 0);
  ASSERT_EQ(d->submit(second), 0);
  ASSERT_EQ(d->submit(readBack), 0);
  int completions = 0;
  while (d->poll(done, true)) {
    EXPECT_EQ(done.status, kStatusGood);
    ++completions;
  }
  EXPECT_EQ(completions, 3);
  std::vector<uint8_t> expected(older.begin(), older.begin() + 2 * kBlock);
  expected.insert(expected.end(), newer.begin(), newer.end());
  EXPECT_EQ(got, expected);
  EXPECT_EQ(read(*d, 30, 6), expected);
}

TEST_F(BlockDeviceTest, VerifyComparesOnTheHostAndReportsTheFirstDifferingByte) {
  std::unique_ptr<BlockDevice> d = open(deviceSpec("verify.img"));
  ASSERT_TRUE(d);
  std::vector<uint8_t> data = pattern(4 * kBlock, 21);
  ASSERT_EQ(write(*d, 10, data).status, kStatusGood);
  uint8_t cdb[kCdbMaxBytes];
  size_t n = buildVerify16(cdb, 10, 4, kBytchkCompare);
  EXPECT_EQ(run(*d, cdb, n, data.data(), data.size()).status, kStatusGood);

  std::vector<uint8_t> wrong = data;
  wrong[2 * kBlock + 7] ^= 0x40;
  DeviceCompletion c = run(*d, cdb, n, wrong.data(), wrong.size());
  ASSERT_EQ(c.status, kStatusCheckCondition);
  Sense s = senseOf(c);
  EXPECT_EQ(s.key, kSenseMiscompare);
  EXPECT_EQ(s.asc, 0x1D);
  EXPECT_EQ(s.ascq, 0x00);
  EXPECT_EQ(s.information, 2 * kBlock + 7);

  // BYTCHK 3: one block compared with every verified block.
  std::vector<uint8_t> block = pattern(kBlock, 77);
  n = buildWriteSame16(cdb, 30, 5);
  ASSERT_EQ(run(*d, cdb, n, block.data(), block.size()).status, kStatusGood);
  n = buildVerify16(cdb, 30, 5, kBytchkSame);
  EXPECT_EQ(run(*d, cdb, n, block.data(), block.size()).status, kStatusGood);
  n = buildVerify16(cdb, 29, 2, kBytchkSame);  // block 29 was never written
  c = run(*d, cdb, n, block.data(), block.size());
  EXPECT_EQ(senseOf(c).key, kSenseMiscompare);
  EXPECT_EQ(senseOf(c).information, 0u);
}

TEST_F(BlockDeviceTest, DiscardReadsBackZerosAndSyncCompletesGood) {
  std::unique_ptr<BlockDevice> d = open(deviceSpec("trim.img"));
  ASSERT_TRUE(d);
  ASSERT_TRUE(d->geometry().supportsUnmap) << "the temporary directory's file system cannot punch holes";
  std::vector<uint8_t> data = pattern(16 * kBlock, 1);
  ASSERT_EQ(write(*d, 0, data).status, kStatusGood);

  uint8_t list[unmapParameterListBytes(2)];
  UnmapRange ranges[2] = {{2, 3}, {9, 1}};
  size_t listBytes = buildUnmapParameterList(list, sizeof(list), ranges, 2);
  uint8_t cdb[kCdbMaxBytes];
  size_t n = buildUnmap10(cdb, static_cast<uint16_t>(listBytes));
  EXPECT_EQ(run(*d, cdb, n, list, listBytes).status, kStatusGood);
  n = buildWriteSame16(cdb, 12, 2, true);
  EXPECT_EQ(run(*d, cdb, n).status, kStatusGood);

  std::vector<uint8_t> expected = data;
  for (uint64_t lba : {2, 3, 4, 9, 12, 13}) std::fill_n(expected.begin() + lba * kBlock, kBlock, 0);
  EXPECT_EQ(read(*d, 0, 16), expected);

  n = buildSynchronizeCache16(cdb);
  DeviceCompletion c = run(*d, cdb, n);
  EXPECT_EQ(c.status, kStatusGood);
  EXPECT_TRUE(c.sense.empty());

  // A discard keeps its place among overlapping commands in flight: after the write sent before
  // it, before the write sent after it.
  const std::vector<uint8_t> older = pattern(4 * kBlock, 3), newer = pattern(2 * kBlock, 5);
  uint8_t writeCdb[kCdbMaxBytes];
  n = buildWrite16(writeCdb, 20, 4, 0, false);
  ASSERT_EQ(d->submit(command(1, writeCdb, n, older.data(), older.size())), 0);
  UnmapRange range{20, 4};
  listBytes = buildUnmapParameterList(list, sizeof(list), &range, 1);
  n = buildUnmap10(cdb, static_cast<uint16_t>(listBytes));
  ASSERT_EQ(d->submit(command(2, cdb, n, list, listBytes)), 0);
  n = buildWrite16(writeCdb, 22, 2, 0, false);
  ASSERT_EQ(d->submit(command(3, writeCdb, n, newer.data(), newer.size())), 0);
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(d->poll(c, true));
    EXPECT_EQ(c.status, kStatusGood) << "tag " << c.tag;
  }
  std::vector<uint8_t> after(2 * kBlock, 0);
  after.insert(after.end(), newer.begin(), newer.end());
  EXPECT_EQ(read(*d, 20, 4), after);
}

TEST_F(BlockDeviceTest, RefusesWhatTheDeviceCannotDoWithReadableSense) {
  std::unique_ptr<BlockDevice> d = open(deviceSpec("refuse.img"));
  ASSERT_TRUE(d);
  std::vector<uint8_t> buffer(4 * kBlock);
  uint8_t cdb[kCdbMaxBytes];
  auto expectSense = [&](size_t n, const uint8_t* out, uint64_t outBytes, uint8_t* in, uint64_t inBytes, Sense want,
                         const char* what) {
    DeviceCompletion c = run(*d, cdb, n, out, outBytes, in, inBytes);
    EXPECT_EQ(c.status, kStatusCheckCondition) << what;
    Sense s = senseOf(c);
    EXPECT_EQ(s.key, want.key) << what;
    EXPECT_EQ(s.asc, want.asc) << what;
  };
  expectSense(buildRead16(cdb, kBlocks - 1, 2), nullptr, 0, buffer.data(), buffer.size(), {5, 0x21, 0, 0},
              "read past the end");
  expectSense(buildWrite16(cdb, kBlocks, 1), buffer.data(), buffer.size(), nullptr, 0, {5, 0x21, 0, 0},
              "write at the capacity");
  expectSense(buildWriteSame16(cdb, kBlocks - 2, 3), buffer.data(), buffer.size(), nullptr, 0, {5, 0x21, 0, 0},
              "write same past the end");
  expectSense(buildWrite16(cdb, 0, 8), buffer.data(), buffer.size(), nullptr, 0, {5, 0x1A, 0, 0},
              "data buffer too short");
  expectSense(buildWrite16(cdb, 0, 1, 1), buffer.data(), buffer.size(), nullptr, 0, {5, 0x24, 0, 0},
              "protection information");
  EXPECT_EQ(d->geometry().atomicUnitBlocks, 0u);
  expectSense(buildWriteAtomic16(cdb, 0, 1, 0), buffer.data(), buffer.size(), nullptr, 0, {5, 0x20, 0, 0},
              "atomic write without kernel support");
  // An UNMAP list that claims more descriptors than it carries changes nothing.
  uint8_t list[24] = {0, 30, 0, 32};
  expectSense(buildUnmap10(cdb, sizeof list), list, sizeof list, nullptr, 0, {5, 0x26, 0, 0}, "malformed UNMAP list");
  // The same tag after a refusal completes clean: no sense left over from the command before.
  EXPECT_TRUE(write(*d, 0, pattern(kBlock, 1)).sense.empty());

  // Request 218 keeps the LBA the agent names; the showstop stops the file, which then refuses
  // every command.
  uint32_t zero = 0;
  uint64_t failing = 0x3E8;
  void* args[] = {&zero, &failing};
  EXPECT_EQ(d->ioctl(kIoctlMiscompareLba, 2, args), 0);
  EXPECT_EQ(d->lastMiscompareLba(), 0x3E8u);
  const ShowstopRequest showstop;
  EXPECT_EQ(d->send(&showstop, sizeof showstop), 0);
  EXPECT_TRUE(d->stopped());
  EXPECT_NE(d->submit(command(7, cdb, buildRead16(cdb, 0, 1), nullptr, 0, buffer.data(), kBlock)), 0);
  d.reset();
  EXPECT_EQ(fs::file_size(path("refuse.img")), kBlocks * kBlock) << "nothing beyond the capacity was touched";

  struct Refusal {
    DeviceSpec device;
    int status;
    std::vector<std::string> messages;
  };
  DeviceSpec protectedSpec = deviceSpec("pi.img");
  protectedSpec.protectionInfo = true;
  const std::string missing = path("no/such/dir/file.img");
  const Refusal refusals[] = {
      {deviceSpec("no/such/dir/file.img"), kExitDeviceFailure, {missing, "No such file or directory"}},
      {protectedSpec, kExitRefused, {"protection information"}},
      {deviceSpec(""), kExitDeviceFailure, {"cannot be used as a drive: it is a directory"}},
  };
  for (const Refusal& r : refusals) {
    std::string error;
    int status = 0;
    std::vector<std::string> warnings;
    EXPECT_FALSE(BlockDevice::open(r.device, error, status, warnings)) << r.device.kind;
    EXPECT_EQ(status, r.status) << error;
    for (const std::string& m : r.messages) EXPECT_NE(error.find(m), std::string::npos) << error;
  }
}

// When a fixed seed warns is pinned through the command line in the FixedSeedWarning test.
TEST_F(BlockDeviceTest, PreconditionMakesEveryRunsContentDifferent) {
  DeviceSpec s = deviceSpec("pre.img");
  std::unique_ptr<BlockDevice> d = open(s);
  ASSERT_TRUE(d);
  std::string error;
  ASSERT_TRUE(preconditionDevice(*d, runNonce(5), error)) << error;
  std::vector<uint8_t> first = read(*d, 0, kBlocks);
  ASSERT_TRUE(preconditionDevice(*d, runNonce(5), error)) << error;
  std::vector<uint8_t> second = read(*d, 0, kBlocks);
  for (uint64_t lba = 0; lba < kBlocks; ++lba) {
    EXPECT_FALSE(std::equal(first.begin() + lba * kBlock, first.begin() + (lba + 1) * kBlock, second.begin() + lba * kBlock))
        << "block " << lba << " is the same in two runs with the same seed";
    if (lba > 0) {
      EXPECT_FALSE(std::equal(first.begin() + lba * kBlock, first.begin() + (lba + 1) * kBlock,
                              first.begin() + (lba - 1) * kBlock))
          << "block " << lba << " repeats its neighbour";
    }
  }
}

}  // namespace
}  // namespace varnox::blockdev

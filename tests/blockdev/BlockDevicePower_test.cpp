// Power toggles of files and loop devices whose power the test switches: every command in flight
// let go without a completion, the device opened again once it is back, what completed still there,
// a device that comes back different refused; whole runs on a loop device that really goes away.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "blockdev/BlockDevice.h"
#include "blockdev/LoopDevice.h"
#include "sim/SimDriveHarness.h"
#include "support/RunVarnox.h"
#include "support/TempDir.h"
#include "tavik/Errors.h"
#include "varnox/TestRun.h"

namespace varnox::blockdev {
namespace {

namespace fs = std::filesystem;
using sim::testing::Harness;
using testing::readAll;

constexpr uint32_t kBlock = 512;
const std::string kLoopPower = std::string(VARNOX_SOURCE_DIR) + "/tests/blockdev/loop-power";

std::vector<uint8_t> pattern(uint64_t lba, uint32_t blocks, uint8_t stamp) {
  return sim::testing::pattern(lba, blocks, kBlock, stamp);
}

class BlockDevicePowerTest : public testing::TempDirTest {
 protected:
  std::unique_ptr<Device> open(const std::string& device, std::vector<std::string> off,
                               std::vector<std::string> on) {
    DeviceSpec s;
    s.kind = device;
    s.capacityBlocks = 256;
    s.logicalBlockSize = kBlock;
    s.queueDepth = 32;
    s.powerOff = std::move(off);
    s.powerOn = std::move(on);
    s.powerTimeoutSeconds = 2;
    std::string error;
    int status = 0;
    std::vector<std::string> warnings;
    std::unique_ptr<BlockDevice> opened = BlockDevice::open(s, error, status, warnings);
    EXPECT_TRUE(opened) << error;
    if (opened) {
      EXPECT_TRUE(opened->geometry().supportsPowerToggle);
    }
    return opened;
  }

  // Writes that complete before a power toggle, commands in flight at it, and the device after it.
  void toggleWithCommandsInFlight(Harness& h) {
    const std::vector<uint8_t> kept = pattern(0, 8, 1);
    ASSERT_EQ(h.write(0, kept).status, kStatusGood);
    ASSERT_EQ(h.sync().status, kStatusGood);
    // The buffers of the commands in flight live until the toggle has let go of them.
    std::vector<std::vector<uint8_t>> reads(4, std::vector<uint8_t>(8 * kBlock)), writes;
    for (uint32_t i = 0; i < 8; ++i) writes.push_back(pattern(16 + i * 8, 8, 2));
    for (uint32_t i = 0; i < 8; ++i) ASSERT_EQ(h.submitWrite(100 + i, 16 + i * 8, writes[i]), 0);
    for (uint32_t i = 0; i < 4; ++i) ASSERT_EQ(h.submitRead(200 + i, 0, reads[i]), 0);
    ASSERT_EQ(h.device->powerToggle(), 0) << h.device->lastPowerToggle();
    EXPECT_TRUE(h.device->lastPowerToggle().starts_with("power cycled: power_off took "))
        << h.device->lastPowerToggle();
    EXPECT_TRUE(h.device->lastPowerToggle().ends_with("; 12 commands in flight lost"))
        << h.device->lastPowerToggle();
    // Nothing of what was in flight comes back, now or later.
    EXPECT_EQ(h.device->outstanding(), 0u);
    DeviceCompletion late;
    EXPECT_FALSE(h.device->poll(late, true));
    EXPECT_EQ(h.device->stats().powerCycles, 1u);
    // What completed is there; a write that was in flight landed whole or not at all, per block.
    EXPECT_EQ(h.read(0, 8), kept);
    const std::vector<uint8_t> after = h.read(16, 64), written = pattern(16, 64, 2);
    for (size_t b = 0; b < 64; ++b) {
      const auto block = after.begin() + static_cast<std::ptrdiff_t>(b * kBlock);
      const bool isNew =
          std::equal(block, block + kBlock, written.begin() + static_cast<std::ptrdiff_t>(b * kBlock));
      const bool isOld = std::all_of(block, block + kBlock, [](uint8_t v) { return v == 0; });
      EXPECT_TRUE(isNew || isOld) << "block " << 16 + b;
    }
    // And the device takes commands again.
    EXPECT_EQ(h.write(200, pattern(200, 4, 3)).status, kStatusGood);
    EXPECT_EQ(h.read(200, 4), pattern(200, 4, 3));
  }
};

TEST_F(BlockDevicePowerTest, AFileLetsGoOfItsCommandsAndIsOpenedAgainAfterTheCommands) {
  const std::string log = path("power.log");
  Harness h(open(path("disk.img"), {"sh", "-c", "echo off >> " + log}, {"sh", "-c", "echo on >> " + log}),
            kBlock);
  ASSERT_TRUE(h.device);
  toggleWithCommandsInFlight(h);
  EXPECT_EQ(readAll(log), "off\non\n");
}

TEST_F(BlockDevicePowerTest, AFileThatComesBackAsAnotherIsTheDevicesFailure) {
  const std::string disk = path("disk.img"), other = path("other.img");
  Harness h(open(disk, {"cp", disk, other}, {"mv", other, disk}), kBlock);
  ASSERT_TRUE(h.device);
  const std::vector<uint8_t> data = pattern(0, 4, 1);
  ASSERT_EQ(h.submitWrite(7, 0, data), 0);
  EXPECT_EQ(h.device->powerToggle(), VARNOX_ERR_DEVICE);
  EXPECT_TRUE(h.device->lastPowerToggle().starts_with(disk + " came back as a different device: inode "))
      << h.device->lastPowerToggle();
  EXPECT_EQ(h.device->outstanding(), 0u);
  // Lost: it takes nothing more, and a second toggle says why.
  EXPECT_EQ(h.submitWrite(8, 0, data), VARNOX_ERR_DEVICE);
  EXPECT_EQ(h.device->powerToggle(), VARNOX_ERR_DEVICE);
  EXPECT_EQ(h.device->lastPowerToggle(), disk + " did not come back from an earlier power toggle");
}

TEST_F(BlockDevicePowerTest, ASyncCacheCompletesAfterTheWritesSentBeforeIt) {
  Harness h(open(path("disk.img"), {"true"}, {"true"}), kBlock);
  ASSERT_TRUE(h.device);
  for (int round = 0; round < 20; ++round) {
    SCOPED_TRACE(round);
    std::vector<std::vector<uint8_t>> writes;
    for (uint32_t i = 0; i < 9; ++i) writes.push_back(pattern(i * 32, 32, static_cast<uint8_t>(round)));
    for (uint32_t i = 0; i < 8; ++i) ASSERT_EQ(h.submitWrite(i, i * 32, writes[i]), 0);
    uint8_t cdb[kCdbMaxBytes];
    ASSERT_EQ(h.submitCdb(50, cdb, buildSynchronizeCache16(cdb)), 0);
    // A write sent after it need not wait: it may complete before or after.
    ASSERT_EQ(h.submitWrite(60, 0, writes[8]), 0);
    std::vector<uint32_t> order;
    DeviceCompletion c;
    while (h.next(c)) {
      EXPECT_EQ(c.status, kStatusGood);
      if (c.tag != 60) order.push_back(c.tag);
    }
    ASSERT_EQ(order.size(), 9u);
    EXPECT_EQ(order.back(), 50u);
  }
}

TEST_F(BlockDevicePowerTest, ALoopDeviceThatIsDetachedAndAttachedAgainIsOpenedAgain) {
  const std::string image = file("disk.img", ""), other = file("other.img", "");
  fs::resize_file(image, 256 * kBlock);
  fs::resize_file(other, 256 * kBlock);
  testing::LoopDevice loop(image);
  if (loop.path().empty())
    GTEST_SKIP() << "no loop device on this machine (losetup failed; needs root and /dev/loop-control)";
  {
    Harness h(open(loop.path(), {kLoopPower, "off", loop.path()}, {kLoopPower, "on", loop.path(), image}),
              kBlock);
    ASSERT_TRUE(h.device);
    toggleWithCommandsInFlight(h);
  }
  // Attached to another file of the same size, it is another device.
  Harness h(open(loop.path(), {kLoopPower, "off", loop.path()}, {kLoopPower, "on", loop.path(), other}),
            kBlock);
  ASSERT_TRUE(h.device);
  EXPECT_EQ(h.device->powerToggle(), VARNOX_ERR_DEVICE);
  EXPECT_EQ(h.device->lastPowerToggle(), loop.path() + " came back as a different device: loop file " +
                                             fs::canonical(other).string() + ", was " +
                                             fs::canonical(image).string());
}

// Whole runs on a loop device whose power_off detaches it and whose power_on attaches a file at
// the same node again: the same file passes; another file, or the same file resized, is exit 3.
TEST_F(BlockDevicePowerTest, RunsOnALoopDeviceThatGoesAwayAndComesBack) {
  const std::string image = file("disk.img", ""), other = file("other.img", "");
  fs::resize_file(image, 1 << 20);
  fs::resize_file(other, 1 << 20);
  testing::LoopDevice loop(image);
  if (loop.path().empty())
    GTEST_SKIP() << "no loop device on this machine (losetup failed; needs root and /dev/loop-control)";
  struct Case {
    const char* name;
    std::string powerOn;  // the argument list as TOML
    int status;
    std::string message;
  };
  auto list = [](std::vector<std::string> args) {
    std::string text;
    for (const std::string& a : args) text += (text.empty() ? "[\"" : ", \"") + a + "\"";
    return text + "]";
  };
  const Case cases[] = {
      {"the same file", list({kLoopPower, "on", loop.path(), image}), kExitPassed, "Result: passed (exit 0)"},
      {"another file", list({kLoopPower, "on", loop.path(), other}), kExitDeviceFailure,
       loop.path() + " came back as a different device: loop file " + fs::canonical(other).string()},
      {"the file grown",
       list({"sh", "-c",
             "truncate -s 2M " + image + " && " + kLoopPower + " on " + loop.path() + " " + image}),
       kExitDeviceFailure,
       loop.path() +
           " came back as the same device with a different size: size 2097152 bytes, was 1048576 bytes"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string toml = file("t.toml", R"([test]
duration = "3s"
[[drive]]
device = ")" + loop.path() + R"("
write_cache = "volatile"
power_off = )" + list({kLoopPower, "off", loop.path()}) +
                                                R"(
power_on = )" + c.powerOn + R"(
power_timeout = "2s"
[[flow]]
agent = "lba"
max_xfer = 8
[[flow]]
agent = "cardamor"
[[flow]]
command = "write"
condition = "write"
[[flow]]
command = "read"
condition = "read"
[[flow]]
command = "synccache"
condition = "sync"
[[flow]]
command = "powertoggle"
condition = "power"
[[flow]]
command = "getstatus"
[cardamor]
"Write Condition" = "write"
"Read Condition" = "read"
"PowerToggle Freq" = 1
"PowerToggle Condition" = "power"
"SyncCache Condition" = "sync"
"Min Queue Size" = 4
"Max Queue Size" = 16
)");
    const testing::CliResult r =
        testing::runCli({"run", toml, "--seed", "7", "--output", path("run"), "--json", path("run.json")});
    EXPECT_EQ(r.status, c.status) << r.out << r.err;
    EXPECT_NE(r.out.find(c.message), std::string::npos) << r.out << r.err;
    if (c.status == kExitPassed) {
      EXPECT_EQ(r.out.find(" 0 power cycles"), std::string::npos) << r.out;
      EXPECT_NE(readAll(path("run.json")).find("\"cache\": \"page cache, write cache volatile\""),
                std::string::npos);
    }
    // The loop device is left as power_on made it; the next case starts from the file again.
    testing::shell("losetup -d " + loop.path() + "; sleep 0.2; losetup " + loop.path() + " " + image);
    fs::resize_file(image, 1 << 20);
    testing::shell("losetup -c " + loop.path());
  }
}

}  // namespace
}  // namespace varnox::blockdev

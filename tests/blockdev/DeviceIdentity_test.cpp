// Device identity: files told apart by inode and size, disks by what sysfs shows (a sysfs tree of
// the test's own), a real loop device, and the text form that records keep.
#include "blockdev/DeviceIdentity.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "blockdev/LoopDevice.h"
#include "support/TempDir.h"

namespace varnox::blockdev {
namespace {

namespace fs = std::filesystem;
using DeviceIdentityTest = testing::TempDirTest;

TEST_F(DeviceIdentityTest, AFileIsKnownByItsSizeAndInode) {
  const std::string disk = file("disk.img", std::string(4096, 'a'));
  DeviceIdentity before, now;
  std::string error;
  ASSERT_TRUE(readDeviceIdentity(disk, before, error)) << error;
  EXPECT_FALSE(before.blockDevice);
  EXPECT_EQ(before.sizeBytes, 4096u);
  EXPECT_NE(before.inode, 0u);
  ASSERT_TRUE(readDeviceIdentity(disk, now, error));
  EXPECT_EQ(identityDifference(before, now), "");

  // Rewritten in place it is the same file; another file renamed over it is not, even of the
  // same size; cut short it has another size.
  std::ofstream(disk, std::ios::binary | std::ios::in) << "bbbb";
  ASSERT_TRUE(readDeviceIdentity(disk, now, error));
  EXPECT_EQ(identityDifference(before, now), "");
  const std::string other = file("other.img", std::string(4096, 'c'));
  DeviceIdentity otherId;
  ASSERT_TRUE(readDeviceIdentity(other, otherId, error));
  fs::rename(other, disk);
  ASSERT_TRUE(readDeviceIdentity(disk, now, error));
  EXPECT_EQ(identityDifference(before, now),
            "inode " + std::to_string(otherId.inode) + ", was " + std::to_string(before.inode));
  fs::resize_file(disk, 1024);
  ASSERT_TRUE(readDeviceIdentity(disk, now, error));
  EXPECT_NE(identityDifference(before, now).find("size 1024 bytes, was 4096 bytes; inode "),
            std::string::npos)
      << identityDifference(before, now);

  // After a restart of the host only the file system's number may change.
  now = before;
  now.fileSystem = "0:99";
  EXPECT_EQ(identityDifference(before, now), "file system 0:99, was " + before.fileSystem);
  EXPECT_EQ(identityDifference(before, now, false), "");

  // Nothing usable: each error names the path.
  for (const std::string& path : {path("missing.img"), dir_.string(), std::string("/dev/null")}) {
    error.clear();
    EXPECT_FALSE(readDeviceIdentity(path, now, error)) << path;
    EXPECT_EQ(error.rfind(path + ": ", 0), 0u) << error;
  }
}

// A disk's sysfs folder as the kernel lays it out, with a partition below it.
void writeAttribute(const fs::path& file, const std::string& value) {
  fs::create_directories(file.parent_path());
  std::ofstream(file, std::ios::binary) << value;
}

TEST_F(DeviceIdentityTest, ADiskIsKnownByWhatSysfsShows) {
  const fs::path sda = dir_ / "devices/sda", sda1 = sda / "sda1";
  writeAttribute(sda / "size", "2097152\n");
  writeAttribute(sda / "queue/logical_block_size", "4096\n");
  writeAttribute(sda / "device/model", "SLOW DISK       \n");
  writeAttribute(sda / "device/wwid", "naa.5000c500a1b2c3d4\n");
  // No serial attribute: the serial comes from the unit serial number page.
  writeAttribute(sda / "device/vpd_pg80", std::string("\x00\x80\x00\x0a  ZA1B2C3D", 14));
  writeAttribute(sda1 / "size", "1024\n");
  writeAttribute(sda1 / "partition", "1\n");
  writeAttribute(sda1 / "start", "2048\n");

  DeviceIdentity disk, part;
  ASSERT_TRUE(readSysfsIdentity(sda.string(), disk));
  EXPECT_EQ(disk.sizeBytes, 2097152u * 512);
  EXPECT_EQ(disk.logicalBlockSize, 4096u);
  EXPECT_EQ(disk.model, "SLOW DISK");
  EXPECT_EQ(disk.serial, "ZA1B2C3D");
  EXPECT_EQ(disk.wwid, "naa.5000c500a1b2c3d4");
  EXPECT_EQ(disk.partition, "");
  ASSERT_TRUE(readSysfsIdentity(sda1.string(), part));
  EXPECT_EQ(part.sizeBytes, 1024u * 512);
  EXPECT_EQ(part.partition, "1 at sector 2048");
  EXPECT_EQ(part.serial, "ZA1B2C3D") << "a partition carries its disk's identity";
  part.blockDevice = true;
  EXPECT_TRUE(part.describe().ends_with(", serial ZA1B2C3D, wwid naa.5000c500a1b2c3d4, partition 1 at sector 2048"))
      << part.describe();
  EXPECT_FALSE(readSysfsIdentity((dir_ / "devices/none").string(), part));

  disk.path = "/dev/disk/by-id/wwn-0x5000c500a1b2c3d4";
  disk.blockDevice = true;
  EXPECT_EQ(disk.describe(),
            "/dev/disk/by-id/wwn-0x5000c500a1b2c3d4: block device of 1073741824 bytes, 4096-byte blocks, "
            "model SLOW "
            "DISK, serial ZA1B2C3D, wwid naa.5000c500a1b2c3d4");

  // Another drive in the slot: every field that differs is named, with what it was.
  writeAttribute(sda / "serial", "ZX9\n");  // an attribute of its own wins over the page
  writeAttribute(sda / "device/wwid", "");
  DeviceIdentity now;
  ASSERT_TRUE(readSysfsIdentity(sda.string(), now));
  now.path = disk.path;
  now.blockDevice = true;
  EXPECT_EQ(identityDifference(disk, now), "serial ZX9, was ZA1B2C3D; no wwid, was naa.5000c500a1b2c3d4");
  EXPECT_EQ(identityDifference(now, disk),
            "serial ZA1B2C3D, was ZX9; wwid naa.5000c500a1b2c3d4, none before");
}

TEST_F(DeviceIdentityTest, TheTextFormReadsBackAsTheSameIdentity) {
  DeviceIdentity id;
  id.path = "/tmp/odd\\name\nwith a newline";
  id.blockDevice = true;
  id.sizeBytes = 67108864;
  id.logicalBlockSize = 512;
  id.model = "M=1";
  id.loopFile = "/tmp/disk.img";
  const std::string text = formatIdentity(id);
  EXPECT_EQ(text,
            "path=/tmp/odd\\\\name\\nwith a newline\nkind=block device\nsize=67108864 bytes\nblock size=512\n"
            "model=M=1\nloop file=/tmp/disk.img\n");
  DeviceIdentity back;
  std::string error;
  ASSERT_TRUE(parseIdentity(text, back, error)) << error;
  EXPECT_EQ(identityDifference(id, back), "");
  EXPECT_EQ(back.path, id.path);

  DeviceIdentity fileId;
  fileId.path = "/tmp/d.img";
  fileId.sizeBytes = 4096;
  fileId.fileSystem = "0:45";
  fileId.inode = 77;
  ASSERT_TRUE(parseIdentity(formatIdentity(fileId), back, error)) << error;
  EXPECT_EQ(identityDifference(fileId, back), "");

  const std::pair<const char*, const char*> refused[] = {
      {"path=/a\nno equals sign\n", "device identity line 2: no \"=\" in \"no equals sign\""},
      {"colour=blue\n", "device identity line 1: unknown name \"colour\""},
      {"size=12 blocks\n", "device identity line 1: size \"12 blocks\" is not a number"},
      {"inode=-1\n", "device identity line 1: inode \"-1\" is not a number"},
      {"kind=tape\n", "device identity line 1: kind \"tape\" is not block device or file"},
  };
  for (const auto& [input, why] : refused) {
    EXPECT_FALSE(parseIdentity(input, back, error)) << input;
    EXPECT_EQ(error, why);
  }
}

TEST_F(DeviceIdentityTest, ALoopDeviceIsKnownByItsFileAndIsGoneOnceDetached) {
  const std::string image = file("disk.img", "");
  fs::resize_file(image, 1 << 20);
  std::string path;
  {
    testing::LoopDevice loop(image);
    if (loop.path().empty())
      GTEST_SKIP() << "no loop device on this machine (losetup failed; needs root and /dev/loop-control)";
    path = loop.path();
    DeviceIdentity id;
    std::string error;
    ASSERT_TRUE(readDeviceIdentity(path, id, error)) << error;
    EXPECT_TRUE(id.blockDevice);
    EXPECT_EQ(id.sizeBytes, 1u << 20);
    EXPECT_EQ(id.logicalBlockSize, 512u);
    EXPECT_EQ(id.loopFile, fs::canonical(image).string());
  }
  // The node stays after losetup -d, empty (unless another program attached a file of its own
  // to it meanwhile).
  DeviceIdentity gone;
  std::string error;
  if (readDeviceIdentity(path, gone, error))
    EXPECT_NE(gone.loopFile, fs::canonical(image).string());
  else
    EXPECT_EQ(error, path + ": the block device is empty (no medium, or a loop device with no file)");
}

}  // namespace
}  // namespace varnox::blockdev

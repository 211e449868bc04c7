#include "DriveIdentity.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "Summary.h"
#include "blockdev/LoopDevice.h"
#include "support/TempDir.h"

namespace varnox::cli {
namespace {

using testing::TempDirTest;
using DriveIdentityTest = TempDirTest;

// Disks as sysfs shows them: a SCSI disk names its serial only in VPD page 0x80 and its firmware
// as "rev"; an NVMe namespace gives "serial", "firmware_rev" and its own "wwid". Padding goes.
TEST_F(DriveIdentityTest, ReadsWhatSysfsShowsOfScsiAndNvmeDisks) {
  namespace fs = std::filesystem;
  const fs::path sda = dir_ / "sda", nvme = dir_ / "nvme0n1";
  fs::create_directories(sda / "device");
  fs::create_directories(nvme / "device");
  file("sda/size", "1953525168\n");
  file("sda/device/model", "ST1000DM010-2EP1\n");
  file("sda/device/vendor", "ATA     \n");
  file("sda/device/rev", "CC43\n");
  file("sda/device/wwid", "naa.5000c500a1b2c3d4\n");
  file("sda/device/vpd_pg80", std::string("\x00\x80\x00\x0c", 4) + "  ZN1ABCDE  ");
  file("nvme0n1/size", "2048\n");
  file("nvme0n1/wwid", "eui.0025388b91b0c0d1\n");
  file("nvme0n1/device/model", "Samsung SSD 980 1TB                     \n");
  file("nvme0n1/device/serial", "S64ANS0T123456X     \n");
  file("nvme0n1/device/firmware_rev", "2B4QFXO7\n");

  DriveIdentity scsi, nv;
  readSysfsIdentity(sda.string(), scsi);
  readSysfsIdentity(nvme.string(), nv);
  EXPECT_EQ(scsi.sizeBytes, 1953525168ull * 512);
  EXPECT_EQ(scsi.model, "ST1000DM010-2EP1");
  EXPECT_EQ(scsi.vendor, "ATA");
  EXPECT_EQ(scsi.serial, "ZN1ABCDE");
  EXPECT_EQ(scsi.firmware, "CC43");
  EXPECT_EQ(scsi.wwid, "naa.5000c500a1b2c3d4");
  EXPECT_EQ(nv.sizeBytes, 2048u * 512);
  EXPECT_EQ(nv.model, "Samsung SSD 980 1TB");
  EXPECT_EQ(nv.serial, "S64ANS0T123456X");
  EXPECT_EQ(nv.firmware, "2B4QFXO7");
  EXPECT_EQ(nv.wwid, "eui.0025388b91b0c0d1");
  EXPECT_EQ(nv.vendor, std::nullopt);
  // A size that is no number is unknown, not a crash.
  fs::create_directories(dir_ / "odd");
  file("odd/size", "lots\n");
  DriveIdentity odd;
  readSysfsIdentity((dir_ / "odd").string(), odd);
  EXPECT_EQ(odd.sizeBytes, std::nullopt);

  // What the kernel does not show stays unknown: null in the record, never an empty string.
  EXPECT_EQ(
      driveIdentityJson(nv),
      "{\"kind\": \"\", \"path\": \"\", \"model\": \"Samsung SSD 980 1TB\", \"vendor\": null, "
      "\"serial\": \"S64ANS0T123456X\", \"firmware\": \"2B4QFXO7\", \"wwid\": \"eui.0025388b91b0c0d1\", "
      "\"sizeBytes\": 1048576, \"sysfsPath\": " +
          jsonString(nvme.string()) + "}");
}

// A file is known by its size; a loop device (where the machine gives one) by what sysfs shows of
// it, its size the loop's own.
TEST_F(DriveIdentityTest, FilesAndBlockDevicesByPath) {
  EXPECT_EQ(driveIdentity("sim").kind, "sim");
  const std::string image = file("disk.img", std::string(1 << 20, '\0'));
  const DriveIdentity f = driveIdentity(image);
  EXPECT_EQ(f.kind, "file");
  EXPECT_EQ(f.sizeBytes, 1u << 20);
  EXPECT_EQ(driveIdentity(path("missing.img")).sizeBytes, std::nullopt);

  testing::LoopDevice loop(image);
  if (loop.path().empty()) GTEST_SKIP() << "no loop device on this machine";
  const DriveIdentity l = driveIdentity(loop.path());
  EXPECT_EQ(l.kind, "block device");
  EXPECT_EQ(l.sizeBytes, 1u << 20);
  ASSERT_TRUE(l.sysfsPath.has_value());
  EXPECT_NE(l.sysfsPath->find("loop"), std::string::npos) << *l.sysfsPath;
}

}  // namespace
}  // namespace varnox::cli

// What a test refuses to write: devices the kernel uses (whatever the flags), and files and
// devices carrying anything blkid recognises (unless the drive says destroy_data = true and the
// command line --force). Signatures are made by the real tools on files and on loop devices;
// where the machine lacks a tool or loop devices, those cases are skipped with a message.
#include "blockdev/DeviceSafety.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "LoopDevice.h"
#include "support/RunVarnox.h"
#include "support/TempDir.h"
#include "blockdev/Signatures.h"
#include "varnox/TestRun.h"

namespace varnox::blockdev {
namespace {

namespace fs = std::filesystem;

using testing::LoopDevice;
using testing::shell;
using Result = testing::CliResult;

class DeviceSafety : public testing::TempDirTest {
 protected:
  // A short test of `device` with the drive's destroy_data as given; --force when `force`.
  Result run(const std::string& device, bool destroyData, bool force, const std::string& command = "run",
             bool precondition = false) {
    const std::string test = path("test.toml");
    std::ofstream(test) << "[test]\npasses = 300\n[[drive]]\ndevice = \"" << device
                        << "\"\ncapacity = \"8MiB\"\ndestroy_data = " << (destroyData ? "true" : "false")
                        << "\nprecondition = " << (precondition ? "true" : "false")
                        << "\n[cardamor]\n\"Min Queue Size\" = 4\n\"Max Queue Size\" = 16\n";
    std::vector<std::string> args = {command, test, "--seed", "5"};
    if (force) args.push_back("--force");
    return testing::runCli(args);
  }

  // A zero-filled file of `bytes` in the test's folder.
  std::string zeros(const std::string& name, uintmax_t bytes) {
    std::ofstream(path(name)).close();
    fs::resize_file(path(name), bytes);
    return path(name);
  }

  // Refused without both flags, naming the drive, the path and blkid's type; written with both.
  void expectSignatureGuarded(const std::string& device, const std::string& type) {
    for (bool destroyData : {false, true}) {
      Result refused = run(device, destroyData, !destroyData);
      EXPECT_EQ(refused.status, kExitRefused) << type << " destroy_data " << destroyData;
      for (const std::string& part : std::vector<std::string>{"drive D0: device " + device + ": ", "(" + type, "--force"})
        EXPECT_NE(refused.err.find(part), std::string::npos) << part << "\n" << refused.err;
    }
    Result written = run(device, true, true);
    EXPECT_EQ(written.status, kExitPassed) << type << "\n" << written.err;
  }
};

TEST_F(DeviceSafety, DevicesTheKernelUsesAreRefusedWhateverWasAsked) {
  // A sysfs and a mount table of our own: device 7:0 with a partition 259:1.
  const fs::path sys = dir_ / "sys";
  const fs::path disk = sys / "dev/block/7:0";
  fs::create_directories(disk / "holders");
  fs::create_directories(disk / "loop0p1/holders");
  std::ofstream(disk / "loop0p1/partition") << "1\n";
  std::ofstream(disk / "loop0p1/dev") << "259:1\n";
  const std::string mounts = path("mountinfo");
  struct Case {
    const char* mounted;  // major:minor in the mount table, or empty
    const char* holder;   // a holder's directory under sys, or empty
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"", "", ""},
      {"7:0", "", "mounted on /mnt/data"},
      {"", "dev/block/7:0/holders/dm-0", "held by dm-0 (device-mapper, md, LVM or bcache)"},
      {"259:1", "", "its partition loop0p1 is mounted on /mnt/data"},
      {"", "dev/block/7:0/loop0p1/holders/md127", "its partition loop0p1 is held by md127"},
  };
  for (const Case& c : cases) {
    std::ofstream(mounts) << "22 1 8:1 / / rw - ext4 /dev/sda1 rw\n"
                          << (*c.mounted ? "40 22 " + std::string(c.mounted) + " / /mnt/data rw - ext4 x rw\n" : "");
    if (*c.holder) fs::create_directories(sys / c.holder);
    const std::string use = kernelUseOf(makedev(7, 0), sys.string(), mounts);
    if (c.expected.empty())
      EXPECT_EQ(use, "");
    else
      EXPECT_EQ(use.rfind(c.expected, 0), 0u) << use;
    if (*c.holder) fs::remove(sys / c.holder);
  }
}

TEST_F(DeviceSafety, FilesAreRefusedByWhatBlkidRecognises) {
  // An empty file, a zero-filled one and one an earlier run filled carry nothing.
  std::ofstream(path("empty.img")).close();
  EXPECT_EQ(run(path("empty.img"), false, false).status, kExitPassed);
  EXPECT_EQ(run(zeros("zero.img", 8 << 20), false, false).status, kExitPassed);
  ASSERT_EQ(run(path("filled.img"), false, false, "run", true).status, kExitPassed);
  Result again = run(path("filled.img"), false, false);
  EXPECT_EQ(again.status, kExitPassed) << again.err;

  struct Case {
    const char* tool;
    const char* type;
  };
  for (const Case& c : {Case{"mkfs.ext4 -q -F", "ext4"}, Case{"mkswap", "swap"}}) {
    const std::string image = zeros(std::string(c.type) + ".img", 8 << 20);
    if (shell(std::string(c.tool) + " " + image + " >/dev/null && echo made") != "made") {
      std::printf("skipped %s: %s is not available\n", c.type, c.tool);
      continue;
    }
    expectSignatureGuarded(image, c.type);
  }
}

TEST_F(DeviceSafety, SignaturesOnLoopDevicesNeedBothFlagsAndCheckTouchesNothing) {
  struct Case {
    std::string type;
    // Makes the signature on the device given after it. Empty: an md superblock of metadata 1.2
    // as mdadm writes it, 4 KiB into the member, for kernels with no md driver to create an array.
    std::string tool;
  };
  const std::vector<Case> cases = {{"ext4", "mkfs.ext4 -q -F"},
                                   {"LVM2_member", "LVM_SUPPRESS_FD_WARNINGS=1 pvcreate -qq -ff -y"},
                                   {"linux_raid_member", ""}};
  for (const Case& c : cases) {
    LoopDevice loop(zeros(c.type + ".img", 16 << 20));
    if (loop.path().empty()) GTEST_SKIP() << "no loop devices here (losetup failed)";
    if (c.tool.empty()) {
      std::ofstream(loop.path(), std::ios::in | std::ios::binary).seekp(4096)
          << testing::readAll(VARNOX_SOURCE_DIR "/tests/blockdev/md-superblock.bin");
    } else if (shell(c.tool + " " + loop.path() + " >/dev/null && echo made") != "made") {
      std::printf("skipped %s: %s failed or is not installed\n", c.type.c_str(), c.tool.c_str());
      continue;
    }
    // check with every flag and a precondition leaves the bytes and the times as they were.
    std::vector<std::string> types;
    std::string error;
    auto snapshot = [&] {
      int fd = openForInspection(loop.path());
      std::vector<char> bytes(16 << 20);
      EXPECT_EQ(::pread(fd, bytes.data(), bytes.size(), 0), static_cast<ssize_t>(bytes.size()));
      struct stat st {};
      ::fstat(fd, &st);
      ::close(fd);
      const timespec times[] = {st.st_atim, st.st_mtim, st.st_ctim};
      bytes.insert(bytes.end(), reinterpret_cast<const char*>(times), reinterpret_cast<const char*>(times + 3));
      return bytes;
    };
    const timespec old[2] = {{1000000000, 0}, {1000000000, 0}};
    ::utimensat(AT_FDCWD, loop.path().c_str(), old, 0);
    const std::vector<char> before = snapshot();
    Result checked = run(loop.path(), true, true, "check", true);
    EXPECT_EQ(checked.status, kExitPassed) << c.type << "\n" << checked.err;
    EXPECT_NE(checked.out.find("would fill " + loop.path() + " (8 MiB)"), std::string::npos) << checked.out;
    EXPECT_TRUE(snapshot() == before) << c.type << ": check changed the device or its times";
    expectSignatureGuarded(loop.path(), c.type);
  }
}

TEST_F(DeviceSafety, ADeviceWithAHolderIsRefusedEvenWithBothFlags) {
  LoopDevice loop(zeros("held.img", 16 << 20));
  if (loop.path().empty()) GTEST_SKIP() << "no loop devices here (losetup failed)";
  const std::string name = "varnox_held_" + std::to_string(::getpid());
  if (shell("dmsetup create " + name + " --table '0 32768 linear " + loop.path() + " 0' && echo made") != "made")
    GTEST_SKIP() << "no device-mapper here (dmsetup create failed)";
  Result r = run(loop.path(), true, true);
  shell("dmsetup remove " + name);
  EXPECT_EQ(r.status, kExitRefused);
  EXPECT_NE(r.err.find("drive D0: device " + loop.path() + ": held by dm-"), std::string::npos) << r.err;
}

}  // namespace
}  // namespace varnox::blockdev

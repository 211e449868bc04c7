// Two drives on one medium are refused before the run, naming both drives (each agent would
// otherwise report the other's writes as miscompares); drives on media of their own pass.
#include <gtest/gtest.h>

#include <array>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "LoopDevice.h"
#include "TestFile.h"
#include "support/TempDir.h"
#include "varnox/TestRun.h"

namespace varnox::blockdev {
namespace {

namespace fs = std::filesystem;
using testing::LoopDevice;

struct Case {
  const char* what;
  std::string first, second;
  bool refused;
};

class SharedDevice : public testing::TempDirTest {
 protected:
  void check(const Case& c) {
    SCOPED_TRACE(c.what);
    const std::string text = "[test]\npasses = 1\n[[drive]]\nname = \"first\"\ndevice = \"" + c.first +
                             "\"\ncapacity = 2048\n[[drive]]\nname = \"second\"\ndevice = \"" + c.second +
                             "\"\ncapacity = 2048\n";
    TestPlan plan;
    std::string error;
    ASSERT_TRUE(cli::parseTestFile(text, "shared.toml", plan, error)) << error;
    TestRun run;  // prepared only, as `varnox check` does
    const int status = run.prepare(plan, error);
    EXPECT_EQ(status, c.refused ? kExitRefused : kExitPassed) << error;
    EXPECT_EQ(error.find("drives first and second use ") != std::string::npos, c.refused) << error;
  }

};

TEST_F(SharedDevice, FilesAreOneWhateverPathReachesThem) {
  fs::create_directories(dir_ / "sub");
  // Zeros: a file holding anything else is the user's and refused before the media are compared.
  std::ofstream(path("a.img")) << std::string(512, '\0');
  std::ofstream(path("b.img")) << std::string(512, '\0');
  fs::create_symlink(path("a.img"), path("link.img"));
  fs::create_hard_link(path("a.img"), path("hard.img"));
  const std::vector<Case> cases = {
      {"the same path twice", path("a.img"), path("a.img"), true},
      {"a path through ..", path("a.img"), path("sub/../a.img"), true},
      {"a symlink", path("a.img"), path("link.img"), true},
      {"a hard link", path("hard.img"), path("a.img"), true},
      {"a file not created yet", path("new.img"), path("sub/../new.img"), true},
      {"two files", path("a.img"), path("b.img"), false},
  };
  for (const Case& c : cases) check(c);
}

TEST_F(SharedDevice, BlockDevicesOverlapOnTheirDisk) {
  // 8 MiB with an MBR holding one partition of 4 MiB from sector 2048.
  std::vector<char> image(8 << 20, 0);
  const std::array<unsigned char, 16> entry = {0, 0, 0, 0, 0x83, 0, 0, 0, 0x00, 0x08, 0, 0, 0x00, 0x20, 0, 0};
  std::copy(entry.begin(), entry.end(), image.begin() + 446);
  image[510] = 0x55;
  image[511] = static_cast<char>(0xAA);
  std::ofstream(path("disk.img"), std::ios::binary).write(image.data(), static_cast<std::streamsize>(image.size()));
  const LoopDevice loop(path("disk.img"), "-P");  // with its partitions
  const std::string& disk = loop.path();
  // Some kernels leave the partition scan to user space.
  if (!disk.empty() && !fs::exists(disk + "p1")) testing::shell("partx -a " + disk);
  if (disk.empty() || !fs::exists(disk + "p1")) GTEST_SKIP() << "no loop device with partitions on this machine";
  const std::vector<Case> cases = {
      {"the same loop device twice", disk, disk, true},
      {"a partition and its whole disk", disk + "p1", disk, true},
  };
  for (const Case& c : cases) check(c);
}

}  // namespace
}  // namespace varnox::blockdev

// On a file or block device a fixed seed makes a rerun write the bytes the last run left there,
// so a lost write could go unseen: the runner warns, but only when the user fixed the seed.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "CommandLine.h"

namespace varnox::cli {
namespace {

TEST(FixedSeedWarning, OnlyAUserFixedSeedOnARealDeviceWithoutPreconditionWarns) {
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("varnox-seed-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const std::string testFile = (dir / "t.toml").string();
  auto write = [&](bool precondition) {
    std::ofstream(testFile) << "[test]\npasses = 10\n[[drive]]\nname = \"D0\"\ndevice = \"" << (dir / "d.img").string()
                            << "\"\ncapacity = 4096\nprecondition = " << (precondition ? "true" : "false") << "\n";
  };
  auto check = [&](std::vector<const char*> extra) {
    std::vector<const char*> argv{"varnox", "check", testFile.c_str()};
    argv.insert(argv.end(), extra.begin(), extra.end());
    std::ostringstream out, err;
    EXPECT_EQ(runVarnox(static_cast<int>(argv.size()), argv.data(), out, err), 0) << err.str();
    return err.str().find("warning: device") != std::string::npos;
  };
  write(false);
  EXPECT_TRUE(check({"--seed", "5"}));
  EXPECT_TRUE(check({"--set", "Random Seed=9"}));
  EXPECT_FALSE(check({})) << "a seed the runner draws is new every run";
  write(true);
  EXPECT_FALSE(check({"--seed", "5"})) << "a preconditioned range differs from run to run";
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace varnox::cli

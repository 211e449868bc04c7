// On a file or block device a fixed seed makes a rerun write the bytes the last run left there,
// so a lost write could go unseen: the runner warns, but only when the user fixed the seed.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "CommandLine.h"

namespace varnox::cli {
namespace {

TEST(FixedSeedWarning, OnlyAUserFixedSeedOnARealDeviceWithoutPreconditionWarns) {
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("varnox-seed-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const std::string testFile = (dir / "t.toml").string();
  const std::string file = (dir / "d.img").string();
  struct Case {
    std::string device;
    bool precondition;
    std::vector<const char*> args;
    std::string warning;  // empty: no warning
  };
  const Case cases[] = {
      {file, false, {"--seed", "5"}, "\"Random Seed\" is fixed at 5"},
      {file, false, {"--set", "Random Seed=9"}, "\"Random Seed\" is fixed at 9"},
      {file, false, {"--set", "Random Seed = 9"}, "\"Random Seed\" is fixed at 9"},
      {file, false, {}, ""},                          // a seed the runner draws is new every run
      {file, false, {"--set", "Random Seed=0"}, ""},  // 0 draws a new seed every run
      {file, true, {"--seed", "5"}, ""},              // a preconditioned range differs from run to run
      {"sim", false, {"--seed", "5"}, ""},            // the simulated drive starts empty
  };
  for (const Case& c : cases) {
    std::ofstream(testFile) << "[test]\npasses = 10\n[[drive]]\nname = \"D0\"\ndevice = \"" << c.device
                            << "\"\ncapacity = 4096\nprecondition = " << (c.precondition ? "true" : "false")
                            << "\n";
    std::vector<const char*> argv{"varnox", "check", testFile.c_str()};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    std::ostringstream out, err;
    EXPECT_EQ(runVarnox(static_cast<int>(argv.size()), argv.data(), out, err), 0) << err.str();
    const std::string why = c.device + (c.args.empty() ? "" : std::string(" ") + c.args.back());
    if (c.warning.empty()) {
      EXPECT_EQ(err.str().find("warning"), std::string::npos) << why << ": " << err.str();
    } else {
      EXPECT_NE(err.str().find("varnox: warning: device"), std::string::npos) << why << ": " << err.str();
      EXPECT_NE(err.str().find(c.warning), std::string::npos) << why << ": " << err.str();
      EXPECT_NE(err.str().find("precondition = true"), std::string::npos) << why << ": " << err.str();
    }
  }
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace varnox::cli

// On a file or block device a fixed seed makes a rerun write the bytes the last run left there,
// so a lost write could go unseen: the runner warns, but only when the user fixed the seed.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/RunVarnox.h"
#include "support/TempDir.h"

namespace varnox::cli {
namespace {

using FixedSeedWarning = testing::TempDirTest;

TEST_F(FixedSeedWarning, OnlyAUserFixedSeedOnARealDeviceWithoutPreconditionWarns) {
  const std::string image = path("d.img");
  struct Case {
    std::string device;
    bool precondition;
    std::vector<std::string> args;
    std::string warning;  // empty: no warning
  };
  const Case cases[] = {
      {image, false, {"--seed", "5"}, "\"Random Seed\" is fixed at 5"},
      {image, false, {"--set", "Random Seed=9"}, "\"Random Seed\" is fixed at 9"},
      {image, false, {"--set", "Random Seed = 9"}, "\"Random Seed\" is fixed at 9"},
      {image, false, {}, ""},                          // a seed the runner draws is new every run
      {image, false, {"--set", "Random Seed=0"}, ""},  // 0 draws a new seed every run
      {image, true, {"--seed", "5"}, ""},              // a preconditioned range differs from run to run
      {"sim", false, {"--seed", "5"}, ""},            // the simulated drive starts empty
  };
  for (const Case& c : cases) {
    std::vector<std::string> args{"check", file("t.toml", "[test]\npasses = 10\n[[drive]]\nname = \"D0\"\ndevice = \"" +
                                                      c.device + "\"\ncapacity = 4096\nprecondition = " +
                                                      (c.precondition ? "true" : "false") + "\n")};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const testing::CliResult r = testing::runCli(args);
    EXPECT_EQ(r.status, 0) << r.err;
    const std::string& err = r.err;
    const std::string why = c.device + (c.args.empty() ? "" : " " + c.args.back());
    if (c.warning.empty()) {
      EXPECT_EQ(err.find("warning"), std::string::npos) << why << ": " << err;
    } else {
      EXPECT_NE(err.find("varnox: warning: device"), std::string::npos) << why << ": " << err;
      EXPECT_NE(err.find(c.warning), std::string::npos) << why << ": " << err;
      EXPECT_NE(err.find("precondition = true"), std::string::npos) << why << ": " << err;
    }
  }
}

}  // namespace
}  // namespace varnox::cli

// A flow that asks a device for something it cannot do is refused before the run starts, with
// the reason and the drive named.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "varnox/TestRun.h"

namespace varnox {
namespace {

TestPlan planWith(StepSpec::Kind kind, DeviceSpec device) {
  TestPlan plan;
  plan.sourceFile = "caps.toml";
  plan.passes = 1;
  plan.drives.push_back(DriveSpec{"D0", device});
  StepSpec lba;
  lba.kind = StepSpec::Kind::Agent;
  lba.name = "lba";
  StepSpec step;
  step.kind = kind;
  step.name = "step";
  step.condition = "go";
  StepSpec status;
  status.kind = StepSpec::Kind::GetStatus;
  plan.flow = {lba, step, status};
  return plan;
}

TEST(DeviceCapabilities, StepsTheDeviceCannotPerformAreRefusedWithTheReason) {
  DeviceSpec sim;
  sim.capacityBlocks = 4096;
  {
    TestRun run;
    std::string error;
    EXPECT_EQ(run.prepare(planWith(StepSpec::Kind::WriteAtomic, sim), error), kExitRefused);
    EXPECT_NE(error.find("drive D0: the flow writes atomically"), std::string::npos) << error;
    EXPECT_NE(error.find("set atomic_unit"), std::string::npos) << error;
  }
  sim.atomicUnitBlocks = 8;
  {
    TestRun run;
    std::string error;
    EXPECT_EQ(run.prepare(planWith(StepSpec::Kind::WriteAtomic, sim), error), kExitPassed) << error;
  }

  const std::filesystem::path file =
      std::filesystem::temp_directory_path() / ("varnox-caps-" + std::to_string(::getpid()) + ".img");
  DeviceSpec onFile;
  onFile.kind = file.string();
  onFile.capacityBlocks = 4096;
  {
    TestRun run;
    std::string error;
    EXPECT_EQ(run.prepare(planWith(StepSpec::Kind::PowerToggle, onFile), error), kExitRefused);
    EXPECT_NE(error.find("power toggle needs the simulated drive"), std::string::npos) << error;
    EXPECT_NE(error.find(file.string()), std::string::npos) << "names the device: " << error;
  }
  std::filesystem::remove(file);
}

}  // namespace
}  // namespace varnox

// A flow that asks a device for something it cannot do is refused before the run starts, with
// the reason and the drive named.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

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
  DeviceSpec sim, atomic, onFile;
  sim.capacityBlocks = atomic.capacityBlocks = onFile.capacityBlocks = 4096;
  atomic.atomicUnitBlocks = 8;
  const std::filesystem::path file =
      std::filesystem::temp_directory_path() / ("varnox-caps-" + std::to_string(::getpid()) + ".img");
  onFile.kind = file.string();
  struct Case {
    StepSpec::Kind kind;
    DeviceSpec device;
    int exit;
    std::vector<std::string> messages;  // parts of the refusal, the device named among them
  };
  using K = StepSpec::Kind;
  const Case cases[] = {
      {K::WriteAtomic, sim, kExitRefused, {"drive D0: the flow writes atomically", "set atomic_unit"}},
      {K::WriteAtomic, atomic, kExitPassed, {}},
      {K::PowerToggle, onFile, kExitRefused, {"power toggle needs the simulated drive", file.string()}},
      {K::ZoneReset, sim, kExitRefused, {"drive D0: the flow resets zones", "set zone_size"}},
  };
  for (const Case& c : cases) {
    TestRun run;
    std::string error;
    EXPECT_EQ(run.prepare(planWith(c.kind, c.device), error), c.exit) << error;
    for (const std::string& m : c.messages) EXPECT_NE(error.find(m), std::string::npos) << m << ": " << error;
  }
  std::filesystem::remove(file);
}

}  // namespace
}  // namespace varnox

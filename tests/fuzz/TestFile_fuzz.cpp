// Any bytes as a test file. The reader and the command-line defaults either refuse the input with
// one line that names the file, or hand on a plan whose every value is one the host can use.
#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <string_view>

#include "FuzzCheck.h"
#include "RunOptions.h"
#include "TestFile.h"
#include "sim/FaultingDevice.h"
#include "sim/SimConfig.h"
#include "varnox/TestPlan.h"

namespace {

using varnox::fuzz::fuzzCheck;

constexpr const char* kFile = "fuzz.toml";
// Longer durations would overflow the drives' nanosecond clocks.
constexpr double kMaxDurationSeconds = 100.0 * 365 * 24 * 3600;

bool oneLineNamingFile(const std::string& error) {
  return error.find(kFile) != std::string::npos && error.find('\n') == std::string::npos;
}

void checkPlan(const varnox::TestPlan& plan) {
  fuzzCheck(plan.sourceFile == kFile, "the plan remembers its file", plan.sourceFile);
  fuzzCheck(!plan.drives.empty(), "an accepted file has a drive");
  fuzzCheck(!plan.flow.empty(), "an accepted file has a flow");
  std::set<std::string> names;
  for (const varnox::DriveSpec& drive : plan.drives) {
    const varnox::DeviceSpec& d = drive.device;
    fuzzCheck(!drive.name.empty() && names.insert(drive.name).second, "drive names are set and unique",
              drive.name);
    fuzzCheck(!d.kind.empty(), "a drive has a device", drive.name);
    fuzzCheck(varnox::sim::isUsableBlockSize(d.logicalBlockSize), "block size", drive.name);
    fuzzCheck(d.capacityBlocks > 0, "capacity above zero", drive.name);
    fuzzCheck(d.queueDepth >= 1 && d.queueDepth <= 1024, "queue depth", drive.name);
    fuzzCheck(d.log2LogicalPerPhysical <= 7, "physical exponent", drive.name);
    fuzzCheck(d.atomicUnitBlocks <= d.capacityBlocks, "atomic unit within the capacity", drive.name);
    fuzzCheck(d.powerOff.empty() == d.powerOn.empty(), "power_off and power_on both or neither", drive.name);
    fuzzCheck(d.powerOff.empty() || (d.kind != "sim" && !d.powerOff[0].empty() && !d.powerOn[0].empty()),
              "power commands name a program, on files and block devices only", drive.name);
    fuzzCheck(d.powerTimeoutSeconds > 0 && d.powerSettleSeconds >= 0, "power time limits", drive.name);
    for (const varnox::FaultRule& f : d.faults) {
      fuzzCheck(d.kind == "sim" || varnox::sim::faultKindWorksOnRealDevices(f.kind),
                "faults on files and block devices only of the kinds they take", drive.name);
      fuzzCheck(!f.lba || *f.lba < d.capacityBlocks, "fault LBA within the capacity", drive.name);
      fuzzCheck(!f.rate || (*f.rate > 0 && *f.rate <= 1), "fault rate is a probability", drive.name);
    }
  }
  for (const varnox::StepSpec& step : plan.flow) fuzzCheck(!step.name.empty(), "every step has a name");
  fuzzCheck(plan.durationSeconds >= 0, "duration not negative");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  varnox::TestPlan plan;
  std::string error;
  if (!varnox::cli::parseTestFile(text, kFile, plan, error)) {
    fuzzCheck(oneLineNamingFile(error), "a refused file gets one line naming it", error);
    fuzzCheck(plan.drives.empty() && plan.flow.empty() && plan.keys.empty(), "a refused file leaves no plan");
    return 0;
  }
  checkPlan(plan);

  // Default options: what is left to refuse is a file without a limit or with a duration too
  // long to count.
  varnox::cli::RunOptions options;
  varnox::cli::RepeatInfo repeat;
  error.clear();
  const bool noLimit = plan.passes == 0 && plan.durationSeconds == 0;
  const bool tooLong = plan.durationSeconds > kMaxDurationSeconds;
  if (!varnox::cli::applyRunOptions(plan, options, repeat, error)) {
    fuzzCheck(oneLineNamingFile(error), "a refused plan gets one line naming its file", error);
    fuzzCheck(noLimit || tooLong, "refused although the file sets a usable limit", error);
    fuzzCheck(error.find(noLimit ? "\"passes\"" : "\"duration\"") != std::string::npos, "names the key",
              error);
    return 0;
  }
  fuzzCheck(!noLimit && !tooLong, "accepted without a usable limit");
  checkPlan(plan);
  fuzzCheck(plan.passes > 0 || plan.durationSeconds > 0, "a plan to run has a limit");
  fuzzCheck(repeat.seed >= 1 && repeat.seed <= UINT32_MAX, "the drawn seed fits \"Random Seed\"",
            std::to_string(repeat.seed));
  for (const varnox::DriveSpec& drive : plan.drives)
    fuzzCheck(drive.device.kind != "sim" || drive.device.seed != 0, "every simulated drive has a seed",
              drive.name);
  fuzzCheck(varnox::cli::planKey(plan, "Random Seed").has_value(), "\"Random Seed\" is set");
  fuzzCheck(repeat.commandLine.rfind("varnox run ", 0) == 0, "a repeat line", repeat.commandLine);
  return 0;
}

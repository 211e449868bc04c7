#include "SlicesWarning.h"

namespace varnox::cli {

std::vector<std::string> slicesPowerWarnings(const TestPlan& plan) {
  std::vector<std::string> warnings;
  const std::string file = plan.sourceFile.empty() ? "the test" : plan.sourceFile;
  for (const DriveSpec& drive : plan.drives) {
    const DeviceSpec& d = drive.device;
    if (drive.slices == 1 || !d.commandsMayBeLost) continue;
    // A file or block device shows whether its cache is volatile only once it is open.
    const bool mayLosePower = d.kind == "sim" ? d.writeCache == "volatile" : !d.powerOff.empty();
    if (!mayLosePower) continue;
    const std::string slices = drive.slices == kSlicesPerCore ? "\"cores\"" : std::to_string(drive.slices);
    warnings.push_back(file + ": drive " + drive.name + ": slices = " + slices +
                       " with power cuts: a sync cache of one slice also flushes the other slices' writes, "
                       "which their agents do not count on, so a write lost under another slice's sync passes "
                       "(slices = 1 demands every flushed write)");
  }
  return warnings;
}

}  // namespace varnox::cli

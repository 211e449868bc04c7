#include "PlannedWrites.h"

#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "blockdev/FileData.h"
#include "blockdev/PowerControl.h"
#include "blockdev/Signatures.h"

namespace varnox::cli {
namespace {

// "1 GiB", "64 MiB", "4 KiB", else the exact byte count.
std::string sizeText(uint64_t bytes) {
  const char* units[] = {"bytes", "KiB", "MiB", "GiB", "TiB"};
  size_t unit = 0;
  while (unit + 1 < std::size(units) && bytes >= 1024 && bytes % 1024 == 0) {
    bytes /= 1024;
    ++unit;
  }
  return std::to_string(bytes) + " " + units[unit];
}

// The bytes of a block device, 0 when it cannot be read.
uint64_t deviceBytes(const std::string& path) {
  uint64_t bytes = 0;
  int fd = blockdev::openForInspection(path);
  if (fd < 0) return 0;
  if (::ioctl(fd, BLKGETSIZE64, &bytes) != 0) bytes = 0;
  ::close(fd);
  return bytes;
}

}  // namespace

std::vector<std::string> plannedWrites(const TestPlan& plan) {
  std::vector<std::string> lines;
  for (const DriveSpec& drive : plan.drives) {
    const DeviceSpec& device = drive.device;
    if (device.kind == "sim") {
      struct stat st {};
      if (!device.medium.empty() && ::stat(device.medium.c_str(), &st) != 0)
        lines.push_back("would create the medium " + device.medium + " of " +
                        sizeText(device.capacityBlocks * (device.logicalBlockSize + (device.protectionInfo ? 8 : 0))));
      continue;
    }
    uint64_t tested = device.capacityBlocks * device.logicalBlockSize;
    struct stat st {};
    if (::stat(device.kind.c_str(), &st) != 0) {
      lines.push_back("would create " + device.kind + " of " + sizeText(tested));
    } else if (S_ISBLK(st.st_mode)) {
      tested = std::min(tested, deviceBytes(device.kind));
    } else {
      if (static_cast<uint64_t>(st.st_size) < tested)
        lines.push_back("would extend " + device.kind + " from " +
                        sizeText(static_cast<uint64_t>(st.st_size)) + " to " + sizeText(tested));
      // Which rule lets the run write over what the file holds.
      if (S_ISREG(st.st_mode) && st.st_size > 0)
        lines.push_back(
            "would write over " + device.kind + ": " +
            (blockdev::inspectFileData(device.kind).kind == blockdev::FileData::Kind::ZerosOrOwnBlocks
                 ? std::string("it holds only zeros and blocks an earlier run wrote")
                 : std::string("its data is overwritten (destroy_data = true and --force)")));
    }
    if (device.precondition)
      lines.push_back("would fill " + device.kind + " (" + sizeText(tested) + ") with a pattern unique to the run");
    if (!device.powerOff.empty()) {
      const bool toggles = std::any_of(plan.flow.begin(), plan.flow.end(), [](const StepSpec& step) {
        return step.kind == StepSpec::Kind::PowerToggle;
      });
      lines.push_back(toggles ? blockdev::powerPlanText(device, device.kind)
                              : "would never run power_off and power_on of " + device.kind +
                                    ": no step of the flow toggles power");
    }
  }
  if (!plan.logFile.empty()) lines.push_back("would write the log " + plan.logFile);
  return lines;
}

}  // namespace varnox::cli

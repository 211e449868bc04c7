#pragma once
// What a drive split into slices needs besides its shared device (DeviceSlices.h) and its split
// range (SliceRanges.h): how many slices "cores" means, the slices' names, and pinning their
// threads to the CPUs the test names.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "varnox/TestPlan.h"

namespace varnox {

// Empty when `drive` can run as `slices` slices in `plan`; else why not, naming the key.
std::string slicesError(const TestPlan& plan, const DriveSpec& drive, uint32_t slices);

// How one slice's flow ended: its agent status and when (seconds from the run's start).
struct SliceEnd {
  int status = 0;
  double endedSeconds = 0;
};

// The slice whose status and log speak for the drive. A failing slice halts the others, which
// may then meet the same cause in their own commands: a drive stopped by one slice's showstop
// fails every later command of the others as a device failure, possibly before the slice that
// stopped it has ended. So the worst failure speaks (a wrong block before a failed device, as
// between drives, see worseExit), the first to end among equals; with none failed, slice 0.
size_t speakingSlice(const std::vector<SliceEnd>& slices);

// CPUs this process may run on (its affinity mask), at least 1.
uint32_t onlineCores();

// A slice's drive thread name: the drive's own with one slice, else "D0.1", "D0.2", ... (it
// names the slice's log lines and output files).
std::string sliceName(const std::string& drive, uint32_t index, uint32_t count);

// Empty when the process may run on every CPU of `cpus`; else a message naming the key and the CPU.
std::string cpusError(const std::vector<uint32_t>& cpus);

// Pins the calling thread to `cpu`; false when the kernel refused.
bool pinThisThread(uint32_t cpu);

// CPU seconds the calling thread has used.
double threadCpuSeconds();

}  // namespace varnox

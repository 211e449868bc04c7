#include "varnox/Clock.h"

#include <ctime>

namespace varnox {

uint64_t queryPerformanceCounter() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000000ULL + static_cast<uint64_t>(ts.tv_nsec);
}

uint32_t tickCountMs() { return static_cast<uint32_t>(queryPerformanceCounter() / 1000000ULL); }

}  // namespace varnox

#pragma once
// The host's clock: devices time slow commands with it, the runtime and agents everything else.
// Inline, so that the device library needs no source of its own for two system calls.
#include <cstdint>
#include <ctime>

namespace varnox {

// High-resolution performance counter: monotonic nanoseconds.
inline uint64_t queryPerformanceCounter() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000000ULL + static_cast<uint64_t>(ts.tv_nsec);
}
// Counts per second of the performance counter.
inline constexpr uint64_t queryPerformanceFrequency() { return 1000000000ULL; }
// 32-bit millisecond tick count of the monotonic clock (wraps after ~49 days).
inline uint32_t tickCountMs() { return static_cast<uint32_t>(queryPerformanceCounter() / 1000000ULL); }

}  // namespace varnox

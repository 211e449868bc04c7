#pragma once
#include <cstdint>

namespace varnox {

// High-resolution performance counter: monotonic nanoseconds.
uint64_t queryPerformanceCounter();
// Counts per second of the performance counter.
inline constexpr uint64_t queryPerformanceFrequency() { return 1000000000ULL; }
// 32-bit millisecond tick count of the monotonic clock (wraps after ~49 days).
uint32_t tickCountMs();

}  // namespace varnox

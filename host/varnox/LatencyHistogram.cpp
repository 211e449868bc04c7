#include "varnox/LatencyHistogram.h"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <string>

#include "varnox/Clock.h"

#if defined(__x86_64__)
#include <x86intrin.h>
#endif

namespace varnox {
namespace {

constexpr uint64_t kExactBelow = uint64_t{1} << (LatencyHistogram::kSubBucketBits + 1);
constexpr uint64_t kCalibrationNs = 3'000'000;

// The counter ticks at one rate on every CPU only where the kernel trusts it as its clock.
bool counterIsClock() {
#if defined(__x86_64__)
  std::ifstream source("/sys/devices/system/clocksource/clocksource0/current_clocksource");
  std::string name;
  return source >> name && name == "tsc";
#else
  return false;
#endif
}

uint64_t readCounter() {
#if defined(__x86_64__)
  return __rdtsc();
#else
  return queryPerformanceCounter();
#endif
}

}  // namespace

LatencyClock::LatencyClock() : counter_(counterIsClock()) {
  if (!counter_) return;
  // The counter read on both sides of the clock, the narrowest of a few pairs, so that a
  // preemption or a first call's page fault in between does not skew the rate.
  auto pair = [](uint64_t& ns) {
    uint64_t best = UINT64_MAX, ticks = 0;
    for (int i = 0; i < 8; ++i) {
      const uint64_t before = readCounter();
      const uint64_t at = queryPerformanceCounter();
      const uint64_t after = readCounter();
      if (after - before < best) {
        best = after - before;
        ticks = before + (after - before) / 2;
        ns = at;
      }
    }
    return ticks;
  };
  uint64_t startNs = 0, endNs = 0;
  const uint64_t startTicks = pair(startNs);
  uint64_t endTicks = startTicks;
  do {
    endTicks = pair(endNs);
  } while (endNs - startNs < kCalibrationNs);
  if (endTicks <= startTicks) {
    counter_ = false;
    return;
  }
  nsPerTick32_ = static_cast<uint64_t>((static_cast<unsigned __int128>(endNs - startNs) << 32) / (endTicks - startTicks));
}

uint64_t LatencyClock::now() const { return counter_ ? readCounter() : queryPerformanceCounter(); }

uint64_t LatencyClock::fromNanoseconds(uint64_t ns) const {
  const unsigned __int128 ticks = (static_cast<unsigned __int128>(ns) << 32) / std::max<uint64_t>(nsPerTick32_, 1);
  return ticks > UINT64_MAX ? UINT64_MAX : static_cast<uint64_t>(ticks);
}

size_t LatencyHistogram::bucketOf(uint64_t ns) {
  if (ns < kExactBelow) return static_cast<size_t>(ns);
  const uint32_t top = 63 - static_cast<uint32_t>(__builtin_clzll(ns));
  if (top > kTopBit) return kBuckets - 1;
  const uint32_t shift = top - kSubBucketBits;
  const uint64_t sub = (ns >> shift) - (uint64_t{1} << kSubBucketBits);
  return static_cast<size_t>(kExactBelow + (top - kSubBucketBits - 1) * (uint64_t{1} << kSubBucketBits) + sub);
}

uint64_t LatencyHistogram::bucketLowNs(size_t bucket) {
  if (bucket < kExactBelow) return bucket;
  const uint64_t octave = (bucket - kExactBelow) >> kSubBucketBits;
  const uint64_t sub = (bucket - kExactBelow) & ((uint64_t{1} << kSubBucketBits) - 1);
  return ((uint64_t{1} << kSubBucketBits) + sub) << (octave + 1);
}

uint64_t LatencyHistogram::bucketHighNs(size_t bucket) {
  if (bucket < kExactBelow) return bucket;
  const uint64_t octave = (bucket - kExactBelow) >> kSubBucketBits;
  return bucketLowNs(bucket) + (uint64_t{1} << (octave + 1)) - 1;
}

LatencySnapshot LatencyHistogram::snapshot() const {
  LatencySnapshot s;
  s.buckets.resize(kBuckets);
  for (size_t i = 0; i < kBuckets; ++i) {
    s.buckets[i] = buckets_[i].load(std::memory_order_relaxed);
    s.count += s.buckets[i];
  }
  s.sumNs = sumNs_.load(std::memory_order_relaxed);
  s.maxNs = maxNs_.load(std::memory_order_relaxed);
  if (s.count == 0) s.buckets.clear();
  return s;
}

void LatencyHistogram::assign(const LatencySnapshot& s) {
  for (size_t i = 0; i < kBuckets; ++i)
    buckets_[i].store(i < s.buckets.size() ? s.buckets[i] : 0, std::memory_order_relaxed);
  sumNs_.store(s.sumNs, std::memory_order_relaxed);
  maxNs_.store(s.maxNs, std::memory_order_relaxed);
}

uint64_t LatencySnapshot::percentileNs(double fraction) const {
  if (count == 0) return 0;
  // Less a hair, so that 0.99 of 1000 is rank 990 although 0.99 is not exact in binary.
  const double wanted = std::ceil(std::clamp(fraction, 0.0, 1.0) * static_cast<double>(count) - 1e-6);
  const uint64_t rank = std::max<uint64_t>(1, static_cast<uint64_t>(wanted));
  uint64_t seen = 0;
  for (size_t i = 0; i < buckets.size(); ++i) {
    seen += buckets[i];
    if (seen >= rank) return std::min(LatencyHistogram::bucketHighNs(i), maxNs);
  }
  return maxNs;
}

void LatencySnapshot::add(const LatencySnapshot& other) {
  if (other.count == 0) return;
  if (buckets.empty()) buckets.assign(other.buckets.size(), 0);
  for (size_t i = 0; i < other.buckets.size(); ++i) buckets[i] += other.buckets[i];
  count += other.count;
  sumNs += other.sumNs;
  maxNs = std::max(maxNs, other.maxNs);
}

LatencySnapshot LatencySnapshot::since(const LatencySnapshot& earlier) const {
  LatencySnapshot d = *this;
  if (earlier.count == 0) return d;
  for (size_t i = 0; i < d.buckets.size() && i < earlier.buckets.size(); ++i) d.buckets[i] -= earlier.buckets[i];
  d.count -= earlier.count;
  d.sumNs -= earlier.sumNs;
  if (d.count == 0) d.buckets.clear();
  return d;
}

}  // namespace varnox

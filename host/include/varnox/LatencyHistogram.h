#pragma once
// Command latencies: a cheap clock to take them with, a fixed-size histogram the drive thread
// records into without allocating, and plain snapshots of it for summaries and time series.
//
// Buckets are log-linear in nanoseconds: exact below 256 ns, then 128 buckets per power of two,
// so a bucket is at most 1/128 (0.8%) of its values wide, up to 2^37 ns (137 s); longer
// latencies land in the last bucket and only the maximum keeps their value.
#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace varnox {

// Ticks of the CPU's time-stamp counter where the kernel keeps its own time with it (a third of
// the cost of clock_gettime, which matters at a few hundred nanoseconds per command), else
// nanoseconds of the monotonic clock. Built once per drive: calibrating takes about 3 ms.
class LatencyClock {
 public:
  LatencyClock();
  uint64_t now() const;
  uint64_t toNanoseconds(uint64_t ticks) const {
    return static_cast<uint64_t>((static_cast<unsigned __int128>(ticks) * nsPerTick32_) >> 32);
  }
  uint64_t fromNanoseconds(uint64_t ns) const;

 private:
  bool counter_ = false;
  uint64_t nsPerTick32_ = uint64_t{1} << 32;  // nanoseconds per tick, 32.32 fixed point
};

// What a histogram held at one moment: counts by bucket, their sum in nanoseconds and the
// largest value. Subtracting an earlier snapshot gives the latencies of the interval between.
struct LatencySnapshot {
  std::vector<uint64_t> buckets;  // empty when nothing was recorded
  uint64_t count = 0;
  uint64_t sumNs = 0;
  uint64_t maxNs = 0;  // of everything recorded, also in a difference

  double meanNs() const { return count == 0 ? 0 : static_cast<double>(sumNs) / static_cast<double>(count); }
  // The smallest bucket bound that at least `fraction` (0.99 for p99) of the values lie at or
  // below, never above the maximum; 0 when empty.
  uint64_t percentileNs(double fraction) const;
  void add(const LatencySnapshot& other);
  // This minus an earlier snapshot of the same histogram.
  LatencySnapshot since(const LatencySnapshot& earlier) const;
};

class LatencyHistogram {
 public:
  static constexpr uint32_t kSubBucketBits = 7;
  static constexpr uint32_t kTopBit = 36;  // values of 2^37 ns and more share the last bucket
  static constexpr size_t kBuckets = (size_t{1} << (kSubBucketBits + 1)) + (kTopBit - kSubBucketBits) * (size_t{1} << kSubBucketBits);

  static size_t bucketOf(uint64_t ns);
  // The smallest and largest value a bucket holds.
  static uint64_t bucketLowNs(size_t bucket);
  static uint64_t bucketHighNs(size_t bucket);

  // One writer (the drive thread); readers on other threads see each counter whole.
  void record(uint64_t ns) {
    std::atomic<uint64_t>& b = buckets_[bucketOf(ns)];
    b.store(b.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    sumNs_.store(sumNs_.load(std::memory_order_relaxed) + ns, std::memory_order_relaxed);
    if (ns > maxNs_.load(std::memory_order_relaxed)) maxNs_.store(ns, std::memory_order_relaxed);
  }
  LatencySnapshot snapshot() const;
  // Makes the histogram hold `s` (a drive of several slices shows their histograms merged);
  // the one writer only.
  void assign(const LatencySnapshot& s);

 private:
  std::array<std::atomic<uint64_t>, kBuckets> buckets_{};
  std::atomic<uint64_t> sumNs_{0};
  std::atomic<uint64_t> maxNs_{0};
};

}  // namespace varnox

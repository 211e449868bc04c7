#pragma once
#include <cstdint>
#include <deque>
#include <mutex>

namespace varnox {

// A range of LBAs, both ends inclusive.
struct LBARange {
  uint64_t first = 0;
  uint64_t last = 0;
};

// Ranges that one agent hands to another (zone resets, invalidations). Filled and drained by
// different agents, so every operation takes the queue's own mutex.
class LBARangeQueue {
 public:
  bool empty() const;
  // Pops the oldest range into `out`; false when the queue was empty.
  bool pop(LBARange& out);
  void push(const LBARange& range);
  size_t size() const;

 private:
  mutable std::mutex mutex_;
  std::deque<LBARange> ranges_;
};

}  // namespace varnox

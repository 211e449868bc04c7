#include "varnox/LBARangeQueue.h"

namespace varnox {

bool LBARangeQueue::empty() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return ranges_.empty();
}

bool LBARangeQueue::pop(LBARange& out) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (ranges_.empty()) return false;
  out = ranges_.front();
  ranges_.pop_front();
  return true;
}

void LBARangeQueue::push(const LBARange& range) {
  std::lock_guard<std::mutex> lock(mutex_);
  ranges_.push_back(range);
}

size_t LBARangeQueue::size() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return ranges_.size();
}

}  // namespace varnox

#include "varnox/FreeTagQueue.h"

#include <algorithm>

namespace varnox {

FreeTagQueue::FreeTagQueue(uint32_t depth)
    : depth_(std::clamp<uint32_t>(depth, 1, kMaxQueueDepth)), used_(depth_, false), completed_(depth_, false) {
  for (uint32_t tag = 0; tag < depth_; ++tag) free_.push_back(tag);
}

uint32_t FreeTagQueue::peekNextFreeTag() const { return free_.empty() ? kNoTag : free_.front(); }

uint32_t FreeTagQueue::takeFreeTag() {
  if (free_.empty()) return kNoTag;
  uint32_t tag = free_.front();
  free_.pop_front();
  used_[tag] = true;
  completed_[tag] = false;
  ++inUse_;
  return tag;
}

uint32_t FreeTagQueue::getNotFreeTag(uint32_t fromTag, bool completedOnly) const {
  for (uint32_t tag = fromTag; tag < depth_; ++tag) {
    if (used_[tag] && (!completedOnly || completed_[tag])) return tag;
  }
  return kNoTag;
}

void FreeTagQueue::pushFreeTag(uint32_t tag, int priority) {
  if (tag >= depth_ || !used_[tag]) return;
  used_[tag] = false;
  completed_[tag] = false;
  --inUse_;
  if (priority == 0) {
    free_.push_back(tag);
  } else {
    free_.push_front(tag);
  }
}

void FreeTagQueue::markCompleted(uint32_t tag) {
  if (tag < depth_ && used_[tag]) completed_[tag] = true;
}

}  // namespace varnox

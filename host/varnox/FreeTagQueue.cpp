#include "varnox/FreeTagQueue.h"

#include <algorithm>

namespace varnox {

FreeTagQueue::FreeTagQueue(uint32_t depth)
    : depth_(std::clamp<uint32_t>(depth, 1, kMaxQueueDepth)),
      free_(depth_),
      used_(depth_, false),
      completed_(depth_, false) {
  for (uint32_t tag = 0; tag < depth_; ++tag) free_[tag] = tag;
}

uint32_t FreeTagQueue::peekNextFreeTag() const {
  return inUse_ == depth_ || closed_ ? kNoTag : free_[freeHead_];
}

uint32_t FreeTagQueue::takeFreeTag() {
  if (inUse_ == depth_ || closed_) return kNoTag;
  const uint32_t tag = free_[freeHead_];
  freeHead_ = (freeHead_ + 1) % depth_;
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
  if (priority == 0) {
    free_[(freeHead_ + depth_ - inUse_) % depth_] = tag;  // behind the last free tag
  } else {
    freeHead_ = (freeHead_ + depth_ - 1) % depth_;
    free_[freeHead_] = tag;
  }
  --inUse_;
}

void FreeTagQueue::markCompleted(uint32_t tag) {
  if (tag < depth_ && used_[tag]) completed_[tag] = true;
}

}  // namespace varnox

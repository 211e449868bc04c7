#pragma once
#include <cstdint>
#include <vector>

namespace varnox {

inline constexpr uint32_t kNoTag = 0xFFFFFFFF;
inline constexpr uint32_t kMaxQueueDepth = 1024;

// The command tags of one drive thread. A tag is free or in use; the host takes the tag that
// peekNextFreeTag reported when it submits a command and pushes it back when the command has
// completed and its status was handed to the agents (or when an agent's reset recovery frees it).
class FreeTagQueue {
 public:
  explicit FreeTagQueue(uint32_t depth);

  // Next tag the host will use, kNoTag when all are in use or the queue is closed.
  uint32_t peekNextFreeTag() const;
  // A closed queue hands out no tag, so the agents issue nothing and the drive only collects
  // what is still in flight (the end of a run).
  void setClosed(bool closed) { closed_ = closed; }
  bool closed() const { return closed_; }
  // Takes the tag peekNextFreeTag reports; kNoTag when none is free.
  uint32_t takeFreeTag();
  // First tag in use at or above `fromTag`; with completedOnly only tags marked completed.
  // kNoTag when none.
  uint32_t getNotFreeTag(uint32_t fromTag, bool completedOnly) const;
  // Returns a tag in use to the pool: priority 0 at the back of the free queue, else the front.
  // A tag that is already free is left alone.
  void pushFreeTag(uint32_t tag, int priority);
  void markCompleted(uint32_t tag);

  uint32_t getMaxQueueDepth() const { return depth_; }
  uint32_t inUseCount() const { return inUse_; }
  bool isFree(uint32_t tag) const { return tag < depth_ && !used_[tag]; }

 private:
  uint32_t depth_;
  // The free tags in queue order: a ring of depth_ slots starting at freeHead_ and holding
  // depth_ - inUse_ tags (every tag is either in it or in use), so that returning a tag never
  // allocates.
  std::vector<uint32_t> free_;
  uint32_t freeHead_ = 0;
  std::vector<bool> used_;
  std::vector<bool> completed_;
  uint32_t inUse_ = 0;
  bool closed_ = false;
};

}  // namespace varnox

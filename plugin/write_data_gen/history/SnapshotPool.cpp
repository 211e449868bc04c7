#include "history/SnapshotPool.h"

namespace cardamor {

void SnapshotPool::Ref::release(SnapshotPool* pool) noexcept {
  if (--pool->refs_ == 0) delete pool;
}

std::shared_ptr<AtomicContext::Node> SnapshotPool::makeNode() {
  AtomicContext::Node* node = nullptr;
  if (!freeNodes_.empty()) {
    node = freeNodes_.back();
    freeNodes_.pop_back();
  } else {
    node = new AtomicContext::Node();
  }
  // The deleter holds the pool, so a Node released after its history is gone still has a home.
  auto recycle = [pool = Ref(this)](AtomicContext::Node* released) {
    released->history.clear();  // keeps the capacity for the next snapshot
    released->observed = nullptr;
    try {
      pool->freeNodes_.push_back(released);
    } catch (const std::bad_alloc&) {
      delete released;
    }
  };
  return std::shared_ptr<AtomicContext::Node>(node, std::move(recycle), SnapshotAllocator<AtomicContext::Node>(Ref(this)));
}

}  // namespace cardamor

#pragma once
// The drive record's command lists (outstanding writes, reads, verifies, pre-reads, pending
// read-backs, the compare queue): std::list, whose nodes come from a per-drive SmallObjectPool.
//
// Every command adds a record to one list and later erases it, so a plain std::list costs a
// heap allocation per command; the pool hands erased nodes out again instead, and a test in
// steady state allocates nothing for its lists. Nodes never move while they are in a list, which
// the code relies on when it holds iterators across other inserts and erases.
//
// The pool must outlive every list that draws on it (declare it first).
#include <cstddef>
#include <list>
#include <new>

#include "base/SmallObjectPool.h"

namespace cardamor {

// Allocator over a SmallObjectPool; a default-constructed one (a list made outside a drive
// record) uses the heap.
template <typename T>
class NodeAllocator {
 public:
  using value_type = T;

  NodeAllocator() noexcept = default;
  explicit NodeAllocator(SmallObjectPool* pool) noexcept : pool_(pool) {}
  template <typename U>
  NodeAllocator(const NodeAllocator<U>& other) noexcept : pool_(other.pool()) {}

  static_assert(alignof(T) <= 16, "pool slots are only 16-byte aligned");

  T* allocate(size_t n) {
    if (!pool_) return static_cast<T*>(::operator new(n * sizeof(T)));
    return static_cast<T*>(pool_->take(n * sizeof(T)));
  }
  void deallocate(T* p, size_t n) noexcept {
    if (!pool_) {
      ::operator delete(p);
      return;
    }
    pool_->give(p, n * sizeof(T));
  }

  SmallObjectPool* pool() const noexcept { return pool_; }
  template <typename U>
  bool operator==(const NodeAllocator<U>& other) const noexcept {
    return pool_ == other.pool();
  }

 private:
  SmallObjectPool* pool_ = nullptr;
};

template <typename T>
using RecordList = std::list<T, NodeAllocator<T>>;

}  // namespace cardamor

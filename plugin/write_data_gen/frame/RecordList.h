#pragma once
// The drive record's command lists (outstanding writes, reads, verifies, pre-reads, pending
// read-backs, the compare queue): std::list, whose nodes come from a per-drive NodePool.
//
// Every command adds a record to one list and later erases it, so a plain std::list costs a
// heap allocation per command; the pool hands erased nodes out again instead, and a test in
// steady state allocates nothing for its lists. Nodes never move while they are in a list, which
// the code relies on when it holds iterators across other inserts and erases.
//
// One pool per drive, used only from that drive's thread; nothing here locks. The pool must
// outlive every list that draws on it (declare it first).
#include <cstddef>
#include <list>
#include <memory>
#include <new>
#include <vector>

namespace varnox::Cardamor {

class NodePool {
 public:
  NodePool() = default;
  NodePool(const NodePool&) = delete;
  NodePool& operator=(const NodePool&) = delete;

  // Memory for one object of `bytes` (at most 16-byte alignment): a recycled node of that size,
  // else a new one from the current chunk. Throws std::bad_alloc like operator new.
  void* take(size_t bytes) {
    SizeClass& cls = classFor(bytes);
    if (!cls.free) grow(cls);
    FreeNode* node = cls.free;
    cls.free = node->next;
    return node;
  }
  void give(void* p, size_t bytes) noexcept {
    SizeClass& cls = classFor(bytes);
    auto* node = static_cast<FreeNode*>(p);
    node->next = cls.free;
    cls.free = node;
  }

 private:
  struct FreeNode {
    FreeNode* next;
  };
  struct SizeClass {
    size_t bytes = 0;
    FreeNode* free = nullptr;
  };
  static constexpr size_t kNodesPerChunk = 64;

  // A handful of node sizes exist (one per record type), so a linear search is the fastest map.
  // The class for `bytes` is created on first use; give is only called for sizes taken before.
  SizeClass& classFor(size_t bytes) {
    const size_t rounded = (bytes + 15) & ~size_t{15};
    for (SizeClass& cls : classes_) {
      if (cls.bytes == rounded) return cls;
    }
    return classes_.emplace_back(SizeClass{rounded, nullptr});
  }

  void grow(SizeClass& cls) {
    chunks_.push_back(std::make_unique<std::byte[]>(cls.bytes * kNodesPerChunk));
    std::byte* base = chunks_.back().get();
    for (size_t i = kNodesPerChunk; i-- > 0;) give(base + i * cls.bytes, cls.bytes);
  }

  std::vector<SizeClass> classes_;
  std::vector<std::unique_ptr<std::byte[]>> chunks_;
};

// Allocator over a NodePool; a default-constructed one (a list made outside a drive record)
// uses the heap.
template <typename T>
class NodeAllocator {
 public:
  using value_type = T;

  NodeAllocator() noexcept = default;
  explicit NodeAllocator(NodePool* pool) noexcept : pool_(pool) {}
  template <typename U>
  NodeAllocator(const NodeAllocator<U>& other) noexcept : pool_(other.pool()) {}

  static_assert(alignof(T) <= 16, "pool nodes are only 16-byte aligned");

  T* allocate(size_t n) {
    if (!pool_ || n != 1) return static_cast<T*>(::operator new(n * sizeof(T)));
    return static_cast<T*>(pool_->take(sizeof(T)));
  }
  void deallocate(T* p, size_t n) noexcept {
    if (!pool_ || n != 1) {
      ::operator delete(p);
      return;
    }
    pool_->give(p, sizeof(T));
  }

  NodePool* pool() const noexcept { return pool_; }
  template <typename U>
  bool operator==(const NodeAllocator<U>& other) const noexcept {
    return pool_ == other.pool();
  }

 private:
  NodePool* pool_ = nullptr;
};

template <typename T>
using RecordList = std::list<T, NodeAllocator<T>>;

}  // namespace varnox::Cardamor

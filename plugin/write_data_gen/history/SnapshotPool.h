#pragma once
// Recycled memory for read snapshots, so that comparing a read allocates nothing once a test
// has warmed up. Every compared block used to cost three heap allocations (the map node, the
// shared Node with its control block, the copy of the history); now:
//   - small fixed-size objects (map nodes, control blocks) come from a SmallObjectPool;
//   - Nodes are handed out by makeNode and come back to the pool, with the capacity of their
//     history, when the last shared_ptr to them goes.
// The pool counts its references (SnapshotPool::Ref): the history, every allocator and every Node
// handed out keep it alive, so snapshots may outlive the history that made them. The count is
// not atomic: one pool per drive, used from that drive's thread only (or after it has ended).
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "base/SmallObjectPool.h"
#include "history/AtomicContext.h"

namespace cardamor {

class SnapshotPool {
 public:
  // A counted reference; the pool goes with the last one.
  class Ref {
   public:
    Ref() noexcept = default;
    explicit Ref(SnapshotPool* pool) noexcept : pool_(pool) {
      if (pool_) ++pool_->refs_;
    }
    Ref(const Ref& other) noexcept : Ref(other.pool_) {}
    Ref(Ref&& other) noexcept : pool_(other.pool_) { other.pool_ = nullptr; }
    Ref& operator=(Ref other) noexcept {
      std::swap(pool_, other.pool_);
      return *this;
    }
    ~Ref() {
      if (pool_) release(pool_);
    }
    // For an owner that keeps its reference as a plain pointer: detach gives the reference up
    // without dropping the count, adopt takes it back without raising it.
    SnapshotPool* detach() noexcept { return std::exchange(pool_, nullptr); }
    static Ref adopt(SnapshotPool* pool) noexcept {
      Ref ref;
      ref.pool_ = pool;
      return ref;
    }

    SnapshotPool* get() const noexcept { return pool_; }
    SnapshotPool* operator->() const noexcept { return pool_; }
    explicit operator bool() const noexcept { return pool_ != nullptr; }

   private:
    // Out of line, so that the compiler does not follow one reference's delete into the next.
    static void release(SnapshotPool* pool) noexcept;

    SnapshotPool* pool_ = nullptr;
  };

  // A new pool and the first reference to it.
  static Ref create() { return Ref(new SnapshotPool()); }

  SnapshotPool(const SnapshotPool&) = delete;
  SnapshotPool& operator=(const SnapshotPool&) = delete;
  ~SnapshotPool() {
    for (AtomicContext::Node* node : freeNodes_) delete node;
  }

  // Memory for `bytes` (at most 16-byte alignment); see SmallObjectPool.
  void* take(size_t bytes) { return objects_.take(bytes); }
  void give(void* p, size_t bytes) noexcept { objects_.give(p, bytes); }

  // An empty Node (no history, nothing observed) that returns here when released.
  std::shared_ptr<AtomicContext::Node> makeNode();

 private:
  SnapshotPool() = default;

  size_t refs_ = 0;
  SmallObjectPool objects_;
  std::vector<AtomicContext::Node*> freeNodes_;
};

// Allocator over a SnapshotPool; without a pool (default-constructed) it uses the heap. It
// travels with the container on move, copy and swap, so a snapshot moved into a longer-lived
// record keeps giving its memory back to the pool it came from.
template <typename T>
class SnapshotAllocator {
 public:
  using value_type = T;
  using propagate_on_container_move_assignment = std::true_type;
  using propagate_on_container_copy_assignment = std::true_type;
  using propagate_on_container_swap = std::true_type;

  SnapshotAllocator() noexcept = default;
  explicit SnapshotAllocator(SnapshotPool::Ref pool) noexcept : pool_(std::move(pool)) {}
  template <typename U>
  SnapshotAllocator(const SnapshotAllocator<U>& other) noexcept : pool_(other.pool()) {}

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

  const SnapshotPool::Ref& pool() const noexcept { return pool_; }

  template <typename U>
  bool operator==(const SnapshotAllocator<U>& other) const noexcept {
    return pool_.get() == other.pool().get();
  }

 private:
  SnapshotPool::Ref pool_;
};

}  // namespace cardamor

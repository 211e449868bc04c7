#pragma once
// Fixed-size slot pools for the LBA history. Slots are taken from the front of a free list and
// returned to it; an empty list grows by one whole chunk, and chunks are freed only with the pool.
// Once a test has warmed up, recording a block therefore allocates nothing.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <vector>

namespace varnox {

// Slots of T addressed by 32-bit index (half the size of a pointer in every link). T must have a
// member `uint32_t next` that the pool uses to chain free slots.
template <typename T>
class IndexPool {
 public:
  static constexpr uint32_t kNone = 0xFFFFFFFFu;

  explicit IndexPool(uint32_t chunkSize) : chunkSize_(chunkSize) {}
  IndexPool(const IndexPool&) = delete;
  IndexPool& operator=(const IndexPool&) = delete;
  IndexPool(IndexPool&&) = default;
  IndexPool& operator=(IndexPool&&) = default;

  // Index of a blank slot (T{}), or kNone when no chunk could be allocated.
  uint32_t take() {
    if (free_ == kNone && !grow()) return kNone;
    uint32_t index = free_;
    T& slot = at(index);
    free_ = slot.next;
    slot = T{};
    ++inUse_;
    return index;
  }

  // Resets the slot to blank and puts it back at the front of the free list.
  void give(uint32_t index) {
    T& slot = at(index);
    slot = T{};
    slot.next = free_;
    free_ = index;
    --inUse_;
  }

  T& at(uint32_t index) { return chunks_[index / chunkSize_][index % chunkSize_]; }
  const T& at(uint32_t index) const { return chunks_[index / chunkSize_][index % chunkSize_]; }

  size_t inUse() const { return inUse_; }
  size_t bytesReserved() const { return chunks_.size() * size_t{chunkSize_} * sizeof(T); }

 private:
  bool grow() {
    uint64_t base = uint64_t{chunks_.size()} * chunkSize_;
    if (base + chunkSize_ >= kNone) return false;
    std::unique_ptr<T[]> chunk(new (std::nothrow) T[chunkSize_]);
    if (!chunk) return false;
    // Chain the new slots in index order so that they are handed out front to back.
    for (uint32_t i = 0; i < chunkSize_; ++i) {
      chunk[i].next = (i + 1 < chunkSize_) ? static_cast<uint32_t>(base + i + 1) : free_;
    }
    free_ = static_cast<uint32_t>(base);
    chunks_.push_back(std::move(chunk));
    return true;
  }

  uint32_t chunkSize_;
  uint32_t free_ = kNone;
  size_t inUse_ = 0;
  std::vector<std::unique_ptr<T[]>> chunks_;
};

// Raw storage for one size of node, used by PoolAllocator for the nodes of the record map.
class NodePool {
 public:
  explicit NodePool(size_t nodesPerChunk) : nodesPerChunk_(nodesPerChunk) {}
  NodePool(const NodePool&) = delete;
  NodePool& operator=(const NodePool&) = delete;

  // The first request fixes the slot size; every later request must be for the same size.
  void* take(size_t bytes) {
    if (slotSize_ == 0) slotSize_ = roundUp(bytes < sizeof(FreeSlot) ? sizeof(FreeSlot) : bytes);
    if (roundUp(bytes) > slotSize_) throw std::bad_alloc();
    if (!free_) grow();
    FreeSlot* slot = free_;
    free_ = slot->next;
    return slot;
  }

  void give(void* p) {
    auto* slot = static_cast<FreeSlot*>(p);
    slot->next = free_;
    free_ = slot;
  }

  size_t bytesReserved() const { return chunks_.size() * nodesPerChunk_ * slotSize_; }
  size_t slotSize() const { return slotSize_; }

 private:
  struct FreeSlot {
    FreeSlot* next;
  };
  // Slots are kept to 8-byte multiples so a 56-byte map node costs 56 bytes, not 64.
  static constexpr size_t kSlotAlign = alignof(uint64_t);
  static size_t roundUp(size_t bytes) { return (bytes + kSlotAlign - 1) / kSlotAlign * kSlotAlign; }
  void grow() {
    // new[] of bytes is aligned for any fundamental type; slots are multiples of kSlotAlign.
    std::unique_ptr<std::byte[]> chunk(new std::byte[nodesPerChunk_ * slotSize_]);
    for (size_t i = nodesPerChunk_; i-- > 0;) give(chunk.get() + i * slotSize_);
    chunks_.push_back(std::move(chunk));
  }

  size_t nodesPerChunk_;
  size_t slotSize_ = 0;
  FreeSlot* free_ = nullptr;
  std::vector<std::unique_ptr<std::byte[]>> chunks_;
};

// Allocator that takes single nodes from a NodePool. Containers that allocate more than one
// object at a time (none of the node-based ones do) fall back to the global heap.
template <typename T>
class PoolAllocator {
 public:
  using value_type = T;

  explicit PoolAllocator(NodePool* pool) noexcept : pool_(pool) {}
  template <typename U>
  PoolAllocator(const PoolAllocator<U>& other) noexcept : pool_(other.pool()) {}

  static_assert(alignof(T) <= alignof(uint64_t), "pool slots are only 8-byte aligned");

  T* allocate(size_t n) {
    if (n == 1) return static_cast<T*>(pool_->take(sizeof(T)));
    return static_cast<T*>(::operator new(n * sizeof(T)));
  }
  void deallocate(T* p, size_t n) noexcept {
    if (n == 1) {
      pool_->give(p);
    } else {
      ::operator delete(p);
    }
  }

  NodePool* pool() const noexcept { return pool_; }

  template <typename U>
  bool operator==(const PoolAllocator<U>& other) const noexcept {
    return pool_ == other.pool();
  }

 private:
  NodePool* pool_;
};

}  // namespace varnox

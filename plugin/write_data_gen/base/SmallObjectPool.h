#pragma once
// Recycled memory for small fixed-size objects (list nodes, map nodes, shared-pointer control
// blocks): per-size free lists that grow in 64 KiB chunks and are freed only with the pool, so
// that containers which insert and erase an element per command or per block stop allocating
// once a test has warmed up. Objects over 256 bytes go to the heap.
//
// Not thread-safe: one pool per drive, used from that drive's thread only.
#include <cstddef>
#include <memory>
#include <new>
#include <vector>

namespace cardamor {

class SmallObjectPool {
 public:
  SmallObjectPool() = default;
  SmallObjectPool(const SmallObjectPool&) = delete;
  SmallObjectPool& operator=(const SmallObjectPool&) = delete;

  // Memory for `bytes` (at most 16-byte alignment); from a free list when small. Throws
  // std::bad_alloc like operator new.
  void* take(size_t bytes) {
    const size_t cls = classOf(bytes);
    if (cls >= kClasses) return ::operator new(bytes);
    FreeSlot*& head = free_[cls];
    if (!head) grow(cls);
    FreeSlot* slot = head;
    head = slot->next;
    return slot;
  }
  // Gives back memory that take(bytes) handed out, with the same `bytes`.
  void give(void* p, size_t bytes) noexcept {
    const size_t cls = classOf(bytes);
    if (cls >= kClasses) {
      ::operator delete(p);
      return;
    }
    auto* slot = static_cast<FreeSlot*>(p);
    slot->next = free_[cls];
    free_[cls] = slot;
  }

 private:
  struct FreeSlot {
    FreeSlot* next;
  };
  static constexpr size_t kGranule = 16;
  static constexpr size_t kClasses = 16;  // objects up to 256 bytes
  static constexpr size_t kChunkBytes = 64 * 1024;
  static size_t classOf(size_t bytes) { return bytes == 0 ? 0 : (bytes - 1) / kGranule; }

  void grow(size_t cls) {
    const size_t slotBytes = (cls + 1) * kGranule;
    chunks_.push_back(std::make_unique<std::byte[]>(kChunkBytes));
    std::byte* base = chunks_.back().get();
    for (size_t offset = 0; offset + slotBytes <= kChunkBytes; offset += slotBytes) {
      auto* slot = reinterpret_cast<FreeSlot*>(base + offset);
      slot->next = free_[cls];
      free_[cls] = slot;
    }
  }

  FreeSlot* free_[kClasses] = {};
  std::vector<std::unique_ptr<std::byte[]>> chunks_;
};

}  // namespace cardamor

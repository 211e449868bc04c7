#pragma once
// Fixed-size slot pools for the LBA history. Slots are taken from the front of a free list and
// returned to it; an empty list grows by one whole chunk, and chunks are freed only with the pool.
// Once a test has warmed up, recording a block therefore allocates nothing.
#include <sys/mman.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>
#include <type_traits>
#include <vector>

namespace cardamor {

// Slots of T addressed by 32-bit index (half the size of a pointer in every link). T must have a
// member `uint32_t next` that the pool uses to chain free slots, and need no destructor.
//
// Chunks hold a power of two of slots, so that finding a slot is a shift and a mask. Chunks of
// 1 MiB or more are rounded up to whole 2 MiB huge pages, aligned and offered to the kernel as
// such: a history of millions of LBAs is touched at random, and with 4 KiB pages nearly every
// touch would also miss the TLB.
template <typename T>
class IndexPool {
 public:
  static constexpr uint32_t kNone = 0xFFFFFFFFu;
  static_assert(std::is_trivially_destructible_v<T>, "chunks are freed without destructors");

  // chunkBits: log2 of the slots per chunk.
  explicit IndexPool(uint32_t chunkBits) : chunkBits_(chunkBits) {}
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

  T& at(uint32_t index) { return chunks_[index >> chunkBits_].get()[index & mask()]; }
  const T& at(uint32_t index) const { return chunks_[index >> chunkBits_].get()[index & mask()]; }

  size_t inUse() const { return inUse_; }
  size_t bytesReserved() const { return chunks_.size() * chunkBytes(); }

 private:
  static constexpr size_t kHugePage = size_t{2} << 20;

  struct FreeChunk {
    void operator()(T* p) const noexcept { std::free(p); }
  };

  uint32_t chunkSlots() const { return uint32_t{1} << chunkBits_; }
  // Chunks of 1 MiB or more take whole huge pages.
  size_t chunkBytes() const {
    const size_t bytes = size_t{chunkSlots()} * sizeof(T);
    return bytes >= kHugePage / 2 ? (bytes + kHugePage - 1) / kHugePage * kHugePage : bytes;
  }
  uint32_t mask() const { return chunkSlots() - 1; }

  bool grow() {
    const uint64_t base = uint64_t{chunks_.size()} << chunkBits_;
    if (base + chunkSlots() >= kNone) return false;
    const size_t bytes = chunkBytes();
    void* memory = bytes >= kHugePage ? std::aligned_alloc(kHugePage, bytes) : std::malloc(bytes);
    if (!memory) return false;
    if (bytes >= kHugePage) madvise(memory, bytes, MADV_HUGEPAGE);  // a hint; refused means small pages
    std::unique_ptr<T, FreeChunk> chunk(static_cast<T*>(memory));
    // Chain the new slots in index order so that they are handed out front to back.
    T* slots = chunk.get();
    for (uint32_t i = 0; i < chunkSlots(); ++i) {
      new (&slots[i]) T{};
      slots[i].next = (i + 1 < chunkSlots()) ? static_cast<uint32_t>(base + i + 1) : free_;
    }
    try {
      chunks_.push_back(std::move(chunk));
    } catch (const std::bad_alloc&) {
      return false;
    }
    free_ = static_cast<uint32_t>(base);
    return true;
  }

  uint32_t chunkBits_;
  uint32_t free_ = kNone;
  size_t inUse_ = 0;
  std::vector<std::unique_ptr<T, FreeChunk>> chunks_;
};

}  // namespace cardamor

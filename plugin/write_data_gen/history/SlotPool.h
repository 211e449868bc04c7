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

}  // namespace varnox

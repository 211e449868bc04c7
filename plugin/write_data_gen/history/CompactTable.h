#pragma once
// The 16-byte form of a settled LBA's history, kept in a dense table indexed by LBA.
//
// Most LBAs of a long test hold one completed write that waits to be read back, or nothing at
// all. Such a history is stored here as one CompactEntry instead of a table entry, a record and an
// event (92 bytes): the command id of the write and a word with its bucket, its flags, the marks
// that power loss and invalidations put on it, and its read-back obligations. AtomicContext turns
// a full record into this form when it settles and back when anything else arrives (see
// AtomicContext.h); this file only stores and encodes.
//
// The table is allocated lazily in chunks of 2 MiB (131072 LBAs), each taken when its first LBA
// settles; the window of chunk pointers spans only the chunks touched, so an untouched part of the
// tested range costs nothing and the whole range at most 16 bytes per LBA.
#include <sys/mman.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace cardamor {

// One settled history: optionally one or two invalidations (cmdId 0) in front of one write event
// whose embedded command id is its own command id and whose embedded LBA lies at most kMaxDelta
// below its LBA. `bits` 0 means "no history".
struct CompactEntry {
  uint64_t cmdId = 0;
  uint64_t bits = 0;

  // Field layout of bits.
  static constexpr uint32_t kPresentBit = 0;
  static constexpr uint32_t kBucketShift = 1;  // 20 bits: the blockNum, kTrimCode for a trim
  static constexpr uint32_t kBucketBits = 20;
  static constexpr uint32_t kEmbeddedBit = 21;
  static constexpr uint32_t kAtomicBit = 22;       // blockType atomic (a power loss may have lost it)
  static constexpr uint32_t kLostShift = 23;       // 8 bits: lostAtPower
  static constexpr uint32_t kInnerMarkShift = 31;  // 2 bits: the invalidation just before the write
  static constexpr uint32_t kOuterMarkShift = 33;  // 2 bits: the one in front of that
  static constexpr uint32_t kRefShift = 35;        // 8 bits: ref_count
  static constexpr uint32_t kDeltaShift = 43;      // 21 bits: lba - embeddedLba

  static constexpr uint32_t kTrimCode = (1u << kBucketBits) - 1;
  static constexpr uint64_t kMaxRefCount = 0xFF;
  static constexpr uint64_t kMaxDelta = (uint64_t{1} << 21) - 1;

  // Mark codes: none, a zone reset's invalidation (event type 4), an external one (type 5).
  static constexpr uint32_t kMarkNone = 0;
  static constexpr uint32_t kMarkZoneReset = 1;
  static constexpr uint32_t kMarkExternal = 2;

  bool present() const { return bits != 0; }
  uint32_t field(uint32_t shift, uint32_t width) const {
    return static_cast<uint32_t>((bits >> shift) & ((uint64_t{1} << width) - 1));
  }
  void setField(uint32_t shift, uint32_t width, uint64_t value) {
    const uint64_t mask = ((uint64_t{1} << width) - 1) << shift;
    bits = (bits & ~mask) | ((value << shift) & mask);
  }
  bool flag(uint32_t bit) const { return (bits >> bit) & 1; }
  void setFlag(uint32_t bit, bool on) { setField(bit, 1, on ? 1 : 0); }

  uint32_t refCount() const { return field(kRefShift, 8); }
  void setRefCount(uint64_t count) { setField(kRefShift, 8, count); }
  uint32_t innerMark() const { return field(kInnerMarkShift, 2); }
  uint32_t outerMark() const { return field(kOuterMarkShift, 2); }
  uint64_t delta() const { return bits >> kDeltaShift; }
};
static_assert(sizeof(CompactEntry) == 16, "a settled LBA costs 16 bytes");

class CompactTable {
 public:
  static constexpr uint32_t kChunkBits = 17;  // 2 MiB of entries: one huge page
  static constexpr uint64_t kChunkEntries = uint64_t{1} << kChunkBits;
  // The window of chunk pointers never exceeds 32 MiB (2^38 LBAs); an LBA beyond it stays in the
  // full form.
  static constexpr uint64_t kMaxChunks = uint64_t{1} << 22;

  CompactTable() = default;
  CompactTable(const CompactTable&) = delete;
  CompactTable& operator=(const CompactTable&) = delete;
  CompactTable(CompactTable&&) = default;
  CompactTable& operator=(CompactTable&&) = default;

  // The entry of lba when one is present, else null.
  CompactEntry* find(uint64_t lba) {
    CompactEntry* entry = at(lba);
    return entry && entry->present() ? entry : nullptr;
  }
  const CompactEntry* find(uint64_t lba) const { return const_cast<CompactTable*>(this)->find(lba); }

  // Stores a present entry for lba (its chunk is taken on first use). False when lba lies beyond
  // the window's reach or no memory could be had: the history then stays in the full form.
  bool store(uint64_t lba, const CompactEntry& value) {
    CompactEntry* entry = at(lba);
    if (!entry) entry = allocate(lba);
    if (!entry) return false;
    if (!entry->present()) ++size_;
    *entry = value;
    return true;
  }

  // Removes the entry of lba (the chunk stays for the LBAs around it).
  void erase(CompactEntry* entry) {
    *entry = CompactEntry{};
    --size_;
  }

  size_t size() const { return size_; }
  size_t bytesReserved() const {
    return chunkCount_ * kChunkEntries * sizeof(CompactEntry) + window_.size() * sizeof(void*);
  }

  void prefetch(uint64_t lba) const {
    if (const CompactEntry* entry = const_cast<CompactTable*>(this)->at(lba)) __builtin_prefetch(entry);
  }

  // fn(lba, entry) for every present entry with firstLba <= lba <= lastLba, ascending. fn may
  // erase the entry it is given, and nothing else.
  template <typename Fn>
  void forEach(uint64_t firstLba, uint64_t lastLba, Fn&& fn) {
    if (size_ == 0 || window_.empty() || lastLba < firstLba) return;
    const uint64_t windowFirst = baseChunk_ << kChunkBits;
    uint64_t chunk = firstLba < windowFirst ? 0 : (firstLba - windowFirst) >> kChunkBits;
    for (; chunk < window_.size(); ++chunk) {
      CompactEntry* entries = window_[chunk].get();
      const uint64_t chunkFirst = windowFirst + (chunk << kChunkBits);
      if (chunkFirst > lastLba) break;
      if (!entries) continue;
      const uint64_t from = std::max(firstLba, chunkFirst) - chunkFirst;
      const uint64_t to = std::min(lastLba - chunkFirst, kChunkEntries - 1);
      for (uint64_t i = from; i <= to; ++i) {
        if (entries[i].present()) fn(chunkFirst + i, entries[i]);
      }
    }
  }

 private:
  struct FreeChunk {
    void operator()(CompactEntry* p) const noexcept { std::free(p); }
  };
  using Chunk = std::unique_ptr<CompactEntry, FreeChunk>;

  // The slot of lba in an allocated chunk, or null.
  CompactEntry* at(uint64_t lba) {
    const uint64_t chunk = (lba >> kChunkBits) - baseChunk_;
    if (chunk >= window_.size()) return nullptr;  // below the window wraps around, too
    CompactEntry* entries = window_[chunk].get();
    return entries ? entries + (lba & (kChunkEntries - 1)) : nullptr;
  }

  CompactEntry* allocate(uint64_t lba) {
    const uint64_t want = lba >> kChunkBits;
    if (window_.empty()) {
      baseChunk_ = want;
    } else if (want < baseChunk_ || want >= baseChunk_ + window_.size()) {
      // Widen the window to reach the chunk.
      const uint64_t first = std::min(want, baseChunk_);
      const uint64_t last = std::max(want, baseChunk_ + window_.size() - 1);
      if (last - first + 1 > kMaxChunks) return nullptr;
      std::vector<Chunk> wider;
      try {
        wider.resize(last - first + 1);
      } catch (const std::bad_alloc&) {
        return nullptr;
      }
      for (size_t i = 0; i < window_.size(); ++i) wider[baseChunk_ - first + i] = std::move(window_[i]);
      window_.swap(wider);
      baseChunk_ = first;
    }
    if (window_.empty()) {
      try {
        window_.resize(1);
      } catch (const std::bad_alloc&) {
        return nullptr;
      }
    }
    constexpr size_t kBytes = kChunkEntries * sizeof(CompactEntry);
    void* memory = std::aligned_alloc(kBytes, kBytes);
    if (!memory) return nullptr;
    madvise(memory, kBytes, MADV_HUGEPAGE);  // a hint: settled LBAs are visited at random
    std::memset(memory, 0, kBytes);
    window_[want - baseChunk_].reset(static_cast<CompactEntry*>(memory));
    ++chunkCount_;
    return at(lba);
  }

  std::vector<Chunk> window_;  // chunk baseChunk_ + i at window_[i]; null until touched
  uint64_t baseChunk_ = 0;
  size_t chunkCount_ = 0;
  size_t size_ = 0;
};

}  // namespace cardamor

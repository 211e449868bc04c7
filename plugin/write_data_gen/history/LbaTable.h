#pragma once
// LBA-keyed table of the history's records: a chained hash table whose entries live in an
// IndexPool, so a record never moves while it exists (pointers and indices to it stay valid
// across inserts and erases of other LBAs) and the steady state allocates nothing.
//
// Why not an ordered tree: a test tracks up to millions of LBAs, and a lookup that walks twenty
// tree nodes scattered over memory misses the cache at every level. Here a lookup reads one
// bucket and, almost always, one entry. Consecutive LBAs (the blocks of one command) hash to
// neighbouring buckets, groups of 16 are scattered over the table so that strided or aligned
// LBAs still spread.
//
// Ascending order, which the callers of forEach need, costs a probe per LBA of a short range
// (a read's blocks: no allocation), or one sorted pass over the table when the range is longer
// than the table (a zone reset, a dump of everything).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "history/SlotPool.h"

namespace cardamor {

template <typename Value>
class LbaTable {
 public:
  static constexpr uint32_t kNone = IndexPool<int>::kNone;

  // chunkBits: log2 of the entries the pool adds at a time.
  explicit LbaTable(uint32_t chunkBits) : entries_(chunkBits) {}
  LbaTable(const LbaTable&) = delete;
  LbaTable& operator=(const LbaTable&) = delete;
  LbaTable(LbaTable&&) = default;
  LbaTable& operator=(LbaTable&&) = default;

  // The value of lba, or null.
  Value* find(uint64_t lba) {
    if (buckets_.empty()) return nullptr;
    for (uint32_t i = buckets_[bucketOf(lba)]; i != kNone; i = entries_.at(i).next) {
      Entry& entry = entries_.at(i);
      if (entry.lba == lba) return &entry.value;
    }
    return nullptr;
  }
  const Value* find(uint64_t lba) const { return const_cast<LbaTable*>(this)->find(lba); }

  // The value of lba, inserted as Value{} when absent; null when no memory could be had.
  Value* findOrInsert(uint64_t lba) {
    if (Value* value = find(lba)) return value;
    if (size_ >= buckets_.size() && !grow()) return nullptr;
    const uint32_t index = entries_.take();
    if (index == kNone) return nullptr;
    Entry& entry = entries_.at(index);
    entry.lba = lba;
    uint32_t& head = buckets_[bucketOf(lba)];
    entry.next = head;
    head = index;
    ++size_;
    return &entry.value;
  }

  // Removes lba; nothing when absent.
  void erase(uint64_t lba) {
    if (buckets_.empty()) return;
    uint32_t* link = &buckets_[bucketOf(lba)];
    while (*link != kNone) {
      Entry& entry = entries_.at(*link);
      if (entry.lba == lba) {
        const uint32_t index = *link;
        *link = entry.next;
        entries_.give(index);
        --size_;
        return;
      }
      link = &entry.next;
    }
  }

  size_t size() const { return size_; }

  // Start loading the bucket of lba, or (once the bucket is near) the first entry of its
  // chain, so that a walk over many LBAs overlaps its cache misses instead of queueing them.
  void prefetchBucket(uint64_t lba) const {
    if (!buckets_.empty()) __builtin_prefetch(&buckets_[bucketOf(lba)]);
  }
  void prefetchEntry(uint64_t lba) const {
    if (buckets_.empty()) return;
    const uint32_t head = buckets_[bucketOf(lba)];
    if (head != kNone) __builtin_prefetch(&entries_.at(head));
  }

  // fn(lba, value) for every entry with firstLba <= lba <= lastLba, ascending. fn must not
  // insert or erase.
  template <typename Fn>
  void forEach(uint64_t firstLba, uint64_t lastLba, Fn&& fn) {
    if (size_ == 0 || lastLba < firstLba) return;
    // Probing costs a lookup per LBA of the range, the sorted pass a visit of every bucket and
    // entry: probe unless the range is longer than the table.
    if (lastLba - firstLba < std::max<uint64_t>(buckets_.size(), 4 * uint64_t{size_})) {
      for (uint64_t lba = firstLba;; ++lba) {
        if (Value* value = find(lba)) fn(lba, *value);
        if (lba == lastLba) break;
      }
      return;
    }
    // A long range (a zone reset, a dump of everything): sorting what the table holds is cheaper
    // than probing every LBA, and rare enough for its one allocation.
    std::vector<std::pair<uint64_t, uint32_t>> inRange;
    for (uint32_t head : buckets_) {
      for (uint32_t i = head; i != kNone; i = entries_.at(i).next) {
        const uint64_t lba = entries_.at(i).lba;
        if (lba >= firstLba && lba <= lastLba) inRange.emplace_back(lba, i);
      }
    }
    std::sort(inRange.begin(), inRange.end());
    for (const auto& [lba, index] : inRange) fn(lba, entries_.at(index).value);
  }
  template <typename Fn>
  void forEach(uint64_t firstLba, uint64_t lastLba, Fn&& fn) const {
    const_cast<LbaTable*>(this)->forEach(firstLba, lastLba,
                                         [&](uint64_t lba, Value& value) { fn(lba, static_cast<const Value&>(value)); });
  }

  // Bytes of one entry, and of the table and its entries (used or free).
  static constexpr size_t entryBytes() { return sizeof(Entry); }
  size_t bucketBytes() const { return buckets_.size() * sizeof(uint32_t); }
  size_t bytesReserved() const { return entries_.bytesReserved() + bucketBytes(); }

 private:
  struct Entry {
    uint64_t lba = 0;
    Value value{};
    uint32_t next = kNone;  // the bucket's chain, or the pool's free list
  };

  static constexpr uint32_t kGroupBits = 4;  // 16 consecutive LBAs share a group of buckets
  static constexpr uint32_t kMinBucketBits = 10;

  uint32_t bucketOf(uint64_t lba) const {
    const uint64_t group = ((lba >> kGroupBits) * 0x9E3779B97F4A7C15ull) >> (64 - (bucketBits_ - kGroupBits));
    return static_cast<uint32_t>((group << kGroupBits) | (lba & ((1u << kGroupBits) - 1)));
  }

  // Doubles the buckets (at most one entry per bucket on average) and rechains every entry.
  bool grow() {
    const uint32_t bits = buckets_.empty() ? kMinBucketBits : bucketBits_ + 1;
    if (bits > 31) return false;
    std::vector<uint32_t> old;
    old.swap(buckets_);
    try {
      buckets_.assign(size_t{1} << bits, kNone);
    } catch (const std::bad_alloc&) {
      buckets_.swap(old);
      return false;
    }
    bucketBits_ = bits;
    adviseHugePages(buckets_.data(), buckets_.size() * sizeof(uint32_t));
    for (uint32_t head : old) {
      for (uint32_t i = head; i != kNone;) {
        Entry& entry = entries_.at(i);
        const uint32_t next = entry.next;
        uint32_t& bucket = buckets_[bucketOf(entry.lba)];
        entry.next = bucket;
        bucket = i;
        i = next;
      }
    }
    return true;
  }

  // Offers the whole 2 MiB pages inside [p, p + bytes) to the kernel as huge pages (see
  // SlotPool.h); a large bucket array is read at random like the pools.
  static void adviseHugePages(void* p, size_t bytes) {
    constexpr uintptr_t kHugePage = uintptr_t{2} << 20;
    const uintptr_t first = (reinterpret_cast<uintptr_t>(p) + kHugePage - 1) & ~(kHugePage - 1);
    const uintptr_t last = (reinterpret_cast<uintptr_t>(p) + bytes) & ~(kHugePage - 1);
    if (last > first) madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
  }

  IndexPool<Entry> entries_;
  std::vector<uint32_t> buckets_;
  uint32_t bucketBits_ = 0;
  size_t size_ = 0;
};

}  // namespace cardamor

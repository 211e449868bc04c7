#pragma once
// The volatile write cache of a simulated drive, kept as an undo journal: the first write to a
// block since the last flush saves what the block held at that flush. Power loss puts those
// images back; a flush forgets them. Memory grows with the distinct blocks written between
// flushes and is reused after each flush.
#include <cstdint>
#include <string>
#include <vector>

#include "sim/BlockStore.h"

namespace varnox::sim {

class WriteCache {
 public:
  WriteCache() = default;
  WriteCache(const WriteCache&) = delete;
  WriteCache& operator=(const WriteCache&) = delete;
  ~WriteCache();

  bool open(uint64_t capacityBlocks, std::string& error);
  // Called before `lba` of `store` is changed.
  void beforeWrite(const BlockStore& store, uint64_t lba);
  void flush();
  // Returns every cached block to its state at the last flush, then forgets the cache.
  void loseContents(BlockStore& store);
  uint64_t dirtyBlocks() const { return lbas_.size(); }

 private:
  uint8_t* dirty_ = nullptr;  // one bit per block
  size_t dirtyBytes_ = 0;
  std::vector<uint64_t> lbas_;
  std::vector<uint64_t> writers_;
  std::vector<uint8_t> images_;
};

}  // namespace varnox::sim

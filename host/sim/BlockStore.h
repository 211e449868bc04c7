#pragma once
// The medium of a simulated drive: one flat shared anonymous mapping, reserved lazily by the kernel so
// that a drive of several GiB costs only the pages written. Next to each block it keeps the
// sequence number of the last write that stored it, which tells an undo whether a newer write
// has covered the block since.
#include <cstddef>
#include <cstdint>
#include <string>

namespace varnox::sim {

class BlockStore {
 public:
  BlockStore() = default;
  BlockStore(const BlockStore&) = delete;
  BlockStore& operator=(const BlockStore&) = delete;
  ~BlockStore();

  // False with a message when the mappings cannot be made.
  bool open(uint64_t capacityBlocks, uint32_t blockBytes, std::string& error);

  uint8_t* block(uint64_t lba) { return data_ + lba * blockBytes_; }
  const uint8_t* block(uint64_t lba) const { return data_ + lba * blockBytes_; }
  uint64_t writer(uint64_t lba) const { return writers_[lba]; }
  void setWriter(uint64_t lba, uint64_t sequence) { writers_[lba] = sequence; }
  // Zeroes `blocks` blocks from `lba` and gives whole pages back to the kernel.
  void zero(uint64_t lba, uint64_t blocks);
  uint64_t capacityBlocks() const { return capacityBlocks_; }
  uint32_t blockBytes() const { return blockBytes_; }

 private:
  uint8_t* data_ = nullptr;
  size_t dataBytes_ = 0;
  uint64_t* writers_ = nullptr;
  size_t writerBytes_ = 0;
  uint64_t capacityBlocks_ = 0;
  uint32_t blockBytes_ = 0;
};

}  // namespace varnox::sim

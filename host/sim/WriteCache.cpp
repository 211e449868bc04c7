#include "sim/WriteCache.h"

#include <sys/mman.h>

#include <cerrno>
#include <cstring>

namespace varnox::sim {

WriteCache::~WriteCache() {
  if (dirty_) munmap(dirty_, dirtyBytes_);
}

bool WriteCache::open(uint64_t capacityBlocks, std::string& error) {
  dirtyBytes_ = (capacityBlocks + 7) / 8;
  void* p =
      mmap(nullptr, dirtyBytes_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (p == MAP_FAILED) {
    error = "cannot map the write cache map of the simulated drive: " + std::string(std::strerror(errno));
    return false;
  }
  dirty_ = static_cast<uint8_t*>(p);
  return true;
}

void WriteCache::beforeWrite(const BlockStore& store, uint64_t lba) {
  uint8_t bit = static_cast<uint8_t>(1u << (lba & 7));
  if (dirty_[lba >> 3] & bit) return;
  dirty_[lba >> 3] |= bit;
  lbas_.push_back(lba);
  writers_.push_back(store.writer(lba));
  const uint8_t* image = store.block(lba);
  images_.insert(images_.end(), image, image + store.blockBytes());
}

void WriteCache::flush() {
  for (uint64_t lba : lbas_) dirty_[lba >> 3] = 0;
  lbas_.clear();
  writers_.clear();
  images_.clear();
}

void WriteCache::loseContents(BlockStore& store) {
  const uint32_t bytes = store.blockBytes();
  for (size_t i = 0; i < lbas_.size(); ++i) {
    std::memcpy(store.block(lbas_[i]), images_.data() + i * bytes, bytes);
    store.setWriter(lbas_[i], writers_[i]);
  }
  flush();
}

}  // namespace varnox::sim

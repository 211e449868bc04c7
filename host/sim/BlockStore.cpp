#include "sim/BlockStore.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace varnox::sim {
namespace {

// Shared anonymous memory rather than private: a private mapping answers the first read of a
// block with the kernel's zero page and must copy it and flush every thread's TLB when the block
// is then written (the drive reads each block's old image before it stores the new one), while
// a shared mapping gets its real page on the first touch, read or write.
void* mapAnonymous(size_t bytes) {
  void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  return p == MAP_FAILED ? nullptr : p;
}

}  // namespace

BlockStore::~BlockStore() {
  if (data_) munmap(data_, dataBytes_);
  if (writers_) munmap(writers_, writerBytes_);
}

bool BlockStore::open(uint64_t capacityBlocks, uint32_t blockBytes, std::string& error) {
  capacityBlocks_ = capacityBlocks;
  blockBytes_ = blockBytes;
  dataBytes_ = capacityBlocks * blockBytes;
  writerBytes_ = capacityBlocks * sizeof(uint64_t);
  data_ = static_cast<uint8_t*>(mapAnonymous(dataBytes_));
  if (!data_) {
    error = "cannot map " + std::to_string(dataBytes_) +
            " bytes for the simulated drive: " + std::strerror(errno);
    return false;
  }
  writers_ = static_cast<uint64_t*>(mapAnonymous(writerBytes_));
  if (!writers_) {
    error = "cannot map " + std::to_string(writerBytes_) +
            " bytes for the simulated drive: " + std::strerror(errno);
    return false;
  }
  return true;
}

void BlockStore::zero(uint64_t lba, uint64_t blocks) {
  uint8_t* begin = block(lba);
  uint8_t* end = begin + blocks * blockBytes_;
  const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
  uintptr_t first = (reinterpret_cast<uintptr_t>(begin) + page - 1) & ~(page - 1);
  uintptr_t last = reinterpret_cast<uintptr_t>(end) & ~(page - 1);
  // A page punched out of the shared mapping reads as zeros; the ragged ends are cleared by hand.
  if (last > first && madvise(reinterpret_cast<void*>(first), last - first, MADV_REMOVE) == 0) {
    std::memset(begin, 0, reinterpret_cast<uint8_t*>(first) - begin);
    std::memset(reinterpret_cast<uint8_t*>(last), 0, end - reinterpret_cast<uint8_t*>(last));
  } else {
    std::memset(begin, 0, end - begin);
  }
}

}  // namespace varnox::sim

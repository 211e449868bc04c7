#include "varnox/Buffer.h"

#include <cstdlib>
#include <cstring>

namespace varnox {

void Buffer::pointAt(uint8_t* other, uint64_t bytes) {
  release();
  data = other;
  capacity = bytes;
  size = bytes;
  ownsData = false;
}

bool Buffer::allocate(uint64_t bytes) {
  // calloc(0) may return null; keep one byte so an empty owned buffer still has a pointer.
  auto* fresh = static_cast<uint8_t*>(std::calloc(bytes == 0 ? 1 : bytes, 1));
  if (fresh == nullptr) return false;
  release();
  data = fresh;
  capacity = bytes;
  size = bytes;
  ownsData = true;
  return true;
}

bool Buffer::assign(const uint8_t* src, uint64_t bytes) {
  auto* fresh = static_cast<uint8_t*>(std::malloc(bytes == 0 ? 1 : bytes));
  if (fresh == nullptr) return false;
  if (bytes != 0) std::memcpy(fresh, src, bytes);
  release();
  data = fresh;
  capacity = bytes;
  size = bytes;
  ownsData = true;
  return true;
}

void Buffer::release() {
  if (ownsData) std::free(data);
  data = nullptr;
  capacity = 0;
  size = 0;
  ownsData = false;
}

}  // namespace varnox

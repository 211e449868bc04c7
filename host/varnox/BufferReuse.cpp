#include "BufferReuse.h"

#include <cstring>

namespace varnox {

bool copyInto(Buffer& buffer, const uint8_t* src, uint64_t bytes) {
  if (buffer.ownsData && buffer.capacity >= bytes && buffer.data != nullptr) {
    if (bytes != 0) std::memcpy(buffer.data, src, bytes);
    buffer.size = bytes;
    return true;
  }
  return buffer.assign(src, bytes);
}

bool ensureOwned(Buffer& buffer, uint64_t bytes) {
  if (buffer.ownsData && buffer.capacity >= bytes && buffer.data != nullptr) {
    buffer.size = bytes;
    return true;
  }
  return buffer.allocate(bytes);
}

}  // namespace varnox

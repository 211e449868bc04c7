#pragma once
// Large byte arrays (sector buckets, expected data, local write buffers) come from the C
// allocator so that running out of memory is a status, not an exception.
#include <cstdint>
#include <cstdlib>
#include <memory>

namespace cardamor {

struct CFreeDeleter {
  void operator()(uint8_t* bytes) const { std::free(bytes); }
};

using ByteArray = std::unique_ptr<uint8_t[], CFreeDeleter>;

// `bytes` bytes, zeroed when `zero` is true; null when the memory cannot be had. Zero bytes
// still yield a distinct allocation so that "absent" and "empty" stay apart.
inline ByteArray allocateByteArray(uint64_t bytes, bool zero) {
  const size_t n = bytes == 0 ? 1 : static_cast<size_t>(bytes);
  return ByteArray(static_cast<uint8_t*>(zero ? std::calloc(n, 1) : std::malloc(n)));
}

}  // namespace cardamor
